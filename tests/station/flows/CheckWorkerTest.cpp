// The result-check workers against a fake device behind a fake adb (Google/adb of a test program
// directory), with the station clock sped up.
#include "KivThreadCheckResult.h"

#include "Clock.h"
#include "Internet.h"
#include "KivDevice.h"
#include "KivLog.h"
#include "KivModels.h"
#include "AdbCommander.h"
#include "KivSharedServices.h"
#include "Paths.h"
#include "ProcessHelpers.h"
#include "Text.h"
#include "WorkerStation.h"
#include "ProbeRedirect.h"
#include "TestDir.h"
#include "FakeServers.h"
#include "InternetAgent.h"
#include "SpeedUpWhen.h"
#include "ThreadCount.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kDetected[] = "DET1";
constexpr char kImei[] = "357123456789012";
// A report model of each flow's companion package, and one that is on no list.
constexpr wchar_t kArmModel[] = L"ZK500KL";
constexpr wchar_t kScriptModel[] = L"ZK450CG";
constexpr wchar_t kOtherModel[] = L"NOTAMODEL";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Stands in for the worker before the check: it waits until its successor cancels it.
class WaitingPredecessor : public KivDeviceWorker {
public:
    WaitingPredecessor(KivDevice* device, KivSlot slot, std::shared_ptr<std::atomic<bool>> cancelled)
        : KivDeviceWorker(device, slot), cancelled(std::move(cancelled)) {}
    void Steps() override {
        while (!TestDestroy())
            SleepMilliseconds(10);
        *cancelled = true;
    }
    std::shared_ptr<std::atomic<bool>> cancelled;
};

KivSlot PredecessorSlot(KivCheckFlow flow) {
    switch (flow) {
    case KivCheckFlow::Recovery: return KivSlot::Wipe;
    case KivCheckFlow::Fastboot: return KivSlot::Fastboot;
    case KivCheckFlow::Script: return KivSlot::Script;
    }
    return KivSlot::Wipe;
}

uint32_t StateBefore(KivCheckFlow flow) {
    switch (flow) {
    case KivCheckFlow::Recovery: return DEV_WIPE_LEFT;
    case KivCheckFlow::Fastboot: return DEV_FASTBOOT_FLASHING;
    case KivCheckFlow::Script: return DEV_SCRIPT_WAIT_REBOOT;
    }
    return 0;
}

KivCheckResultWorker* MakeCheck(KivCheckFlow flow, KivDevice* device) {
    switch (flow) {
    case KivCheckFlow::Recovery: return new KivThreadCheckResult(device);
    case KivCheckFlow::Fastboot: return new KivThreadCheckResultForIntel(device);
    case KivCheckFlow::Script: return new KivThreadCheckResultForScript(device);
    }
    return nullptr;
}

const char* FlowName(KivCheckFlow flow) {
    switch (flow) {
    case KivCheckFlow::Recovery: return "recovery";
    case KivCheckFlow::Fastboot: return "fastboot";
    case KivCheckFlow::Script: return "script";
    }
    return "";
}

constexpr KivCheckFlow kFlows[] = {KivCheckFlow::Recovery, KivCheckFlow::Fastboot, KivCheckFlow::Script};

class CheckWorkers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        threadsBefore = ThreadCount();
        root = dir.path();
        google = root / "Google";
        dev = google / "device";
        fs::create_directories(dev);
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_android.sh", google / "adb");
        Write(dev / "serial", kDetected);
        Write(dev / "prop" / "ro.build.display.id", "ZK_V1.0.2");
        fs::create_directories(root / "tmp");
        setenv("TMPDIR", (root / "tmp").c_str(), 1);
        fs::create_directories(root / "results");
        previousDir = fs::current_path();
        fs::current_path(root);  // where the OS-version report looks for its file
        ReportOsVersionFor(L"");
        plat::SetProgramDirForTesting(plat::WideFromNarrow(root.string()));
        plat::SetConnectedStateForTesting(false);
        plat::SetTimeScaleForTesting(400);
        adb = std::make_unique<RYL::CAdbCommander>(nullptr, nullptr);
        ASSERT_TRUE(adb->Start(true));
        NewStation();
        KivDevice::SetStopWaitForTesting(20000);

        SettingsData values;
        values.UploadResult = false;
        values.SaveXmlLog = false;
        values.Tavio = false;
        values.ResultPath = plat::WideFromNarrow((root / "results").string());
        values.Timeout.IntoAndroidTimeout = 300;
        station->settings.Assign(values);
    }
    void TearDown() override {
        WaitForThreadCount(threadsBefore);  // wx's own end of the worker threads
        station.reset();
        adb.reset();
        plat::SetTimeScaleForTesting(1);
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::SetProgramDirForTesting(L"");
        fs::current_path(previousDir);
    }

    // "Extra/Get_OS_version.txt" enabled for the model (an empty model: disabled).
    void ReportOsVersionFor(const std::wstring& model) {
        if (model.empty())
            Write(root / "Extra" / "Get_OS_version.txt", "0\n");
        else
            Write(root / "Extra" / "Get_OS_version.txt", "1\r\nreport.invalid\r\n" + plat::NarrowFromWide(model) + ",\r\n");
    }

    void Configure(bool upload, bool saveLog, bool tavio, uint32_t intoAndroid = 300) {
        SettingsData values = station->settings.Copy();
        values.UploadResult = upload;
        values.SaveXmlLog = saveLog;
        values.Tavio = tavio;
        values.Timeout.IntoAndroidTimeout = intoAndroid;
        station->settings.Assign(values);
    }

    // A record in the state before its check, its row showing a running job.
    std::unique_ptr<KivDevice> MakeRecord(KivCheckFlow flow, const wchar_t* model, bool wipe) {
        auto device = std::make_unique<KivDevice>("SER1", "1", "1", StateBefore(flow));
        device->model = model;
        device->wipe = wipe;
        device->detectedSerial = kDetected;
        station->AddRow("SER1", DEV_RECOVERY_FLASHING);
        return device;
    }

    // Starts the predecessor (unless none), then the check, and waits for the check's end.
    // The check worker is handed to inspect before it runs.
    bool RunCheck(KivCheckFlow flow, KivDevice& device, bool withPredecessor = true,
                  std::function<void(KivCheckResultWorker&)> before = nullptr) {
        predecessorCancelled = std::make_shared<std::atomic<bool>>(false);
        if (withPredecessor) {
            auto* predecessor = new WaitingPredecessor(&device, PredecessorSlot(flow), predecessorCancelled);
            if (predecessor->Launch() != wxTHREAD_NO_ERROR)
                return false;
        }
        KivCheckResultWorker* worker = MakeCheck(flow, &device);
        if (before)
            before(*worker);
        const auto control = worker->control();
        if (worker->Launch() != wxTHREAD_NO_ERROR)
            return false;
        control->WaitEnded();
        return true;
    }

    // Every adb call, its arguments each as one text.
    std::vector<std::vector<std::string>> Calls() const {
        std::vector<std::vector<std::string>> calls;
        std::ifstream in(google / "calls.log");
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> args;
            std::string arg;
            for (char c : line) {
                if (c == '\037') {
                    args.push_back(arg);
                    arg.clear();
                } else {
                    arg += c;
                }
            }
            calls.push_back(args);
        }
        return calls;
    }
    // The device commands (after "-s SERIAL") that contain the text.
    int CountCalls(const std::string& text) const {
        int n = 0;
        for (const auto& call : Calls()) {
            std::string joined;
            for (const std::string& arg : call)
                joined += arg + " ";
            if (joined.find(text) != std::string::npos)
                ++n;
        }
        return n;
    }

    std::vector<std::wstring> Texts() const { return station->LogTexts(); }
    // The log record with the text; a default record when there is none.
    LoggedRecord LogOf(const std::wstring& text) const {
        for (const LoggedRecord& record : station->Log())
            if (record.text == text)
                return record;
        return {L"", 0xFFFFFFFF, -1, L"(none)"};
    }
    bool Logged(const std::wstring& text) const { return LogOf(text).text == text; }

    // A fresh station (log, rows) with the same settings, and no adb calls recorded.
    void NewStation() {
        const SettingsData values = station->settings.Copy();
        station.reset();
        station = std::make_unique<WorkerStation>(adb.get());
        station->settings.Assign(values);
        fs::remove(google / "calls.log");
    }

    TestDir dir;
    wxInitializer wx;
    std::unique_ptr<RYL::CAdbCommander> adb;
    std::unique_ptr<WorkerStation> station = std::make_unique<WorkerStation>();
    fs::path root, google, dev, previousDir;
    std::shared_ptr<std::atomic<bool>> predecessorCancelled;
    size_t threadsBefore = 0;
};

TEST_F(CheckWorkers, AnEmptyPredecessorSlotLeavesEverythingAlone) {
    for (KivCheckFlow flow : kFlows) {
        SCOPED_TRACE(FlowName(flow));
        NewStation();
        auto device = MakeRecord(flow, kArmModel, true);
        ASSERT_TRUE(RunCheck(flow, *device, false));
        EXPECT_EQ(device->state, StateBefore(flow));
        EXPECT_TRUE(station->Log().empty());
        EXPECT_EQ(station->Row("SER1").state, "Installing");
        EXPECT_TRUE(Calls().empty());
    }
}

TEST_F(CheckWorkers, AMadeUpSerialFailsAtOnce) {
    auto device = MakeRecord(KivCheckFlow::Script, kScriptModel, true);
    device->detectedSerial = "5&2A3B&0&1";
    ASSERT_TRUE(RunCheck(KivCheckFlow::Script, *device));
    EXPECT_TRUE(*predecessorCancelled);
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring text =
        L"Check device serial number failure(The detected device serial number \"5&2A3B&0&1\" is invalid)";
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"Check device serial number ...", text}));
    EXPECT_EQ(LogOf(text).code, uint32_t(ERR_INVALID_ID));
    EXPECT_EQ(LogOf(text).level, LOG_LEVEL_ERROR);
    EXPECT_EQ(LogOf(text).tag, L"SER1");
    EXPECT_EQ(station->Row("SER1").state, "Fail");
    EXPECT_EQ(station->Row("SER1").description, text);
    EXPECT_EQ(station->BusyCount(), 0);
}

// A job that reports nothing passes after the version read, whatever the settings say; the
// fastboot and script checks report the OS version first.
TEST_F(CheckWorkers, WithoutReportsTheVersionReadPasses) {
    struct Case {
        const wchar_t* model;
        bool wipe;
    } cases[] = {{kOtherModel, true}, {kArmModel, false}};
    Configure(true, true, true);
    // Connected, so that the OS-version report looks for the device and uploads its version; the
    // service does not store it, which ends the report without a box. The request's limits keep
    // real time here.
    plat::SetConnectedStateForTesting(true);
    plat::SetTimeScaleForTesting(1);
    TestDir serverDir;
    fakes::ReplyServer server(serverDir.path(), 0, {"report.invalid"});
    ASSERT_TRUE(server.ok());
    server.Reply(200, "NOT STORED");
    plat::RedirectHostForTesting(L"report.invalid", 443, server.port());
    plat::SetExtraCaFileForTesting(server.caFile());
    size_t reports = 0;
    for (KivCheckFlow flow : kFlows) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(FlowName(flow)) + " " + plat::NarrowFromWide(c.model));
            NewStation();
            ReportOsVersionFor(c.model);
            auto device = MakeRecord(flow, c.model, c.wipe);
            ASSERT_TRUE(RunCheck(flow, *device));

            EXPECT_EQ(device->state, DEV_PASS);
            std::vector<std::wstring> expected = {L"Check device serial number ...",
                                                  L"Waiting for reading software version ...",
                                                  L"Read software version ZK_V1.0.2"};
            expected.push_back(L"Flash image successfully (DET1)");
            EXPECT_EQ(Texts(), expected);

            EXPECT_EQ(station->Row("SER1").state, "Pass");
            EXPECT_EQ(station->BusyCount(), 0);
            EXPECT_EQ(CountCalls("persist.radio.device.imei"), 0) << "no IMEI read";
            // The fastboot and script checks ran the OS-version report for the serial the device is
            // detected under now (not the record's serial from before the flash): adb lists it at once.
            int listings = 0;
            for (const auto& call : Calls())
                listings += call == std::vector<std::string>{"devices"};
            EXPECT_EQ(listings, flow == KivCheckFlow::Recovery ? 0 : 1);
            if (flow != KivCheckFlow::Recovery) {
                const std::vector<std::string> requests = server.requests();
                ASSERT_EQ(requests.size(), ++reports);
                EXPECT_EQ(requests.back(),
                          "/remote/RemoteConnection?action=upload_os_ver&serial_no=DET1&org_os_version=");
            }
            for (const auto& call : Calls()) {
                if (call.size() > 2 && call[0] == "-s") {
                    EXPECT_EQ(call[1], kDetected) << "every device command goes to the detected serial";
                }
            }
        }
    }
}

TEST_F(CheckWorkers, TheVersionReadWaitsForAndroid) {
    Write(dev / "offline", "3");
    Configure(false, false, false, 100000);  // a limit that the four tries always keep within
    auto device = MakeRecord(KivCheckFlow::Recovery, kOtherModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_EQ(CountCalls("getprop ro.build.display.id"), 4);
}

TEST_F(CheckWorkers, AVersionThatNeverComesFailsAfterTheLimit) {
    Write(dev / "offline", "1000000");
    Configure(false, false, false, 5);
    auto device = MakeRecord(KivCheckFlow::Fastboot, kOtherModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Fastboot, *device));
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring text = L"Read software version failure(5 seconds timeout, ADB Error: device 'DET1' not found)";
    EXPECT_EQ(Texts().back(), text);
    EXPECT_EQ(LogOf(text).code, 1627u);
    EXPECT_EQ(station->Row("SER1").description, text);
}

// The fastboot check takes no version that holds "error"; the others take any.
TEST_F(CheckWorkers, OnlyTheFastbootCheckRefusesAnErrorVersion) {
    Write(dev / "prop" / "ro.build.display.id", "getprop: error 5");
    Configure(false, false, false, 5);
    for (KivCheckFlow flow : kFlows) {
        SCOPED_TRACE(FlowName(flow));
        NewStation();
        auto device = MakeRecord(flow, kOtherModel, true);
        ASSERT_TRUE(RunCheck(flow, *device));
        if (flow == KivCheckFlow::Fastboot) {
            EXPECT_EQ(device->state, DEV_FAIL);
            EXPECT_EQ(Texts().back(), L"Read software version failure(5 seconds timeout, getprop: error 5)");
            // Each refused read waits like a failed one before the next.
            EXPECT_LE(CountCalls("getprop ro.build.display.id"), 4);
        } else {
            EXPECT_EQ(device->state, DEV_PASS);
            EXPECT_EQ(CountCalls("getprop ro.build.display.id"), 1);
        }
    }
}

TEST_F(CheckWorkers, ACancelDuringTheVersionWaitIsAUserAbort) {
    Write(dev / "offline", "1000000");
    plat::SetTimeScaleForTesting(20);  // long enough to be cancelled inside the waits
    auto device = MakeRecord(KivCheckFlow::Recovery, kOtherModel, true);
    std::shared_ptr<KivWorkerControl> control;
    std::thread canceller;
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device, true, [&](KivCheckResultWorker& worker) {
        control = worker.control();
        canceller = std::thread([this, control] {
            while (CountCalls("getprop ro.build.display.id") < 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            control->Cancel();
        });
    }));
    canceller.join();
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring text = L"Read software version failure(User abort)";
    EXPECT_EQ(Texts().back(), text);
    EXPECT_EQ(LogOf(text).code, uint32_t(ERR_USER_ABORT));
}

TEST_F(CheckWorkers, AReportModelWithNothingToReportReadsNoImei) {
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_EQ(CountCalls("PhoneInfoTest"), 0);
    EXPECT_EQ(CountCalls("persist.radio.device.imei"), 0);
    EXPECT_EQ(Texts().back(), L"Flash image successfully (DET1)");
}

// The XML log when it is kept: the helper that the device carries answers first.
TEST_F(CheckWorkers, TheDevicesHelperGivesTheImeiForTheKeptLog) {
    Write(dev / "fs" / "data" / "data" / "PhoneInfoTest", std::string(kImei) + "\r\n");
    Configure(false, true, false);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_PASS);
    const std::vector<std::wstring> texts = Texts();
    const std::vector<std::wstring> tail(texts.end() - 5, texts.end());
    EXPECT_EQ(tail, (std::vector<std::wstring>{L"Read software version ZK_V1.0.2", L"Reading IMEI ...",
                                               L"Read IMEI 357123456789012", L"Generate xml log ...",
                                               L"Flash image successfully (DET1)"}));
    EXPECT_EQ(CountCalls(" install "), 0);
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(root / "results"))
        logs.push_back(entry.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].filename().string().rfind("ZELK_357123456789012_", 0), 0u) << logs[0];
    EXPECT_EQ(logs[0].extension(), ".xml");
    const std::string xml = ReadAll(logs[0]);
    EXPECT_NE(xml.find("<SSN>SER1</SSN>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<ESN>357123456789012</ESN>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<SOFTWARE_VER>ZK_V1.0.2</SOFTWARE_VER>"), std::string::npos) << xml;
}

TEST_F(CheckWorkers, TheImeiPropertyAnswersWhenTheHelperIsMissing) {
    Write(dev / "prop" / "persist.radio.device.imei", kImei);
    Configure(false, true, false);
    auto device = MakeRecord(KivCheckFlow::Fastboot, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Fastboot, *device));
    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_TRUE(Logged(L"Read IMEI 357123456789012"));
    const LoggedRecord helper = LogOf(L"Read IMEI: /system/bin/sh: /data/data/PhoneInfoTest: not found");
    EXPECT_EQ(helper.code, uint32_t(ERR_IMEI_NOT_FOUND)) << "the helper's failure is logged";
    EXPECT_EQ(helper.level, LOG_LEVEL_ERROR);
    EXPECT_EQ(helper.tag, L"SER1");
}

// A property that holds no IMEI ("unknown", a short number) is refused, which is logged, and the
// next route answers.
TEST_F(CheckWorkers, AnImeiPropertyThatIsNoImeiIsRefused) {
    for (const char* value : {"unknown", "35712345", "0"}) {
        SCOPED_TRACE(value);
        NewStation();
        Write(dev / "prop" / "persist.radio.device.imei", value);
        Write(dev / "helper", "357123456789013\r\n");
        Configure(false, true, false);
        auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
        ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
        EXPECT_EQ(device->state, DEV_PASS);
        const LoggedRecord refused = LogOf(L"The IMEI \"" + plat::WideFromNarrow(value) + L"\" is invalid");
        EXPECT_EQ(refused.code, uint32_t(ERR_INVALID_ID)) << "the refusal is logged";
        EXPECT_EQ(refused.level, LOG_LEVEL_ERROR);
        EXPECT_TRUE(Logged(L"Read IMEI 357123456789013")) << "the companion app answered";
        EXPECT_FALSE(Logged(L"Read IMEI " + plat::WideFromNarrow(value)));
        fs::remove_all(root / "results");
        fs::create_directories(root / "results");
    }
}

// Without helper and property the recovery check installs com.zelk.phoneinfo, starts its
// activity, runs the helper it leaves behind, removes the package again and deletes its file.
TEST_F(CheckWorkers, TheCompanionAppReadsTheImeiAndIsRemovedAgain) {
    Write(dev / "helper", std::string(kImei) + "\r\n");
    Configure(false, true, false);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device, true, nullptr));
    EXPECT_EQ(device->state, DEV_PASS) << Texts().back();
    EXPECT_TRUE(Logged(L"Read IMEI 357123456789012"));
    EXPECT_TRUE(Logged(L"Install PhoneInfo.apk successfully"));
    EXPECT_TRUE(Logged(L"Start PhoneInfo.apk activity successfully"));
    EXPECT_EQ(CountCalls("am start -n com.zelk.phoneinfo/com.zelk.phoneinfo.PhoneInfoAPK_ZK500KL_Activity"), 1);
    EXPECT_EQ(CountCalls("'/data/data/com.zelk.phoneinfo/PhoneInfoTest' 1 0"), 1);
    EXPECT_GE(CountCalls("-s DET1 uninstall com.zelk.phoneinfo"), 1);
    EXPECT_FALSE(fs::exists(dev / "installed-com.zelk.phoneinfo")) << "the package is gone from the device";

    // The package installed is resource 160, byte for byte.
    std::vector<unsigned char> resource(280000);
    const unsigned size = RYL::LoadResourceBytes(RYL::GetThisModule(), 160, L"APK", resource.size(), resource.data());
    ASSERT_GT(size, 0u);
    const fs::path copy = root / "resource160.apk";
    std::ofstream(copy, std::ios::binary).write(reinterpret_cast<const char*>(resource.data()), size);
    const std::string expected = [&] {
        std::string command = "cksum < '" + copy.string() + "'";
        FILE* pipe = popen(command.c_str(), "r");
        char line[128] = {};
        fgets(line, sizeof line, pipe);
        pclose(pipe);
        return std::string(line);
    }();
    EXPECT_EQ(ReadAll(dev / "installed"), expected);
    EXPECT_TRUE(fs::is_empty(root / "tmp")) << "the package file is deleted";
}

TEST_F(CheckWorkers, TheScriptCheckReadsTheImeiThroughGetImei) {
    Write(dev / "package", "com.example.getimei");
    Write(dev / "telephony-imei", kImei);
    Configure(false, true, false);
    auto device = MakeRecord(KivCheckFlow::Script, kScriptModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Script, *device));
    EXPECT_EQ(device->state, DEV_PASS) << Texts().back();
    EXPECT_TRUE(Logged(L"Read IMEI 357123456789012"));
    EXPECT_EQ(CountCalls("am start -n com.example.getimei/com.example.getimei.MainActivity"), 1);
    EXPECT_EQ(CountCalls("getprop ril.device_imei"), 1);
    EXPECT_GE(CountCalls("-s DET1 uninstall com.example.getimei"), 1);
    EXPECT_FALSE(fs::exists(dev / "installed-com.example.getimei"));
    EXPECT_TRUE(fs::is_empty(root / "tmp")) << "the package file is deleted";
}

// A phone's radio may publish its IMEI well after adb answers: every flow reads the property on a
// later try, whether the model has a companion package (whose app does not answer here) or not.
TEST_F(CheckWorkers, AnImeiPublishedLateIsReadOnALaterTry) {
    const struct {
        KivCheckFlow flow;
        const wchar_t* model;
    } cases[] = {{KivCheckFlow::Fastboot, kArmModel},  {KivCheckFlow::Fastboot, kScriptModel},
                 {KivCheckFlow::Recovery, L"ZK170CG"}, {KivCheckFlow::Script, kArmModel},
                 {KivCheckFlow::Recovery, kArmModel},  {KivCheckFlow::Script, kScriptModel}};
    Write(dev / "prop" / "persist.radio.device.imei", kImei);
    Write(dev / "helper", "11\r\n");  // com.zelk.phoneinfo's helper: the modem does not answer
    Configure(false, true, false, 100000);  // a limit that the tries always keep within
    for (const auto& c : cases) {
        for (int unsetReads : {1, 3}) {
            SCOPED_TRACE(std::string(FlowName(c.flow)) + " " + plat::NarrowFromWide(c.model) + ", published after " +
                         std::to_string(unsetReads) + " tries");
            NewStation();
            fs::remove(dev / "package");
            if (c.flow == KivCheckFlow::Script)
                Write(dev / "package", "com.example.getimei");  // and no device id published
            Write(dev / "unset" / "persist.radio.device.imei", std::to_string(unsetReads));
            auto device = MakeRecord(c.flow, c.model, true);
            ASSERT_TRUE(RunCheck(c.flow, *device));
            EXPECT_EQ(device->state, DEV_PASS) << Texts().back();
            EXPECT_TRUE(Logged(L"Read IMEI 357123456789012"));
            EXPECT_EQ(CountCalls("getprop persist.radio.device.imei"), unsetReads + 1);
            EXPECT_EQ(CountCalls("'/data/data/PhoneInfoTest' 1 0"), unsetReads + 1);
            if (ImeiApkResourceId(c.flow, c.model) == 0) {
                const LoggedRecord exported = LogOf(L"Export PhoneInfoTest.apk: Load PhoneInfoTest apk resource failure");
                EXPECT_EQ(exported.code, uint32_t(ERR_APK_RESOURCE)) << "each try's failed export is logged";
                EXPECT_EQ(CountCalls(" install "), 0);
            } else {
                EXPECT_EQ(CountCalls(" install "), 1) << "installed once for all tries";
                EXPECT_EQ(CountCalls("am start"), unsetReads);
            }
            EXPECT_FALSE(fs::exists(dev / "installed-com.zelk.phoneinfo"));
            EXPECT_FALSE(fs::exists(dev / "installed-com.example.getimei"));
            fs::remove_all(root / "results");
            fs::create_directories(root / "results");
        }
    }
}

// An IMEI that stays unreadable fails only once the limit has passed, with the last route's code
// and text: the failed export where the model has no companion package (every fastboot check),
// else the companion app's refusal. A refused property is logged on every try.
TEST_F(CheckWorkers, AnImeiThatStaysUnreadableFailsAtTheLimit) {
    const std::wstring exportText = L"Export PhoneInfoTest.apk: Load PhoneInfoTest apk resource failure";
    const struct {
        KivCheckFlow flow;
        const wchar_t* model;
        const char* property;  // nullptr: unset
        std::wstring last;
        uint32_t code;
    } cases[] = {{KivCheckFlow::Fastboot, kArmModel, nullptr, exportText, ERR_APK_RESOURCE},
                 {KivCheckFlow::Recovery, L"ZK170CG", "unknown", exportText, ERR_APK_RESOURCE},
                 {KivCheckFlow::Recovery, kArmModel, "unknown", L"The IMEI \"11\" is invalid", ERR_INVALID_ID},
                 {KivCheckFlow::Script, kScriptModel, "35712345", L"The IMEI \"\" is invalid", ERR_INVALID_ID}};
    Write(dev / "helper", "11\r\n");
    Configure(false, true, false, 300);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(FlowName(c.flow)) + " " + plat::NarrowFromWide(c.model));
        NewStation();
        fs::remove(dev / "package");
        if (c.flow == KivCheckFlow::Script)
            Write(dev / "package", "com.example.getimei");
        fs::remove(dev / "prop" / "persist.radio.device.imei");
        if (c.property)
            Write(dev / "prop" / "persist.radio.device.imei", c.property);
        auto device = MakeRecord(c.flow, c.model, true);
        bool ran = false;
        {
            SpeedUpWhen twoTries(20, [this] { return CountCalls("getprop persist.radio.device.imei") >= 2; });
            ran = RunCheck(c.flow, *device);
        }
        ASSERT_TRUE(ran);
        EXPECT_EQ(device->state, DEV_FAIL);
        const std::wstring text = L"Read IMEI failure(300 seconds timeout, " + c.last + L")";
        EXPECT_EQ(Texts().back(), text);
        EXPECT_EQ(LogOf(text).code, c.code);
        EXPECT_GE(CountCalls("getprop persist.radio.device.imei"), 2) << "tried again before the limit";
        EXPECT_EQ(LogOf(c.last).code, c.code) << "each try's last failure is logged";
        if (c.property) {
            int refusals = 0;
            for (const LoggedRecord& record : station->Log())
                refusals += record.text == L"The IMEI \"" + plat::WideFromNarrow(c.property) + L"\" is invalid";
            EXPECT_GE(refusals, 2);
        }
        if (c.flow == KivCheckFlow::Fastboot) {
            EXPECT_EQ(CountCalls(" install "), 0);
        }
        EXPECT_FALSE(Logged(L"Generate xml log ..."));
        EXPECT_TRUE(fs::is_empty(root / "results"));
    }
}

// An empty property is no IMEI: the companion app is tried, and a read that never answers fails.
TEST_F(CheckWorkers, AnUnsetPropertyIsNoImei) {
    Write(dev / "helper", "11\r\n");  // the helper's code for a modem that does not answer
    Configure(false, true, false, 300);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    bool ran = false;
    {
        SpeedUpWhen twoTries(20, [this] { return CountCalls("am start") >= 2; });  // 15 s for them
        ran = RunCheck(KivCheckFlow::Recovery, *device);
    }
    ASSERT_TRUE(ran);
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring refused = L"The IMEI \"11\" is invalid";
    EXPECT_EQ(LogOf(refused).code, uint32_t(ERR_INVALID_ID));
    EXPECT_EQ(Texts().back(), L"Read IMEI failure(300 seconds timeout, " + refused + L")");
    EXPECT_EQ(CountCalls(" install "), 1) << "installed once for all tries";
    EXPECT_GE(CountCalls("am start"), 2) << "started on every try";
    // Ended early: the package and its file are removed all the same.
    EXPECT_EQ(CountCalls("-s DET1 uninstall com.zelk.phoneinfo"), 1);
    EXPECT_FALSE(fs::exists(dev / "installed-com.zelk.phoneinfo"));
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

TEST_F(CheckWorkers, AFailedUninstallFailsTheCheckBeforeTheLog) {
    Write(dev / "helper", std::string(kImei) + "\r\n");
    Write(dev / "uninstall-reply", "Failure [DELETE_FAILED_INTERNAL_ERROR]\r\n");
    Configure(false, true, false);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring text = L"Uninstall PhoneInfoTest failure(ADB response: Failure [DELETE_FAILED_INTERNAL_ERROR])";
    EXPECT_EQ(Texts().back(), text);
    EXPECT_EQ(LogOf(text).code, uint32_t(ERR_UNINSTALL));
    EXPECT_FALSE(Logged(L"Generate xml log ..."));
    EXPECT_TRUE(fs::is_empty(root / "results"));
}

// The record goes while its check waits for Android: the check ends promptly and touches nothing more.
TEST_F(CheckWorkers, DeletingTheRecordEndsARunningCheck) {
    Write(dev / "offline", "1000000");
    plat::SetTimeScaleForTesting(1);  // real time: the check would wait for minutes
    auto device = MakeRecord(KivCheckFlow::Script, kOtherModel, true);
    auto* predecessor = new WaitingPredecessor(device.get(), KivSlot::Script, std::make_shared<std::atomic<bool>>());
    ASSERT_EQ(predecessor->Launch(), wxTHREAD_NO_ERROR);
    KivCheckResultWorker* worker = new KivThreadCheckResultForScript(device.get());
    const auto control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    while (CountCalls("getprop ro.build.display.id") < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    device.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "not the minutes of the check";
    control->WaitEnded();
}

// A package file written short is not kept: every try writes it anew and none installs it.
TEST_F(CheckWorkers, AShortPackageFileIsNeverInstalled) {
    Configure(false, true, false, 60);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    const std::wstring text = L"Export PhoneInfoTest.apk: Create PhoneInfoTest apk file failure";
    const auto failures = [&] {
        int n = 0;
        for (const LoggedRecord& record : station->Log())
            n += record.text == text;
        return n;
    };
    SpeedUpWhen twoTries(10, [&] { return failures() >= 2; });  // 6 s for them
    struct rlimit before {};
    getrlimit(RLIMIT_FSIZE, &before);
    struct rlimit small = before;
    small.rlim_cur = 20000;  // below the package's size
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool ran = RunCheck(KivCheckFlow::Recovery, *device);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    ASSERT_TRUE(ran);
    EXPECT_EQ(device->state, DEV_FAIL);
    for (const LoggedRecord& record : station->Log()) {
        if (record.text == text) {
            EXPECT_EQ(record.code, uint32_t(ERR_APK_WRITE));
        }
    }
    EXPECT_GE(failures(), 2) << "each try writes the package again";
    EXPECT_EQ(CountCalls(" install "), 0);
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

// The reports of a recovery check against loopback fakes: the internet agent's probes go to a
// listener and the connected state is forced.
class ReportingChecks : public CheckWorkers {
protected:
    void SetUp() override {
        CheckWorkers::SetUp();
        // The requests' limits follow the station clock: sped up less, a TLS handshake with the
        // fake fits in them on a loaded machine.
        plat::SetTimeScaleForTesting(20);
        plat::SetConnectedStateForTesting(true);
        RedirectProbesTo(probe.port());
        ASSERT_TRUE(tavio.ok());
        for (int i = 0; i < SettingsData::kTavioHostCount; ++i)
            plat::RedirectHostForTesting(SettingsData::TavioHostAt(i), 443, tavio.port());
        plat::SetExtraCaFileForTesting(tavio.caFile());
        tavio.Reply(1, 200, "SUCCESS");
        tavio.Reply(2, 200,
                    "<RM_WTP_TEST_RESULT><SERIAL_NO>{{serial_no}}</SERIAL_NO><TEST_TIME>{{test_time}}</TEST_TIME>"
                    "</RM_WTP_TEST_RESULT>");
        Write(dev / "fs" / "data" / "data" / "PhoneInfoTest", std::string(kImei) + "\r\n");
    }
    void TearDown() override {
        DeleteSharedInternetAgent();
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
        CheckWorkers::TearDown();
    }
    // The FTP host of the settings goes to that loopback port.
    void UseFtpPort(uint16_t port) {
        SettingsData values = station->settings.Copy();
        plat::RedirectHostForTesting(values.Ftp.Host, values.Ftp.Port, port);
    }
    // The query of the Tavio upload request; empty when none was sent.
    std::string TavioUpload() const {
        const std::vector<std::string> requests = tavio.requests();
        return requests.empty() ? std::string() : requests[0].substr(requests[0].find('?') + 1);
    }

    fakes::Listener probe;
    TestDir tavioDir;
    fakes::ReplyServer tavio{tavioDir.path()};
};

TEST_F(ReportingChecks, TavioAloneReportsAPassWithoutAnImei) {
    Configure(false, false, true);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_PASS) << Texts().back();
    EXPECT_FALSE(Logged(L"Reading IMEI ..."));
    EXPECT_TRUE(Logged(L"Return result to Tavio ..."));
    const std::string query = TavioUpload();
    EXPECT_NE(query.find("serial_no=DET1&"), std::string::npos) << query;
    EXPECT_NE(query.find("&test_result=PASS&"), std::string::npos) << query;
    EXPECT_NE(query.find("&imei=&cleanData=Y"), std::string::npos) << query;
}

// A log written only for the upload goes once it is on the server.
TEST_F(ReportingChecks, AnUploadedLogThatIsNotKeptIsDeleted) {
    TestDir ftpRoot;
    fs::create_directories(fs::path(ftpRoot.path()) / "inbox/reflash");
    fakes::FtpServer ftp(ftpRoot.path(), {"zelk", "qHtWmRbN", false, ""});
    ASSERT_TRUE(ftp.ok());
    UseFtpPort(ftp.port());
    Configure(true, false, true);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_PASS) << Texts().back();
    EXPECT_TRUE(Logged(L"Upload xml log to FTP successfully"));
    std::vector<fs::path> uploaded;
    for (const auto& entry : fs::directory_iterator(fs::path(ftpRoot.path()) / "inbox/reflash"))
        uploaded.push_back(entry.path());
    ASSERT_EQ(uploaded.size(), 1u);
    EXPECT_NE(ReadAll(uploaded[0]).find("<ESN>357123456789012</ESN>"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(root / "results")) << "the local log is deleted";
    EXPECT_NE(TavioUpload().find("&test_result=PASS&"), std::string::npos) << TavioUpload();
    EXPECT_NE(TavioUpload().find("&imei=357123456789012&"), std::string::npos) << TavioUpload();
}

// A failed upload fails the check; the log goes all the same and Tavio hears FAIL.
TEST_F(ReportingChecks, AFailedUploadStillDeletesTheLogAndReportsFail) {
    fakes::RefusingPort refusing;
    UseFtpPort(refusing.port());
    Configure(true, false, true);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_FAIL);
    std::wstring uploadFailure;
    for (const LoggedRecord& record : station->Log())
        if (record.text.rfind(L"Upload xml log to FTP failure(", 0) == 0)
            uploadFailure = record.text;
    ASSERT_FALSE(uploadFailure.empty()) << "the upload failed";
    EXPECT_NE(LogOf(uploadFailure).code, 0u);
    EXPECT_TRUE(fs::is_empty(root / "results")) << "the local log is deleted";
    EXPECT_NE(TavioUpload().find("&test_result=FAIL&"), std::string::npos) << TavioUpload();
    EXPECT_NE(TavioUpload().find("&imei=357123456789012&"), std::string::npos) << TavioUpload();
    EXPECT_EQ(Texts().back(), L"Return result to Tavio ...") << "the report itself went through";
    EXPECT_EQ(LogOf(L"Return result to Tavio ...").level, LOG_LEVEL_INFO);
    EXPECT_EQ(station->Row("SER1").state, "Fail");
    EXPECT_EQ(station->Row("SER1").description, uploadFailure) << "the row keeps the failure";
    EXPECT_EQ(station->BusyCount(), 0);
}

// Phones that lost their IMEI show one default value, and are checked in the same second: each
// log takes a name of its own, and both are kept and uploaded under those names. Logs of earlier
// checks stand at the first two names of every second around the checks (one without its
// extension) and stay as they were.
TEST_F(ReportingChecks, TwoPhonesOfOneImeiKeepTwoLogs) {
    TestDir ftpRoot;
    const fs::path inbox = fs::path(ftpRoot.path()) / "inbox/reflash";
    fs::create_directories(inbox);
    fakes::FtpServer ftp(ftpRoot.path(), {"zelk", "qHtWmRbN", false, ""});
    ASSERT_TRUE(ftp.ok());
    UseFtpPort(ftp.port());
    Configure(true, true, false);
    const fs::path results = root / "results";
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 600; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
        const std::string name = std::string("ZELK_") + kImei + "_" + stamp;
        Write(results / (name + ".xml"), "earlier");
        Write(results / (name + "_2"), "earlier");
    }
    const size_t earlier = std::distance(fs::directory_iterator(results), fs::directory_iterator());

    std::vector<std::unique_ptr<KivDevice>> devices;
    std::vector<std::shared_ptr<KivWorkerControl>> checks;
    for (const char* listKey : {"SER1", "SER2"}) {
        auto device = std::make_unique<KivDevice>(listKey, "1", "1", StateBefore(KivCheckFlow::Recovery));
        device->model = kArmModel;
        device->wipe = true;
        device->detectedSerial = kDetected;
        station->AddRow(listKey, DEV_RECOVERY_FLASHING);
        auto* predecessor = new WaitingPredecessor(device.get(), PredecessorSlot(KivCheckFlow::Recovery),
                                                   std::make_shared<std::atomic<bool>>(false));
        ASSERT_EQ(predecessor->Launch(), wxTHREAD_NO_ERROR);
        KivCheckResultWorker* check = MakeCheck(KivCheckFlow::Recovery, device.get());
        checks.push_back(check->control());
        ASSERT_EQ(check->Launch(), wxTHREAD_NO_ERROR);
        devices.push_back(std::move(device));
    }
    for (const auto& check : checks)
        check->WaitEnded();

    for (const auto& device : devices)
        EXPECT_EQ(device->state, DEV_PASS) << device->listKey;
    std::vector<std::string> logs, uploaded;
    for (const auto& entry : fs::directory_iterator(results)) {
        const std::string text = ReadAll(entry.path());
        if (text == "earlier")
            continue;
        logs.push_back(entry.path().filename());
        EXPECT_NE(text.find(std::string("<ESN>") + kImei + "</ESN>"), std::string::npos) << text;
        // The first free name of its second.
        const std::string name = logs.back();
        EXPECT_EQ(name.rfind(std::string("ZELK_") + kImei + "_", 0), 0u) << name;
        EXPECT_TRUE(name.size() > 6 && (name.substr(name.size() - 6) == "_3.xml" || name.substr(name.size() - 6) == "_4.xml"))
            << name;
    }
    for (const auto& entry : fs::directory_iterator(inbox))
        uploaded.push_back(entry.path().filename());
    std::sort(logs.begin(), logs.end());
    std::sort(uploaded.begin(), uploaded.end());
    ASSERT_EQ(logs.size(), 2u) << "a log of each phone";
    EXPECT_NE(logs[0], logs[1]);
    EXPECT_EQ(uploaded, logs) << "each uploaded under its own name";
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(results), fs::directory_iterator())), earlier + 2)
        << "the logs of earlier checks stay";
}

TEST_F(ReportingChecks, ARefusedReportFailsTheCheck) {
    tavio.Reply(1, 200, "NO RECORD");
    Configure(false, true, true);
    auto device = MakeRecord(KivCheckFlow::Recovery, kArmModel, true);
    ASSERT_TRUE(RunCheck(KivCheckFlow::Recovery, *device));
    EXPECT_EQ(device->state, DEV_FAIL);
    const std::wstring text = L"Return result to Tavio failure(NO RECORD)";
    EXPECT_EQ(Texts().back(), text);
    EXPECT_EQ(LogOf(text).level, LOG_LEVEL_ERROR);
    EXPECT_EQ(station->Row("SER1").description, text);
    EXPECT_EQ(fs::is_empty(root / "results"), false) << "a kept log stays";
}

}  // namespace
