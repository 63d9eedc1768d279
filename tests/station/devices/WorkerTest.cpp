#include "KivDevice.h"
#include "KivDeviceWorker.h"
#include "KivModels.h"
#include "Errors.h"
#include "KivLog.h"
#include "Clock.h"
#include "Process.h"
#include "WorkerStation.h"
#include "ThreadCount.h"

#include <gtest/gtest.h>
#include <wx/init.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// What a worker saw; outlives the worker, which deletes itself.
struct Trace {
    std::atomic<bool> started{false};
    std::atomic<bool> stepsRan{false};
    std::atomic<bool> waitEnded{false};
    std::atomic<bool> sleptToTheEnd{false};
    std::atomic<bool> childOk{false};
    std::atomic<uint32_t> childCode{0};
    std::atomic<bool> handedOver{false};
};

// Runs a shell command the way a worker runs its tools, between two steps that take the record
// lock and the list lock.
class ChildWorker : public KivDeviceWorker {
public:
    // okState: the state that a child which ran to its end leaves (a failed run leaves DEV_FAIL).
    ChildWorker(KivDevice* device, KivSlot slot, wxCriticalSection* listLock, std::string command,
                std::shared_ptr<Trace> trace, bool waitForCancel = false, uint32_t okState = DEV_PASS)
        : KivDeviceWorker(device, slot), listLock(listLock), command(std::move(command)), trace(std::move(trace)),
          waitForCancel(waitForCancel), okState(okState) {}

    void Steps() override {
        trace->stepsRan = true;
        {
            wxCriticalSectionLocker record(device->lock);
            device->state = DEV_SCRIPT_FLASHING;
            wxCriticalSectionLocker list(*listLock);
        }
        trace->started = true;
        plat::RunRequest request;
        request.program = "/bin/sh";
        request.argv = {"sh", "-c", command};
        const plat::RunResult result = plat::RunCaptured(request);
        trace->childOk = result.ok;
        trace->childCode = result.code;
        {
            wxCriticalSectionLocker record(device->lock);
            device->state = result.ok ? okState : DEV_FAIL;
            wxCriticalSectionLocker list(*listLock);
        }
        if (waitForCancel) {  // like a download worker waiting for its device to come back
            while (!TestDestroy())
                SleepMilliseconds(20);
            trace->waitEnded = true;
        }
    }

    wxCriticalSection* listLock;
    std::string command;
    std::shared_ptr<Trace> trace;
    bool waitForCancel;
    uint32_t okState;
};

class SleepWorker : public KivDeviceWorker {
public:
    SleepWorker(KivDevice* device, KivSlot slot, std::shared_ptr<Trace> trace)
        : KivDeviceWorker(device, slot), trace(std::move(trace)) {}
    void Steps() override {
        trace->started = true;
        trace->sleptToTheEnd = SleepSeconds(600);
    }
    std::shared_ptr<Trace> trace;
};

// Follows a predecessor in a chain; takes the job over in the states of its hand-over.
class NextWorker : public KivDeviceWorker {
public:
    NextWorker(KivDevice* device, KivSlot slot, KivSlot predecessor, std::shared_ptr<Trace> trace,
               uint32_t handOverStates = DEV_FASTBOOT_FLASHING | DEV_SCRIPT_WAIT_REBOOT)
        : KivDeviceWorker(device, slot), predecessor(predecessor), trace(std::move(trace)),
          handOverStates(handOverStates) {}
    void Steps() override {
        trace->started = true;
        if (!CancelPredecessor(predecessor, handOverStates))
            return;
        trace->handedOver = true;
        wxCriticalSectionLocker record(device->lock);
        device->state = DEV_SCRIPT_CHECKING;
    }
    KivSlot predecessor;
    std::shared_ptr<Trace> trace;
    uint32_t handOverStates;
};

bool WaitFor(const std::atomic<bool>& flag, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = Clock::now() + limit;
    while (!flag && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return flag;
}

class Workers : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = (fs::path(ZELK_TEST_WORK_DIR) / "worker-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        KivDevice::SetStopWaitForTesting(20000);
        threadsBefore = ThreadCount();
    }
    // A worker's thread still runs wx's own clean-up for a moment after its destructor has
    // signalled its end; let it finish before wx itself is shut down.
    void TearDown() override { WaitForThreadCount(threadsBefore); }

    // Reads the pid that the child wrote, waiting for it.
    pid_t ChildPid(const std::string& file) {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < end) {
            std::ifstream in(file);
            pid_t pid = 0;
            if (in >> pid && pid > 0)
                return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
    }

    wxInitializer wx;
    size_t threadsBefore = 0;
    std::string dir;
    wxCriticalSection listLock;
};

TEST_F(Workers, DeletingARecordStopsAWorkerBlockedInAChild) {
    auto* device = new KivDevice("BLOCKED", "1", "1", DEV_CONNECTED);
    auto trace = std::make_shared<Trace>();
    const std::string pidFile = dir + "/child.pid";
    auto* worker = new ChildWorker(device, KivSlot::ScriptCheck, &listLock,
                                   "echo $$ > '" + pidFile + ".tmp' && mv '" + pidFile + ".tmp' '" + pidFile +
                                       "' && exec sleep 600",
                                   trace);
    const std::shared_ptr<KivWorkerControl> control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    {
        wxCriticalSectionLocker locker(device->lock);
        EXPECT_EQ(device->scriptCheckThread.worker(), worker);
        EXPECT_TRUE(device->IsBusy());
    }
    const pid_t child = ChildPid(pidFile);
    ASSERT_GT(child, 0);
    ASSERT_EQ(kill(child, 0), 0) << "the child runs";

    const auto start = Clock::now();
    delete device;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60)) << "deletion must not wait on the hung tool";

    control->WaitEnded();  // already ended: returns at once
    EXPECT_FALSE(trace->childOk);
    EXPECT_EQ(trace->childCode, plat::kErrorCancelled);
    EXPECT_EQ(kill(child, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the child was killed and reaped";
    EXPECT_TRUE(listLock.TryEnter()) << "no lock is left held";
    listLock.Leave();
}

TEST_F(Workers, DeletingARecordCutsSleepsShortAndWaitsForEveryWorker) {
    auto* device = new KivDevice("SLEEPY", "1", "1", DEV_CONNECTED);
    auto first = std::make_shared<Trace>();
    auto second = std::make_shared<Trace>();
    auto* a = new SleepWorker(device, KivSlot::Fastboot, first);
    auto* b = new SleepWorker(device, KivSlot::FastbootCheck, second);
    const auto controlA = a->control();
    const auto controlB = b->control();
    ASSERT_EQ(a->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_EQ(b->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_TRUE(WaitFor(first->started));
    ASSERT_TRUE(WaitFor(second->started));

    const auto start = Clock::now();
    delete device;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
    EXPECT_FALSE(first->sleptToTheEnd);
    EXPECT_FALSE(second->sleptToTheEnd);
    controlA->WaitEnded();
    controlB->WaitEnded();
}

// Ends only after it has touched its record once more, whatever it is asked.
class StubbornWorker : public KivDeviceWorker {
public:
    StubbornWorker(KivDevice* device, std::shared_ptr<Trace> trace)
        : KivDeviceWorker(device, KivSlot::Wipe), trace(std::move(trace)) {}
    void Steps() override {
        trace->started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        wxCriticalSectionLocker record(device->lock);
        device->state = DEV_FAIL;
        trace->waitEnded = true;
    }
    std::shared_ptr<Trace> trace;
};

TEST_F(Workers, ASlowWorkerOutlastingTheWaitStillEndsBeforeTheRecordGoes) {
    KivDevice::SetStopWaitForTesting(20);
    auto* device = new KivDevice("SLOW", "1", "1", DEV_CONNECTED);
    auto trace = std::make_shared<Trace>();
    auto* worker = new StubbornWorker(device, trace);
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_TRUE(WaitFor(trace->started));
    delete device;  // a worker touching the freed record would be caught by the address sanitizer
    EXPECT_TRUE(trace->waitEnded);
}

TEST_F(Workers, DeletingAnIdleRecordOnlyReleasesIt) {
    auto* device = new KivDevice("IDLE", "1", "1", DEV_PASS);
    const auto start = Clock::now();
    delete device;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
}

// A successor started while its predecessor still works (the device came back early) waits for
// it; it takes the job over only when the predecessor reached its hand-over, and never turns a job
// that the predecessor ended into another verdict.
TEST_F(Workers, HandOverWaitsForThePredecessorWithoutStoppingItsChild) {
    const struct {
        const char* what;
        const char* command;
        uint32_t okState;
        bool handedOver;
        uint32_t finalState;
    } cases[] = {
        {"reached its wait", "sleep 0.5", DEV_SCRIPT_WAIT_REBOOT, true, DEV_SCRIPT_CHECKING},
        {"ended the job with Pass", "sleep 0.5", DEV_PASS, false, DEV_PASS},
        {"failed", "sleep 0.5", DEV_FAIL, false, DEV_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KivDevice device("CHAIN", "1", "1", DEV_CONNECTED);
        auto first = std::make_shared<Trace>();
        auto* predecessor = new ChildWorker(&device, KivSlot::Script, &listLock, c.command, first, true, c.okState);
        ASSERT_EQ(predecessor->Launch(), wxTHREAD_NO_ERROR);
        ASSERT_TRUE(WaitFor(first->started));

        auto second = std::make_shared<Trace>();
        auto* next = new NextWorker(&device, KivSlot::ScriptCheck, KivSlot::Script, second, DEV_SCRIPT_WAIT_REBOOT);
        const auto nextControl = next->control();
        ASSERT_EQ(next->Launch(), wxTHREAD_NO_ERROR);
        nextControl->WaitEnded();

        EXPECT_EQ(second->handedOver, c.handedOver);
        EXPECT_TRUE(first->childOk) << "the hand-over lets the predecessor's step finish";
        EXPECT_TRUE(first->waitEnded);
        wxCriticalSectionLocker locker(device.lock);
        EXPECT_EQ(device.scriptThread.worker(), nullptr) << "the predecessor cleared its slot before the successor went on";
        EXPECT_EQ(device.state, c.finalState);
        EXPECT_FALSE(device.IsBusy());
    }
}

// The record is deleted while a successor waits for its predecessor: it ends without a step.
TEST_F(Workers, ASuccessorWaitingWhenItsRecordGoesEndsSilently) {
    auto* device = new KivDevice("GOING", "1", "1", DEV_FASTBOOT_FLASHING);
    auto first = std::make_shared<Trace>();
    auto* predecessor =
        new ChildWorker(device, KivSlot::Fastboot, &listLock, "exec sleep 600", first, true, DEV_FASTBOOT_FLASHING);
    ASSERT_EQ(predecessor->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_TRUE(WaitFor(first->started));
    auto second = std::make_shared<Trace>();
    auto* next = new NextWorker(device, KivSlot::FastbootCheck, KivSlot::Fastboot, second);
    const auto nextControl = next->control();
    ASSERT_EQ(next->Launch(), wxTHREAD_NO_ERROR);
    ASSERT_TRUE(WaitFor(second->started));
    delete device;
    nextControl->WaitEnded();
    EXPECT_FALSE(second->handedOver);
}

TEST_F(Workers, NextWorkerWithAnEmptyPredecessorSlotDoesNothing) {
    KivDevice device("ALONE", "1", "1", DEV_PASS);
    auto trace = std::make_shared<Trace>();
    auto* next = new NextWorker(&device, KivSlot::Check, KivSlot::Wipe, trace);
    const auto control = next->control();
    ASSERT_EQ(next->Launch(), wxTHREAD_NO_ERROR);
    control->WaitEnded();
    EXPECT_TRUE(trace->started);
    EXPECT_FALSE(trace->handedOver);
    EXPECT_EQ(device.state, DEV_PASS);
    wxCriticalSectionLocker locker(device.lock);
    EXPECT_FALSE(device.IsBusy());
}

TEST_F(Workers, WorkerWithoutADeviceEndsAtOnce) {
    auto trace = std::make_shared<Trace>();
    auto* worker = new ChildWorker(nullptr, KivSlot::Download, &listLock, "exit 0", trace);
    const auto control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    control->WaitEnded();
    EXPECT_FALSE(trace->stepsRan);
}

// Goes through every step shape once, then fails or passes.
class StepsWorker : public KivDeviceWorker {
public:
    StepsWorker(KivDevice* device, bool pass) : KivDeviceWorker(device, KivSlot::Script), pass(pass) {}
    void Steps() override {
        OpeningStep(DEV_SCRIPT_FLASHING, "Check image model ...");
        ProgressStep("Unzip image ...");
        RowOnlyStep("Row only ...");
        ProgressStep("Shown as wiping ...", DEV_WIPE_INSTALL);
        ProgressStepSettingState(DEV_SCRIPT_WAIT_REBOOT, "Wait device reboot ...");
        if (State() != DEV_SCRIPT_WAIT_REBOOT)
            return;
        if (pass)
            FinalStep("Flash image successfully (" + Serial() + ")");
        else
            FailureStep("Unzip image failure(broken)", 0x4028);
    }
    bool pass;
};

TEST_F(Workers, StepShapesReachTheRowTheLogAndTheRecord) {
    for (const bool pass : {true, false}) {
        SCOPED_TRACE(pass ? "pass" : "fail");
        WorkerStation station;
        KivDevice device("SER1", "1", "1", DEV_CONNECTED);
        device.listKey = "KEY1";
        device.serial = "SER2";  // the device came back under another serial
        station.AddRow("KEY1", DEV_CONNECTED);
        auto* worker = new StepsWorker(&device, pass);
        const auto control = worker->control();
        ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        control->WaitEnded();

        EXPECT_EQ(device.state, pass ? DEV_PASS : DEV_FAIL);
        const std::vector<LoggedRecord> log = station.Log();
        ASSERT_EQ(log.size(), 4u) << "the opening and the row-only step make no record";
        EXPECT_EQ(log[0].text, L"Unzip image ...");
        EXPECT_EQ(log[1].text, L"Shown as wiping ...");
        EXPECT_EQ(log[2].text, L"Wait device reboot ...");
        for (const LoggedRecord& record : log)
            EXPECT_EQ(record.tag, L"SER2");
        EXPECT_EQ(log[0].code, 0u);
        EXPECT_EQ(log[0].level, LOG_LEVEL_INFO);
        if (pass) {
            EXPECT_EQ(log[3].text, L"Flash image successfully (SER2)");
            EXPECT_EQ(log[3].code, 0u);
            EXPECT_EQ(log[3].level, LOG_LEVEL_INFO);
        } else {
            EXPECT_EQ(log[3].text, L"Unzip image failure(broken)");
            EXPECT_EQ(log[3].code, 0x4028u);
            EXPECT_EQ(log[3].level, LOG_LEVEL_ERROR);
        }
        const std::vector<std::wstring> shown = station.Descriptions();
        ASSERT_EQ(shown.size(), 6u);
        EXPECT_EQ(shown[0], L"Check image model ...");
        EXPECT_EQ(shown[2], L"Row only ...");
        EXPECT_EQ(shown[5], log[3].text);
        const KivDeviceRows::Row row = station.Row("KEY1");
        EXPECT_EQ(row.state, pass ? "Pass" : "Fail");
        EXPECT_EQ(row.description, log[3].text);
        EXPECT_EQ(station.BusyCount(), 0) << "one job started and ended";
    }
}

// The line ends that system texts and tool output bring along never reach a row or the log.
TEST_F(Workers, FailureTextsLoseTheLineEndsOfTheirErrorText) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"Flash image failure(The operation was cancelled.\r\n)", "Flash image failure(The operation was cancelled.)"},
        {"Read IMEI failure(300 seconds timeout, not found\n\n)", "Read IMEI failure(300 seconds timeout, not found)"},
        {"Sideload image failure(line one\r\nline two\r\n)", "Sideload image failure(line one\r\nline two)"},
        {"Generate the command file failure!\r\n", "Generate the command file failure!"},
        {"Check battery capacity ... 85", "Check battery capacity ... 85"},
        {"()", "()"},
        {"\r\n", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KivTrimLineEnds(c.text), c.shown) << c.text;

    WorkerStation station;
    KivDevice device("CRLF", "1", "1", DEV_CONNECTED);
    device.listKey = "CRLF";
    station.AddRow("CRLF", DEV_CONNECTED);
    class FailingWorker : public KivDeviceWorker {
    public:
        explicit FailingWorker(KivDevice* device) : KivDeviceWorker(device, KivSlot::Fastboot) {}
        void Steps() override {
            OpeningStep(DEV_FASTBOOT_FLASHING, "Check image model ...");
            Log(0, LOG_LEVEL_ERROR, "Read IMEI: not found\r\n");
            FailureStep("Flash image failure(The operation was cancelled.\r\n)", plat::kErrorCancelled);
        }
    };
    auto* worker = new FailingWorker(&device);
    const auto control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    control->WaitEnded();
    EXPECT_EQ(station.LogTexts(), (std::vector<std::wstring>{L"Read IMEI: not found",
                                                             L"Flash image failure(The operation was cancelled.)"}));
    EXPECT_EQ(station.Row("CRLF").description, "Flash image failure(The operation was cancelled.)");
}

// Waits for its device to come back.
class RebootWaitWorker : public KivDeviceWorker {
public:
    RebootWaitWorker(KivDevice* device, std::shared_ptr<Trace> trace)
        : KivDeviceWorker(device, KivSlot::Fastboot), trace(std::move(trace)) {}
    void Steps() override {
        trace->started = true;
        wxString text = "untouched";
        trace->handedOver = WaitDeviceReboot(&text);
        error = text.ToStdWstring();
        trace->waitEnded = true;
    }
    std::shared_ptr<Trace> trace;
    static inline std::wstring error;
};

TEST_F(Workers, RebootWaitEndsByTheHandOverOrAfterItsLimit) {
    plat::SetTimeScaleForTesting(200);
    {
        WorkerStation station;
        station.settings.Timeout.RebootTimeout = 3;
        KivDevice device("WAIT", "1", "1", DEV_FASTBOOT_FLASHING);
        auto trace = std::make_shared<Trace>();
        auto* worker = new RebootWaitWorker(&device, trace);
        const auto control = worker->control();
        ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        control->WaitEnded();
        EXPECT_FALSE(trace->handedOver);
        EXPECT_EQ(RebootWaitWorker::error, L"3 seconds timeout");
    }
    {
        WorkerStation station;
        station.settings.Timeout.RebootTimeout = 100000;
        KivDevice device("WAIT", "1", "1", DEV_FASTBOOT_FLASHING);
        auto trace = std::make_shared<Trace>();
        auto* worker = new RebootWaitWorker(&device, trace);
        ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        ASSERT_TRUE(WaitFor(trace->started));
        auto next = std::make_shared<Trace>();
        auto* successor = new NextWorker(&device, KivSlot::FastbootCheck, KivSlot::Fastboot, next);
        const auto control = successor->control();
        ASSERT_EQ(successor->Launch(), wxTHREAD_NO_ERROR);
        control->WaitEnded();
        EXPECT_TRUE(next->handedOver);
        EXPECT_TRUE(trace->handedOver);
        EXPECT_EQ(device.state, DEV_SCRIPT_CHECKING) << "the waiting worker left the state alone";
    }
    plat::SetTimeScaleForTesting(1);
}

TEST(ModelLists, HoldOnlyWholeCodesInTheirExactCase) {
    const wchar_t list[] = L",AB1,AB12,cd,";
    EXPECT_TRUE(ModelListHolds(list, L"AB1"));
    EXPECT_TRUE(ModelListHolds(list, L"AB12"));
    EXPECT_FALSE(ModelListHolds(list, L"AB"));
    EXPECT_FALSE(ModelListHolds(list, L"B1"));
    EXPECT_FALSE(ModelListHolds(list, L"CD"));
    EXPECT_FALSE(ModelListHolds(list, L""));
    EXPECT_FALSE(ModelListHolds(FormatUserdataModels, L"AB1"));
}

}  // namespace

// A tool that moves an image gets the tools' limit, or longer where the image at the slowest rate
// of a working device needs more: a working flash is never cut off at a time-out of the settings.
TEST(ToolTimeLimits, ATransferGetsTheTimeItsBytesNeed) {
    SettingsData settings;
    settings.Timeout = {60, 5, 5, 5};  // the tools' limit: 60 s
    const uint64_t rate = kKivSlowestTransferBytesPerSecond;
    const struct {
        uint64_t bytes;
        uint32_t ms;
    } cases[] = {
        {0, 60000},
        {rate * 60, 60000},
        {rate * 61, 61000},                      // past it: longer
        {rate * 3600, 3600000},                  // an image of 1.8 GiB: an hour
        {uint64_t(8) << 30, 16384000},           // 8 GiB
        {UINT64_MAX, UINT32_MAX},                // capped
    };
    for (const auto& c : cases)
        EXPECT_EQ(KivTransferTimeLimitMs(settings, c.bytes), c.ms) << c.bytes;
    settings.Timeout = {0, 0, 0, 0};
    EXPECT_EQ(KivTransferTimeLimitMs(settings, 0), 1000u) << "at least a second, as every tool";
}
