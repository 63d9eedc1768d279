// Eight devices through the fastboot flow at once against one device alone, in the same run: the
// real download worker, a fake fastboot whose flash takes a fixed real time. Prints both wall times
// and their ratio (eight / one); 1.0 means the station adds nothing when it drives eight devices.
//   bench_parallel_flash [--flash-seconds S] [--devices N]     (default 2 s, 8 devices)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <wx/init.h>

#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivFlashWorkers.h"
#include "SettingsValues.h"

namespace fs = std::filesystem;

namespace {

// Lists every device, flashes in a fixed time, answers the rest at once.
void WriteFakeFastboot(const fs::path& path, int devices, double flashSeconds)
{
    std::string listing;
    for (int i = 1; i <= devices; ++i) listing += "SER" + std::to_string(i) + "\\tfastboot\\n";
    std::ofstream(path) << "#!/bin/sh\n"
                           "case \"$*\" in\n"
                           "devices) printf '" << listing << "' ;;\n"
                           "*\"flash all\"*) sleep " << flashSeconds << "; echo 'OKAY [ " << flashSeconds << "s]' ;;\n"
                           "*) echo 'OKAY [  0.010s]' ;;\n"
                           "esac\n";
    fs::permissions(path, fs::perms::owner_all);
}

// Flashes n devices at once; the wall time from the first start to the last Pass, or -1 when a job
// did not pass.
double FlashDevices(int n, const std::string& fastboot, const std::string& image, wxListCtrl* list)
{
    std::vector<std::unique_ptr<KivDevice>> devices;
    std::vector<std::shared_ptr<KivWorkerControl>> controls;
    for (int i = 1; i <= n; ++i) {
        const wxString serial = "SER" + std::to_string(i);
        auto device = std::make_unique<KivDevice>(serial, "1", std::to_string(i), DEV_CONNECTED);
        device->listKey = serial;
        device->model = "ZK550KL";
        device->wipe = false;
        device->imagePath = image;
        DeviceRowsOf(list)->Add(serial, 0, nullptr);
        devices.push_back(std::move(device));
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto& device : devices) {
        auto* worker = new KivThreadDownloadImageForIntel(device.get(), image, fastboot);
        controls.push_back(worker->control());
        if (worker->Launch() != wxTHREAD_NO_ERROR) {
            delete worker;
            return -1;
        }
    }
    for (auto& control : controls) control->WaitEnded();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool passed = true;
    for (auto& device : devices) {
        wxCriticalSectionLocker locker(device->lock);
        passed = passed && device->state == DEV_PASS;
    }
    for (auto& device : devices) DeviceRowsOf(list)->Remove(device->listKey, nullptr);
    return passed ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    double flashSeconds = 2;
    int many = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--flash-seconds")) flashSeconds = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--devices")) many = std::atoi(argv[i + 1]);
    }
    if (flashSeconds < 2 || many < 1) {
        std::fprintf(stderr, "usage: bench_parallel_flash [--flash-seconds S (>= 2)] [--devices N]\n");
        return 2;
    }
    wxInitializer wx;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_parallel_flash-XXXXXX";
    if (!mkdtemp(pattern.data())) return 1;
    const fs::path dir = pattern;
    const fs::path fastboot = dir / "fastboot3";
    const fs::path image = dir / "image.raw";
    WriteFakeFastboot(fastboot, many, flashSeconds);
    std::ofstream(image) << "raw image";

    // The station the workers report to: rows that no window shows, a log that only counts.
    int listKey = 0;
    auto* list = reinterpret_cast<wxListCtrl*>(&listKey);
    AttachDeviceRows(list);
    wxCriticalSection listLock;
    SettingsValues settings;
    std::atomic<int> records{0};
    KivWorkerStation station;
    station.list = list;
    station.listLock = &listLock;
    station.settings = &settings;
    station.log = [&records](const wxString&, uint32_t, int32_t, const wxString&) { ++records; };
    SetWorkerStationForTesting(&station);

    FlashDevices(1, fastboot.string(), image.string(), list);  // warm-up: caches, first thread
    const double one = FlashDevices(1, fastboot.string(), image.string(), list);
    const double eight = FlashDevices(many, fastboot.string(), image.string(), list);

    SetWorkerStationForTesting(nullptr);
    DetachDeviceRows(list);
    fs::remove_all(dir);
    if (one <= 0 || eight <= 0) {
        std::fprintf(stderr, "a flash job did not pass\n");
        return 1;
    }
    std::printf("flash time per device: %.1f s\n", flashSeconds);
    std::printf("one device:    %.3f s\n", one);
    std::printf("%d devices:     %.3f s\n", many, eight);
    std::printf("ratio %d/one:   %.3f\n", many, eight / one);
    return 0;
}
