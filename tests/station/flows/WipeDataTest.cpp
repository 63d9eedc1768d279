// The wipe worker against the fake device tool, after a stand-in or the real recovery install
// worker, and followed by a stand-in of the result check.
#include "KivLog.h"
#include "KivThreadDownloadImage.h"
#include "KivThreadWipeData.h"
#include "RecoveryFlow.h"

#include <mutex>

namespace {

using namespace recoveryflow;

const char kPlainModel[] = "ZK600KL";
const char kFullFillModel[] = "ZK500KG";
const char kSideloadModel[] = "ZK170CG";

// Holds the downloadThread slot until it is handed over, as the recovery install worker does in
// its final wait.
class WaitingInstall : public KivDeviceWorker {
public:
    explicit WaitingInstall(KivDevice* device) : KivDeviceWorker(device, KivSlot::Download) {}
    void Steps() override {
        while (!TestDestroy())
            SleepMilliseconds(20);
    }
};

// The result check's opening: takes the job over from the wipe worker.
class CheckTakesOver : public KivDeviceWorker {
public:
    explicit CheckTakesOver(KivDevice* device) : KivDeviceWorker(device, KivSlot::Check) {}
    void Steps() override {
        if (CancelPredecessor(KivSlot::Wipe, DEV_WIPE_LEFT))
            SetState(DEV_CHECKING);
    }
};

class WipeData : public RecoveryFlowTest {
protected:
    void SetUp() override {
        RecoveryFlowTest::SetUp();
        WriteFile(DevicePath("/cache/recovery/last_install"), "/data/media/ZK pkg.zip\n1\ntime_total: 90\n");
    }

    // The device is back in recovery after the install worker's reboot: the handler starts the
    // wipe worker.
    std::shared_ptr<KivWorkerControl> Start(const char* model, bool wipe, bool withPredecessor = true) {
        device->model = model;
        device->wipe = wipe;
        if (withPredecessor) {
            SetState(DEV_RECOVERY_FLASHING);
            DeviceRowsOf(station->list)->SetState(kSerial, nullptr, DEV_RECOVERY_FLASHING, nullptr, nullptr);
            auto* install = new WaitingInstall(device.get());
            EXPECT_EQ(install->Launch(), wxTHREAD_NO_ERROR);
            SetState(DEV_RECOVERY_RETURNED);
        }
        station->ClearLog();
        return StartWipe();
    }
    std::shared_ptr<KivWorkerControl> StartWipe() {
        auto* worker = new KivThreadWipeData(device.get());
        sideload = worker->sideload;
        auto control = worker->control();
        {
            std::lock_guard<std::mutex> guard(controlsMutex);
            wipeControl = control;
        }
        EXPECT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        return control;
    }
    // The handler's arms after the wipe reboot: back (rebooted), gone (wiping), back in Android
    // (the result check starts).
    std::vector<Trigger> WipeArms() {
        return {
            {L"Wait device reboot for wiping ...", [this] { SetState(DEV_WIPE_REBOOTED); }},
            {L"Wait device wiping ...", [this] { SetState(DEV_WIPE_LEFT); }},
            {L"Wait device reboot into android ...", [this] { StartCheck(); }},
        };
    }
    void StartCheck() {
        auto* check = new CheckTakesOver(device.get());
        {
            std::lock_guard<std::mutex> guard(controlsMutex);
            checkControl = check->control();
        }
        EXPECT_EQ(check->Launch(), wxTHREAD_NO_ERROR);
    }
    std::shared_ptr<KivWorkerControl> CheckControl() {
        std::lock_guard<std::mutex> guard(controlsMutex);
        return checkControl;
    }
    std::shared_ptr<KivWorkerControl> WipeControl() {
        std::lock_guard<std::mutex> guard(controlsMutex);
        return wipeControl;
    }
    // A result that recovery writes only after the first pull found the file still empty.
    void ResultAfterFirstPull(const std::string& result) {
        WriteFile(DevicePath("/cache/recovery/last_install"), "");
        Rule later{"pull /cache/recovery/last_install *", "", 1, true};
        later.writeRemote = "/cache/recovery/last_install";
        later.writeText = result;
        Rules({later});
    }
    std::string Dump() {
        std::string all;
        for (const std::wstring& text : station->LogTexts())
            all += plat::NarrowFromWide(text) + "\n";
        return all;
    }

    bool sideload = false;
    std::mutex controlsMutex;
    std::shared_ptr<KivWorkerControl> checkControl, wipeControl;
};

TEST_F(WipeData, WipeJobFollowsTheDeviceUntilTheResultCheckTakesOver) {
    Handler(WipeArms());
    auto control = Start(kPlainModel, true);
    ASSERT_TRUE(WaitEnded(control));
    StopHandler();
    ASSERT_TRUE(CheckControl());
    ASSERT_TRUE(WaitEnded(CheckControl()));
    EXPECT_FALSE(sideload);

    const std::vector<std::wstring> expected = {
        L"Waiting for install result ...",
        L"Install image Successfully",
        L"Generate wipe command file ...",
        L"Copy wipe command file to /cache/recovery ...",
        L"Reboot recovery ...",
        L"Wait device reboot for wiping ...",
        L"Wait device wiping ...",
        L"Wait device reboot into android ...",
    };
    EXPECT_EQ(station->LogTexts(), expected);
    const std::vector<std::string> calls = {
        "-s SER1 pull /cache/recovery/last_install TEMP",
        "-s SER1 push TEMP /cache/recovery/command",
        "-s SER1 reboot recovery",
    };
    EXPECT_EQ(Calls(), calls);
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")), "--wipe_data\n--adb_on\n");
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_EQ(State(), DEV_CHECKING) << "the wipe worker left the state to the check";
    EXPECT_EQ(station->Row(kSerial).state, "Wiping");
    EXPECT_EQ(station->BusyCount(), 1) << "the job still runs";
    wxCriticalSectionLocker locker(device->lock);
    EXPECT_FALSE(device->IsBusy());
}

TEST_F(WipeData, JobWithoutWipeRebootsAndPasses) {
    auto control = Start(kPlainModel, false);
    ASSERT_TRUE(WaitEnded(control));
    const std::vector<std::wstring> expected = {
        L"Waiting for install result ...",
        L"Install image Successfully",
        L"Reboot ...",
        L"Flash image successfully (SER1)",
    };
    EXPECT_EQ(station->LogTexts(), expected);
    EXPECT_EQ(CountCalls("-s SER1 reboot"), 1u);
    EXPECT_EQ(State(), DEV_PASS);
    EXPECT_EQ(station->Row(kSerial).state, "Pass");
    EXPECT_EQ(station->BusyCount(), 0);
    EXPECT_FALSE(fs::exists(DevicePath("/cache/recovery/command")));
}

TEST_F(WipeData, SideloadJobSendsThePackageFirst) {
    auto control = Start(kSideloadModel, false);
    ASSERT_TRUE(WaitEnded(control));
    EXPECT_TRUE(sideload);
    const std::vector<std::wstring> texts = station->LogTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"Image sideloading ...");
    EXPECT_EQ(texts[1], L"Waiting for install result ...");
    const std::vector<std::string> calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], "-s SER1 sideload " + image.string());
    EXPECT_EQ(State(), DEV_PASS);
}

TEST_F(WipeData, InstallResultFailures) {
    const struct {
        const char* name;
        const char* model;
        bool wipe;
        const char* lastInstall;
        std::vector<Rule> rules;
        std::wstring text;
    } cases[] = {
        {"failed install", kPlainModel, true, "/data/media/ZK pkg.zip\n0\n", {}, L"Check install result file failure()"},
        {"invalid file", kPlainModel, true, "installed", {},
         L"Check install result file failure(Invalid install result file format)"},
        {"sideload refused", kSideloadModel, false, "x\n1\n", {{"sideload *", "adb: failed to connect\n"}},
         L"Sideload image failure(ADB Error: (unknown))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(DevicePath("/cache/recovery/last_install"), c.lastInstall);
        Rules(c.rules);
        const LoggedRecord last = RunToFailure(Start(c.model, c.wipe));
        EXPECT_EQ(last.text, c.text);
        EXPECT_EQ(last.code, ERR_INSTALL);
        EXPECT_TRUE(TempFiles().empty());
    }
}

// A slower clock until two pulls have happened, so that the tool's own run time (which the station
// clock counts too) leaves room for them in 40 s on a loaded machine.
TEST_F(WipeData, ResultThatNeverComesIsPulledUntilTheInstallLimit) {
    station->settings.Timeout.InstallTimeout = 40;
    WriteFile(DevicePath("/cache/recovery/last_install"), "");
    LoggedRecord last;
    {
        SpeedUpWhen twoPulls(4, [this] { return CountCalls("-s SER1 pull /cache/recovery/last_install TEMP") >= 2; });
        last = RunToFailure(Start(kPlainModel, true));
    }
    EXPECT_EQ(last.text, L"Check install result file failure(40 seconds timeout)");
    EXPECT_EQ(last.code, ERR_INSTALL);
    const size_t pulls = CountCalls("-s SER1 pull /cache/recovery/last_install TEMP");
    EXPECT_GE(pulls, 2u);
    EXPECT_LE(pulls, 4u) << "about one pull every 16 s";
    plat::SetTimeScaleForTesting(250);

    // A file that cannot be pulled fails with adb's last text.
    fs::remove(DevicePath("/cache/recovery/last_install"));
    last = RunToFailure(Start(kPlainModel, true));
    EXPECT_EQ(last.text, L"Check install result file failure(ADB Error: adb: error: failed to stat remote object "
                         L"'/cache/recovery/last_install': No such file or directory)");
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(WipeData, ResultWrittenLaterIsPickedUpByALaterPull) {
    ResultAfterFirstPull("/data/media/ZK pkg.zip\n1\n");
    auto control = Start(kPlainModel, false);
    ASSERT_TRUE(WaitEnded(control));
    EXPECT_EQ(State(), DEV_PASS);
    EXPECT_EQ(CountCalls("-s SER1 pull /cache/recovery/last_install TEMP"), 2u);
}

TEST_F(WipeData, FullFillModelGetsTheFullFillCommand) {
    Handler(WipeArms());
    auto control = Start(kFullFillModel, true);
    ASSERT_TRUE(WaitEnded(control));
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")), "--full_fill\n--adb_on\n");
}

TEST_F(WipeData, FailuresAfterTheInstall) {
    const struct {
        const char* name;
        std::vector<Rule> rules;
        std::wstring text;
        uint32_t code;
        size_t commandPushes;
    } cases[] = {
        {"command copy", {{"push * /cache/recovery/command", "adb: error: failed to copy: Permission denied\n"}},
         L"Copy command to /cache/recovery failure(ADB Error: adb: error: failed to copy: Permission denied)", 1627, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rules(c.rules);
        const LoggedRecord last = RunToFailure(Start(kPlainModel, true));
        EXPECT_EQ(last.text, c.text);
        EXPECT_EQ(last.code, c.code);
        EXPECT_EQ(CountCalls("-s SER1 push TEMP /cache/recovery/command"), c.commandPushes) << "no retry";
        EXPECT_TRUE(TempFiles().empty());
    }
}

TEST_F(WipeData, DeviceThatMissesAStageOfTheWipeFailsAfterItsLimit) {
    station->settings.Timeout.RebootTimeout = 10;
    station->settings.Timeout.WipeTimeout = 40;
    const struct {
        const char* name;
        size_t arms;  // how many of the handler's arms happen
        std::wstring text;
    } cases[] = {
        {"never back after the reboot", 0, L"Wait device failure(10 seconds timeout)"},
        {"never leaves", 1, L"Wait device wiping failure(40 seconds timeout)"},
        {"never back in Android", 2, L"Wait device reboot into android failure(10 seconds timeout)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Trigger> arms = WipeArms();
        arms.resize(c.arms);
        const auto fired = std::make_shared<std::atomic<size_t>>(0);
        for (Trigger& arm : arms)
            arm.action = [action = arm.action, fired] {
                action();
                ++*fired;
            };
        Handler(arms);
        // A slow clock until the handler has answered the waits it answers, so that on a loaded
        // machine no limit passes before its answer.
        LoggedRecord last;
        {
            SpeedUpWhen answered(5, [&] { return *fired == c.arms; });
            last = RunToFailure(Start(kPlainModel, true));
        }
        plat::SetTimeScaleForTesting(250);
        EXPECT_EQ(last.text, c.text);
        EXPECT_EQ(last.code, ERR_DEVICE_WAIT);
    }
}

TEST_F(WipeData, InstallSuccessPutsTheStateBackSoTheWipeNeedsAFreshArrival) {
    station->settings.Timeout.RebootTimeout = 10;
    // A re-detection during the install moves the record on; the worker puts it back.
    ResultAfterFirstPull("/data/media/ZK pkg.zip\n1\n");
    Handler({{L"Waiting for install result ...", [this] { SetState(DEV_WIPE_REBOOTED); }}});
    auto control = Start(kPlainModel, true);
    ASSERT_TRUE(WaitLogged(L"Install image Successfully"));
    const LoggedRecord last = RunToFailure(control);
    EXPECT_EQ(last.text, L"Wait device failure(10 seconds timeout)");
}

TEST_F(WipeData, EmptyPredecessorSlotEndsTheWorkerWithoutATrace) {
    SetState(DEV_RECOVERY_RETURNED);
    auto control = Start(kPlainModel, true, false);
    ASSERT_TRUE(WaitEnded(control));
    EXPECT_EQ(State(), DEV_RECOVERY_RETURNED);
    EXPECT_TRUE(station->Log().empty());
    EXPECT_TRUE(station->Descriptions().empty());
    EXPECT_FALSE(fs::exists(google / "calls.log"));
}

TEST_F(WipeData, DeletingTheRecordEndsAWorkerWaitingForTheWipe) {
    station->settings.Timeout.WipeTimeout = 100000;
    Handler({WipeArms()[0]});
    auto control = Start(kPlainModel, true);
    ASSERT_TRUE(WaitLogged(L"Wait device wiping ..."));
    const auto start = Steady::now();
    StopHandler();
    device.reset();
    EXPECT_LT(Steady::now() - start, std::chrono::seconds(60));
    EXPECT_TRUE(WaitEnded(control));
}

// The whole recovery flow: the install worker, then the wipe worker started by the handler when
// the device comes back, then the result check.
TEST_F(WipeData, RecoveryFlowFromFastbootToTheResultCheck) {
    WriteFile(DevicePath("/cache/recovery/last_install"), "/data/media/old.zip\n0\n");
    std::vector<Trigger> arms = {
        {L"Waiting for reboot device to recovery ...", [this] { SetState(DEV_RECOVERY_RETURNED); }},
        {L"Wait device reboot for installing ...", [this] {
             StartWipe();
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             // recovery installs the package and writes its result
             WriteFile(DevicePath("/cache/recovery/last_install"), "/data/media/ZK pkg.zip\n1\n");
         }},
    };
    for (const Trigger& arm : WipeArms())
        arms.push_back(arm);
    Handler(arms);
    device->model = kPlainModel;
    device->wipe = true;
    auto* install = new KivThreadDownloadImage(device.get(), device->imagePath, W((google / "fastboot1").string()));
    auto control = install->control();
    ASSERT_EQ(install->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_TRUE(WaitEnded(control));
    ASSERT_TRUE(WaitLogged(L"Wait device reboot into android ...")) << Dump();
    ASSERT_TRUE(WipeControl());
    ASSERT_TRUE(WaitEnded(WipeControl()));
    StopHandler();
    ASSERT_TRUE(CheckControl());
    ASSERT_TRUE(WaitEnded(CheckControl()));
    EXPECT_EQ(State(), DEV_CHECKING);
    const std::vector<std::wstring> texts = station->LogTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::wstring& t) { return t.find(L"failure") != std::wstring::npos; }),
              0);
    EXPECT_EQ(ReadFile(DevicePath("/cache/recovery/command")), "--wipe_data\n--adb_on\n");
    EXPECT_EQ(station->Row(kSerial).state, "Wiping");
    EXPECT_EQ(station->BusyCount(), 1);
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
