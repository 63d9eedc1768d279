// A device of the recovery flow for worker tests: Google/adb and Google/fastboot1 are the fake
// device tool (tests/fixtures/adb/fake_device_tool.py) in a test program directory, whose files
// stand for the device; temporary files go to a directory of the test's own; the clock runs fast.
// A stand-in for the device-change handler moves the record's state when a step shows up.
#pragma once
#include "AdbCommander.h"
#include "Clock.h"
#include "KivDevice.h"
#include "KivDeviceWorker.h"
#include "SpeedUpWhen.h"
#include "ThreadCount.h"
#include "Paths.h"
#include "Text.h"
#include "WorkerStation.h"

#include <gtest/gtest.h>
#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace recoveryflow {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

inline std::wstring W(const std::string& text) { return plat::WideFromNarrow(text); }

// What an install job of a model without recovery image or format logs up to its hand-over.
inline const std::vector<std::wstring> kInstallStepsToHandOver = {
    L"Fastboot reboot to recovery ...",
    L"Waiting for reboot device to recovery ...",
    L"Check the detected serial number ...",
    L"Check battery capacity ... 85",
    L"Check the directory /data/media ...",
    L"Copy image to /data/media ...",
    L"Generate install command file ...",
    L"Copy install command file to /cache/recovery/ ...",
    L"Clean last install file ...",
    L"Reboot recovery ...",
    L"Wait device reboot for installing ...",
};

class RecoveryFlowTest : public ::testing::Test {
protected:
    static constexpr const char* kSerial = "SER1";

    void SetUp() override {
        threadsBefore = ThreadCount();
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = (fs::path(ZELK_TEST_WORK_DIR) / "recovery-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        google = root / "Google";
        temp = root / "tmp";
        fs::create_directories(google);
        fs::create_directories(temp);
        for (const char* name : {"adb", "fastboot1"}) {
            fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_device_tool.py", google / name);
            fs::permissions(google / name, fs::perms::owner_all);
        }
        fs::create_directories(DevicePath("/data/media"));
        fs::create_directories(DevicePath("/cache/recovery"));
        WriteFile(DevicePath("/sys/class/power_supply/battery/capacity"), "85\n");
        Listed({kSerial});
        image = root / "images" / "ZK pkg.zip";
        WriteFile(image, "PK\x05\x06 package bytes");
        setenv("TMPDIR", temp.c_str(), 1);
        plat::SetProgramDirForTesting(W(root.string()));
        plat::SetTimeScaleForTesting(250);
        KivDevice::SetStopWaitForTesting(20000);

        adb = std::make_unique<RYL::CAdbCommander>(nullptr, nullptr);
        ASSERT_TRUE(adb->Start(false));
        fs::remove(google / "calls.log");
        station = std::make_unique<WorkerStation>(adb.get());
        // Limits that the handler's answers always meet on a loaded machine (400 s real); a test
        // of a limit sets its own.
        station->settings.Timeout.RebootTimeout = 100000;
        station->settings.Timeout.InstallTimeout = 100000;
        station->settings.Timeout.WipeTimeout = 100000;
        device = std::make_unique<KivDevice>(kSerial, "1", "2", DEV_CONNECTED);
        device->imagePath = W(image.string());
        station->AddRow(kSerial, DEV_CONNECTED);
    }

    void TearDown() override {
        StopHandler();
        device.reset();  // stops what still runs
        station.reset();
        adb.reset();
        WaitForThreadCount(threadsBefore);  // wx's own clean-up of the worker threads
        plat::SetTimeScaleForTesting(1);
        plat::SetProgramDirForTesting(L"");
        unsetenv("TMPDIR");
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void WriteFile(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    fs::path DevicePath(const std::string& remote) const { return google / "device" / remote.substr(1); }

    // The serials that "devices" lists (adb and fastboot alike).
    void Listed(const std::vector<std::string>& serials) {
        std::string text = "List of devices attached\n";
        for (const std::string& serial : serials)
            text += serial + "\tdevice\n";
        WriteFile(google / "devices", text + "\n");
    }
    // Rules of the fake tool: {glob, reply, times (-1 always), act}.
    struct Rule {
        std::string match;
        std::string reply;
        int times = -1;
        bool act = false;
        std::string writeRemote = {};  // written after the command when not empty
        std::string writeText = {};
        double seconds = 0;            // how long the command takes
    };
    void Rules(const std::vector<Rule>& rules) {
        std::string json = "[";
        for (const Rule& rule : rules) {
            if (json.size() > 1)
                json += ",";
            json += "{\"match\":" + Quote(rule.match) + ",\"reply\":" + Quote(rule.reply) +
                    ",\"times\":" + std::to_string(rule.times) + ",\"act\":" + (rule.act ? "true" : "false");
            if (!rule.writeRemote.empty())
                json += ",\"then_write\":[" + Quote(rule.writeRemote) + "," + Quote(rule.writeText) + "]";
            if (rule.seconds > 0)
                json += ",\"seconds\":" + std::to_string(rule.seconds);
            json += "}";
        }
        WriteFile(google / "rules.json", json + "]");
        fs::remove(google / "rules.count");
    }
    static std::string Quote(const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
                continue;
            }
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "\"";
    }

    // Every call of adb and fastboot, its arguments joined by blanks (a temporary file name
    // shows as TEMP).
    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        std::istringstream in(ReadFile(google / "calls.log"));
        std::string line;
        const std::string tempPrefix = temp.string() + "/";
        while (std::getline(in, line)) {
            std::string call, arg;
            std::istringstream words(line);
            while (std::getline(words, arg, '\x1f')) {
                if (arg.rfind(tempPrefix, 0) == 0)
                    arg = "TEMP";
                call += (call.empty() ? "" : " ") + arg;
            }
            calls.push_back(call);
        }
        return calls;
    }
    size_t CountCalls(const std::string& call) const {
        const std::vector<std::string> calls = Calls();
        return std::count(calls.begin(), calls.end(), call);
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(temp))
            names.push_back(entry.path().filename().string());
        return names;
    }

    // The device-change handler's part: when a step text has been logged, run the action once.
    struct Trigger {
        std::wstring text;
        std::function<void()> action;
    };
    // A new job: the records so far are forgotten.
    void Handler(std::vector<Trigger> triggers) {
        StopHandler();
        station->ClearLog();
        handlerStop = false;
        handler = std::thread([this, triggers] {
            std::vector<bool> done(triggers.size(), false);
            while (!handlerStop) {
                const std::vector<std::wstring> texts = station->LogTexts();
                for (size_t i = 0; i < triggers.size(); ++i) {
                    if (!done[i] && std::find(texts.begin(), texts.end(), triggers[i].text) != texts.end()) {
                        done[i] = true;
                        triggers[i].action();
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    void StopHandler() {
        handlerStop = true;
        if (handler.joinable())
            handler.join();
    }
    void SetState(uint32_t state) {
        wxCriticalSectionLocker locker(device->lock);
        device->state = state;
    }
    uint32_t State() {
        wxCriticalSectionLocker locker(device->lock);
        return device->state;
    }

    // Waits until a text has been logged (bounded).
    bool WaitLogged(const std::wstring& text, std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto end = Steady::now() + limit;
        while (Steady::now() < end) {
            const std::vector<std::wstring> texts = station->LogTexts();
            if (std::find(texts.begin(), texts.end(), text) != texts.end())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Waits for the worker's end (bounded, so a hang fails the test instead of blocking it).
    static bool WaitEnded(const std::shared_ptr<KivWorkerControl>& control,
                          std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::atomic<bool> ended{false};
        std::thread waiter([&] {
            control->WaitEnded();
            ended = true;
        });
        const auto end = Steady::now() + limit;
        while (!ended && Steady::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!ended) {
            control->RequestStop();
            waiter.join();
            return false;
        }
        waiter.join();
        return true;
    }
    // The last log record.
    LoggedRecord LastRecord() const {
        const std::vector<LoggedRecord> log = station->Log();
        return log.empty() ? LoggedRecord{} : log.back();
    }
    // Waits for a job that must fail and returns its failure record, which the row shows too.
    LoggedRecord RunToFailure(const std::shared_ptr<KivWorkerControl>& control) {
        EXPECT_TRUE(WaitEnded(control));
        EXPECT_EQ(State(), DEV_FAIL);
        const LoggedRecord last = LastRecord();
        EXPECT_EQ(last.level, LOG_LEVEL_ERROR);
        EXPECT_EQ(station->Row(kSerial).state, "Fail");
        EXPECT_EQ(station->Row(kSerial).description, last.text);
        return last;
    }

    wxInitializer wx;
    size_t threadsBefore = 0;
    fs::path root, google, temp, image;
    std::unique_ptr<RYL::CAdbCommander> adb;
    std::unique_ptr<WorkerStation> station;
    std::unique_ptr<KivDevice> device;
    std::thread handler;
    std::atomic<bool> handlerStop{true};
};

}  // namespace recoveryflow
