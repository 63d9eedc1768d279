// The recovery install worker against the fake device tool.
#include "KivLog.h"
#include "KivModels.h"
#include "KivThreadDownloadImage.h"
#include "RecoveryFlow.h"

namespace {

using namespace recoveryflow;

const char kPlainModel[] = "ZK600KL";      // no recovery image, not a sideload model
const char kImageModel[] = "ZK500KL";      // has a recovery image
const char kSideloadModel[] = "ZK170CG";   // the sideload model

class RecoveryInstall : public RecoveryFlowTest {
protected:
    // Starts the worker as the dispatch does.
    std::shared_ptr<KivWorkerControl> Start(const char* model, bool wipe) {
        if (!handler.joinable())
            station->ClearLog();
        device->model = model;
        device->wipe = wipe;
        auto* worker = new KivThreadDownloadImage(device.get(), device->imagePath, W((google / "fastboot1").string()));
        sideload = worker->sideload;
        dataDirectory = worker->dataDirectory.ToStdString();
        auto control = worker->control();
        EXPECT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        return control;
    }
    // The handler sets DEV_RECOVERY_RETURNED when the device is back in recovery.
    void ReturnsInRecovery() {
        Handler({{L"Waiting for reboot device to recovery ...", [this] { SetState(DEV_RECOVERY_RETURNED); }}});
    }
    // Runs a job until its final wait and hands it over as the wipe worker would.
    void RunToHandOver(const char* model, bool wipe) {
        ReturnsInRecovery();
        auto control = Start(model, wipe);
        ASSERT_TRUE(WaitLogged(L"Wait device reboot for installing ...")) << Dump();
        {
            wxCriticalSectionLocker locker(device->lock);
            ASSERT_NE(device->downloadThread.worker(), nullptr);
            device->downloadThread->Cancel();
        }
        ASSERT_TRUE(WaitEnded(control));
    }
    // Runs a job that must fail, and returns its failure record.
    using RecoveryFlowTest::RunToFailure;
    LoggedRecord RunToFailure(const char* model, bool wipe) { return RunToFailure(Start(model, wipe)); }
    std::string Dump() {
        std::string all;
        for (const std::wstring& text : station->LogTexts())
            all += plat::NarrowFromWide(text) + "\n";
        for (const std::string& call : Calls())
            all += "call: " + call + "\n";
        return all;
    }

    bool sideload = false;
    std::string dataDirectory;
};

TEST_F(RecoveryInstall, InstallJobLeavesRecoveryItsCommandAndAnEmptyResult) {
    WriteFile(DevicePath("/cache/recovery/last_install"), "/data/media/old.zip\n1\n");
    RunToHandOver(kPlainModel, true);
    EXPECT_FALSE(sideload);
    EXPECT_EQ(dataDirectory, "/data/media");

    EXPECT_EQ(station->LogTexts(), kInstallStepsToHandOver) << Dump();
    for (const LoggedRecord& record : station->Log()) {
        EXPECT_EQ(record.tag, L"SER1");
        EXPECT_EQ(record.code, 0u);
    }
    const std::vector<std::wstring> shown = station->Descriptions();
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], L"Check image model ...");
    EXPECT_EQ(shown[1], L"Check the detected serial number ...");
    EXPECT_NE(std::find(shown.begin(), shown.end(), L"Check battery capacity ..."), shown.end()) << "row only";

    const std::string root = "-s SER1 ";
    const std::vector<std::string> calls = Calls();
    const std::vector<std::string> expectedCalls = {
        "devices",
        root + "oem reboot-recovery",
        "devices",
        "devices",
        root + "pull /sys/class/power_supply/battery/capacity TEMP",
        root + "push TEMP /data/media",
        root + "push " + image.string() + " /data/media",
        root + "push TEMP /cache/recovery/command",
        root + "push TEMP /cache/recovery/last_install",
        root + "reboot recovery",
    };
    EXPECT_EQ(calls, expectedCalls) << Dump();

    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")),
              "--update_package=/data/media/ZK pkg.zip\n--show_text\n--remove_package\n");
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/last_install")), "");
    EXPECT_EQ(ReadFile(DevicePath("/data/media/ZK pkg.zip")), ReadFile(image));
    // The directory test's file stays on the device; nothing stays on the station.
    size_t testFiles = 0;
    for (const auto& entry : fs::directory_iterator(DevicePath("/data/media")))
        if (entry.path().filename() != "ZK pkg.zip") {
            ++testFiles;
            EXPECT_EQ(ReadFile(entry.path()), "Test the directory /data/media");
            EXPECT_EQ(entry.path().filename().string().rfind("~", 0), 0u) << "a temporary name";
        }
    EXPECT_EQ(testFiles, 1u);
    EXPECT_TRUE(TempFiles().empty());

    EXPECT_EQ(State(), DEV_RECOVERY_RETURNED) << "the handed-over worker leaves the state alone";
    EXPECT_EQ(station->Row(kSerial).state, "Installing");
    EXPECT_EQ(station->BusyCount(), 1);
    wxCriticalSectionLocker locker(device->lock);
    EXPECT_EQ(device->downloadThread.worker(), nullptr);
}

TEST_F(RecoveryInstall, SideloadJobCopiesNoPackageAndAsksForASideload) {
    RunToHandOver(kSideloadModel, false);
    EXPECT_TRUE(sideload);
    EXPECT_EQ(dataDirectory, "/data");
    const std::vector<std::wstring> expected = {
        L"Fastboot reboot to recovery ...",
        L"Waiting for reboot device to recovery ...",
        L"Check the detected serial number ...",
        L"Check battery capacity ... 85",
        L"Generate sideload command file ...",
        L"Copy sideload command file to /cache/recovery/ ...",
        L"Clean last install file ...",
        L"Reboot recovery ...",
        L"Wait device reboot for installing ...",
    };
    EXPECT_EQ(station->LogTexts(), expected) << Dump();
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")), "--sideload\n");
    EXPECT_EQ(CountCalls("-s SER1 format data"), 0u);
    EXPECT_TRUE(fs::is_empty(DevicePath("/data/media")));
}

TEST_F(RecoveryInstall, WipingSideloadModelFormatsDataAndInstallsFromData) {
    fs::create_directories(DevicePath("/data"));
    RunToHandOver(kSideloadModel, true);
    EXPECT_FALSE(sideload);
    EXPECT_EQ(dataDirectory, "/data");
    const std::vector<std::wstring> texts = station->LogTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"Format data...");
    EXPECT_EQ(texts[1], L"Fastboot reboot to recovery ...");
    EXPECT_EQ(CountCalls("-s SER1 format data"), 1u);
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Copy image to /data ..."), texts.end());
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")),
              "--update_package=/data/ZK pkg.zip\n--show_text\n--remove_package\n");
}

TEST_F(RecoveryInstall, ModelWithARecoveryImageFlashesItFirst) {
    RunToHandOver(kImageModel, false);
    const std::vector<std::wstring> texts = station->LogTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], L"Flash recovery ...");
    const std::string file = root.string() + "/Extra/recovery_ZK500KL.img";
    EXPECT_EQ(CountCalls("-s SER1 flash recovery " + file), 1u) << Dump();
    EXPECT_EQ(CountCalls("-s SER1 format data"), 0u) << "only the sideload model formats";
}

// The recovery image's flash has the time that the image's bytes need at the slowest rate of a
// working device, beyond the tools' limit; a flash that outlasts both is stopped.
TEST_F(RecoveryInstall, RecoveryImageFlashHasTheTimeItsSizeNeeds) {
    station->settings.Timeout = {3, 3, 3, 3};  // the tools' limit: 3 s
    const struct {
        const char* what;
        uint64_t bytes;
        std::wstring last;
    } cases[] = {
        {"an image of 128 s", 128 * kKivSlowestTransferBytesPerSecond,
         L"Waiting for reboot device to recovery failure(3 seconds timeout)"},
        {"a small image", 1024, L"Flash recovery failure(fastboot1 did not end within 3 seconds and was stopped)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = root / "Extra" / "recovery_ZK500KL.img";
        WriteFile(file, "");
        fs::resize_file(file, c.bytes);
        Rules({{"flash recovery *", "OKAY [  5.000s]\n", -1, false, {}, {}, 5}});
        SetState(DEV_CONNECTED);
        const LoggedRecord last = RunToFailure(kImageModel, false);
        EXPECT_EQ(last.text, c.last);
        const std::vector<std::wstring> texts = station->LogTexts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts[0], L"Flash recovery ...");
    }
}

TEST_F(RecoveryInstall, FailuresOfTheFastbootSteps) {
    const struct {
        const char* name;
        const char* model;
        bool wipe;
        std::vector<Rule> rules;
        std::wstring text;
        uint32_t code;
    } cases[] = {
        {"flash recovery", kImageModel, true, {{"flash recovery *", "FAILED (remote: not allowed)\r\n"}},
         L"Flash recovery failure(FAILED (remote: not allowed))", 0},
        {"format", kSideloadModel, true, {{"format data", "ERROR: no such partition\n"}},
         L"Format data failure(ERROR: no such partition)", 0},
        {"reboot to recovery", kPlainModel, true, {{"oem reboot-recovery", "FAILED (remote: unknown command)\n"}},
         L"Fastboot reboot to recovery failure(FAILED (remote: unknown command))", ERR_REBOOT_RECOVERY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rules(c.rules);
        SetState(DEV_CONNECTED);
        const LoggedRecord last = RunToFailure(c.model, c.wipe);
        EXPECT_EQ(last.text, c.text);
        EXPECT_EQ(last.code, c.code);
    }
}

TEST_F(RecoveryInstall, DeviceThatFastbootNeverListsFailsAfterSevenListings) {
    Listed({"SER12"});
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Check the detected serial number failure(not found the device of \"SER1\")");
    EXPECT_EQ(last.code, ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(CountCalls("devices"), 7u);
    EXPECT_EQ(station->LogTexts().size(), 1u) << "the row-only step made no record";
}

TEST_F(RecoveryInstall, RecoveryThatNeverReturnsFailsAfterTheRebootLimit) {
    station->settings.Timeout.RebootTimeout = 6;
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Waiting for reboot device to recovery failure(6 seconds timeout)");
    EXPECT_EQ(last.code, ERR_DEVICE_WAIT);
    EXPECT_EQ(CountCalls("devices"), 1u) << "adb is asked only once the device has returned";
}

TEST_F(RecoveryInstall, ReturnedDeviceThatAdbDoesNotListKeepsTheWaitGoing) {
    station->settings.Timeout.RebootTimeout = 30;
    // fastboot lists it, adb never does.
    Rules({{"devices", "List of devices attached\nSER1\tfastboot\n", 1}, {"devices", "List of devices attached\n\n"}});
    ReturnsInRecovery();
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Waiting for reboot device to recovery failure(30 seconds timeout)");
    EXPECT_GT(CountCalls("devices"), 7u);
}

TEST_F(RecoveryInstall, BatteryBelowTheLimitStopsTheJob) {
    const struct {
        const char* content;
        std::wstring reason;
    } cases[] = {
        {"19\n", L"Battery capacity(19) has to be greater than or equal to 20, please remove device and recharge."},
        {"", L"Failed to getbatery capacity"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        WriteFile(DevicePath("/sys/class/power_supply/battery/capacity"), c.content);
        ReturnsInRecovery();
        const LoggedRecord last = RunToFailure(kPlainModel, true);
        EXPECT_EQ(last.text, L"Check battery capacity failure(" + c.reason + L")");
        EXPECT_EQ(last.code, ERR_BATTERY);
        EXPECT_TRUE(TempFiles().empty());
    }
    fs::remove(DevicePath("/sys/class/power_supply/battery/capacity"));
    ReturnsInRecovery();
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Check battery capacity failure(ADB Error: adb: error: failed to stat remote object "
                         L"'/sys/class/power_supply/battery/capacity': No such file or directory)");
}

// The retry tests run the clock slower until the tries they need have happened, so that the tool's
// own run time (which the station clock counts too) leaves room for them in 16 s.
TEST_F(RecoveryInstall, DataDirectoryThatRefusesFilesIsRetriedForSixteenSeconds) {
    Rules({{"push * /data/media", "adb: error: failed to copy: Read-only file system\n"}});
    ReturnsInRecovery();
    SpeedUpWhen twoTries(2, [this] { return CountCalls("-s SER1 push TEMP /data/media") >= 2; });
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Check the directory /data/media failure(16 seconds timeout)");
    EXPECT_EQ(last.code, ERR_DATA_DIRECTORY);
    EXPECT_GE(CountCalls("-s SER1 push TEMP /data/media"), 2u) << "retried";
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(RecoveryInstall, CommandFilePushIsRetriedOnlyWhilePermissionIsDenied) {
    const std::string denied = "adb: error: failed to copy 'x' to '/cache/recovery/command': Permission denied\n";
    Rules({{"push * /cache/recovery/command", denied}});
    ReturnsInRecovery();
    LoggedRecord last;
    {
        SpeedUpWhen twoTries(2, [this] { return CountCalls("-s SER1 push TEMP /cache/recovery/command") >= 2; });
        last = RunToFailure(kPlainModel, true);
    }
    EXPECT_EQ(last.text, L"Copy install command to /cache/recovery failure(ADB Error: adb: error: failed to copy 'x' to "
                         L"'/cache/recovery/command': Permission denied, 16 seconds timeout)");
    EXPECT_EQ(last.code, 1627u);
    EXPECT_GE(CountCalls("-s SER1 push TEMP /cache/recovery/command"), 2u) << "retried";
    EXPECT_TRUE(TempFiles().empty()) << "the command file does not outlive the job";

    // Denied twice, then copied: the job goes on.
    fs::remove(google / "calls.log");
    Rules({{"push * /cache/recovery/command", denied, 2}});
    SetState(DEV_CONNECTED);
    plat::SetTimeScaleForTesting(2);  // 8 s for three tries
    RunToHandOver(kPlainModel, true);
    plat::SetTimeScaleForTesting(250);
    EXPECT_EQ(CountCalls("-s SER1 push TEMP /cache/recovery/command"), 3u);
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")),
              "--update_package=/data/media/ZK pkg.zip\n--show_text\n--remove_package\n");

    // Any other refusal ends the job at once.
    fs::remove(google / "calls.log");
    Rules({{"push * /cache/recovery/command", "adb: error: connect failed: no devices/emulators found\n"}});
    SetState(DEV_CONNECTED);
    ReturnsInRecovery();
    last = RunToFailure(kSideloadModel, false);
    EXPECT_EQ(last.text, L"Copy sideload command to /cache/recovery failure(ADB Error: adb: error: connect failed: "
                         L"no devices/emulators found)");
    EXPECT_EQ(CountCalls("-s SER1 push TEMP /cache/recovery/command"), 1u);
}

TEST_F(RecoveryInstall, FailuresOfTheLastAdbSteps) {
    const struct {
        const char* name;
        Rule rule;
        std::wstring text;
        uint32_t code;
    } cases[] = {
        {"clean", {"push * /cache/recovery/last_install", "protocol failure\n"},
         L"Clean last install file failure(ADB Error: protocol failure)", 1627},
        {"copy image", {"push */ZK pkg.zip /data/media", "adb: error: no space left\n"},
         L"Copy image to /data/media failure(ADB Error: adb: error: no space left)", 1627},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rules({c.rule});
        SetState(DEV_CONNECTED);
        ReturnsInRecovery();
        const LoggedRecord last = RunToFailure(kPlainModel, true);
        EXPECT_EQ(last.text, c.text);
        EXPECT_EQ(last.code, c.code);
    }
}

TEST_F(RecoveryInstall, FinalWaitWithoutAWipeWorkerFailsAfterTheRebootLimit) {
    station->settings.Timeout.RebootTimeout = 20;
    ReturnsInRecovery();
    const LoggedRecord last = RunToFailure(kPlainModel, true);
    EXPECT_EQ(last.text, L"Wait device failure(20 seconds timeout)");
    EXPECT_EQ(last.code, ERR_DEVICE_WAIT);
    EXPECT_EQ(station->BusyCount(), 0);
}

TEST_F(RecoveryInstall, DeletingTheRecordEndsAWaitingWorkerPromptly) {
    station->settings.Timeout.RebootTimeout = 100000;
    auto control = Start(kPlainModel, true);
    ASSERT_TRUE(WaitLogged(L"Waiting for reboot device to recovery ..."));
    const auto start = Steady::now();
    device.reset();
    EXPECT_LT(Steady::now() - start, std::chrono::seconds(60));
    EXPECT_TRUE(WaitEnded(control));
}

TEST_F(RecoveryInstall, RecordWithoutADeviceEndsAtOnce) {
    auto* worker = new KivThreadDownloadImage(nullptr, "x.zip", "fastboot");
    EXPECT_EQ(worker->dataDirectory, "/data/media");
    EXPECT_FALSE(worker->sideload);
    auto control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    EXPECT_TRUE(WaitEnded(control));
    EXPECT_TRUE(station->Log().empty());
    EXPECT_FALSE(fs::exists(google / "calls.log"));
}

TEST(RecoveryImages, TableLookUpIsExact) {
    EXPECT_STREQ(RecoveryImageFor("ZK500KL"), L"Extra/recovery_ZK500KL.img");
    EXPECT_EQ(RecoveryImageFor("zk500kl"), nullptr);
    EXPECT_EQ(RecoveryImageFor("ZK500K"), nullptr);
    EXPECT_EQ(RecoveryImageFor(""), nullptr);
}

}  // namespace
