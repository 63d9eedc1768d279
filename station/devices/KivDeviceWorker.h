// The frame every per-device worker thread follows: one slot in its KivDevice, detached, deletes
// itself at its end and clears its slot from its destructor.
//
// Two requests reach a running worker from outside, and neither deletes or kills the thread:
// - Cancel (the hand-over to the next worker of a chain): TestDestroy() turns true, nothing else;
//   the worker reaches its wait and ends. This stands where the design calls wxThread::Delete,
//   which on this platform neither waits for a detached thread nor is safe once it has ended.
// - Stop (the record is deleted): as Cancel, and the child process the worker runs is killed,
//   later child runs fail at once and SleepSeconds returns early, so the worker ends promptly.
#pragma once
#include "KivDevice.h"
#include "SettingsValues.h"

#include <wx/string.h>
#include <wx/thread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <memory>
#include <mutex>

class wxListCtrl;

namespace plat {
class StopSignal;
}
namespace RYL {
class CAdbCommander;
}

// What the workers reach besides their record: the device list with its lock, the log, the
// settings record and the adb client. Without a test station these are the running program's: the
// main window's list and listLock, KivApp::Log, the settings window's record (defaults while there
// is none) and the shared adb client.
struct KivWorkerStation {
    wxListCtrl* list = nullptr;
    wxCriticalSection* listLock = nullptr;
    std::function<void(const wxString& tag, uint32_t code, int32_t level, const wxString& text)> log;
    const SettingsValues* settings = nullptr;
    RYL::CAdbCommander* adb = nullptr;
};
// Tests: every worker uses this station from now on; null: the running program's again.
void SetWorkerStationForTesting(const KivWorkerStation* station);

// "%u seconds timeout": the failure text of a time-limited wait.
wxString KivTimeoutText(uint32_t seconds);

// The time limit of every tool (fastboot, adb, the flash script) that a worker runs: the longest of
// the settings' time-outs; at least one second.
uint32_t KivToolTimeLimitMs(const SettingsData& settings);
// How long a tool may wait for its device (fastboot's wait line with nothing after it) before it
// is stopped: RebootTimeout, the time a device takes to come back; at least one second.
uint32_t KivToolWaitLimitMs(const SettingsData& settings);
// The slowest rate at which a working device still takes an image: far below what one USB 2.0 bus
// gives eight devices flashed at once.
constexpr uint64_t kKivSlowestTransferBytesPerSecond = 512 * 1024;
// The time limit of a tool that moves bytes to the device (a flash, a push, a sideload, the flash
// script): the tools' limit, raised so that the bytes at the slowest rate always fit in it.
uint32_t KivTransferTimeLimitMs(const SettingsData& settings, uint64_t bytes);

// An error text as a row or the log shows it: the line ends that system texts and tool output
// leave at the end of a text, or before its closing parenthesis, are cut.
wxString KivTrimLineEnds(const wxString& text);

// A time limit in whole seconds of the station clock, counted from construction: passed once
// now > start + limit.
class KivDeadline {
public:
    explicit KivDeadline(uint32_t limitSeconds);
    bool Passed() const;

private:
    uint64_t end_;
};

// The requests and the end of one worker; shared, so it outlives the worker object.
class KivWorkerControl {
public:
    KivWorkerControl();
    void Cancel();
    void RequestStop();
    bool Cancelled() const;
    bool StopRequested() const;
    void MarkEnded();
    void WaitEnded();

    const std::shared_ptr<plat::StopSignal>& stopSignal() const { return stop_; }

private:
    std::shared_ptr<plat::StopSignal> stop_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable endedCondition_;
    bool ended_ = false;
};

class KivDeviceWorker : public wxThread {
public:
    // Create(), then the worker goes into its slot under the record lock, then Run(). On failure
    // the worker is not in its slot and the caller still owns it (delete it and report).
    wxThreadError Launch();

    bool TestDestroy() override;  // cancelled, stopped, or wx's own Delete()
    void Cancel() { control_->Cancel(); }
    void RequestStop() { control_->RequestStop(); }
    std::shared_ptr<KivWorkerControl> control() const { return control_; }
    KivSlot slot() const { return slot_; }

protected:
    KivDeviceWorker(KivDevice* device, KivSlot slot);
    // Clears the slot under the record lock; posts idleSignal when the record is being removed and
    // no slot is occupied any more.
    ~KivDeviceWorker() override;

    // The worker's own steps; only called with a device.
    virtual void Steps() = 0;

    // Chain opening: when the predecessor's slot is empty, false (do nothing at all). Otherwise
    // cancels it and waits, holding no lock, until it has ended and cleared its slot. True when the
    // job is still this worker's to go on with: no stop was requested (the record is not being
    // deleted) and the record is in one of the states that the hand-over expects (the predecessor
    // did not end the job, Pass or Fail, meanwhile). On false the worker ends without a trace.
    bool CancelPredecessor(KivSlot predecessor, uint32_t expectedStates);

    // Sleeps (through the station clock); false when a stop request cut the sleep short.
    bool SleepSeconds(unsigned seconds);
    bool SleepMilliseconds(uint64_t milliseconds);
    bool StopRequested() const { return control_->StopRequested(); }

    // The step shapes. The row is found by the record's listKey and log records are tagged with
    // its serial; the record lock is taken before the list lock.
    // Opening: the record's state set and shown in the row with the text; logged when asked.
    void OpeningStep(uint32_t state, const wxString& text, bool logged = false);
    // Progress: logged (code 0, info) and shown; rowState 0 keeps the State column.
    void ProgressStep(const wxString& text, uint32_t rowState = 0);
    // Progress shown in the row only.
    void RowOnlyStep(const wxString& text);
    // Progress that also sets a state the row does not show (the State column stays).
    void ProgressStepSettingState(uint32_t state, const wxString& text);
    // Failure: DEV_FAIL, logged as an error with the code. Final: DEV_PASS, logged with code 0.
    void FailureStep(const wxString& text, uint32_t code);
    void FinalStep(const wxString& text);

    // A call of one step: true on success, else its code and text.
    using StepCall = std::function<bool(int* code, std::wstring* error)>;
    // A step of the usual form: progress "<name> ...", then the call (its code starts as noCode);
    // its failure is the failure step "<name> failure(<text>)" with the call's code, or with
    // fixedCode when one is given.
    bool RunStep(const wxString& name, const StepCall& call, const uint32_t* fixedCode = nullptr, int noCode = 0);
    // Runs what moves bytes to the device with the tools' limit raised for them
    // (KivTransferTimeLimitMs), then puts the tools' limit back.
    bool WithTransferTimeLimit(uint64_t bytes, const std::function<bool()>& transfer);

    // The record's state and serial, under the record lock.
    void SetState(uint32_t state);
    uint32_t State();
    wxString Serial();
    // A copy of the settings, taken under the settings lock.
    SettingsData Settings();
    // The record itself, for code that copies what it needs later (null: none, the defaults).
    const SettingsValues* SettingsRecord();
    // The adb client (null when there is none).
    RYL::CAdbCommander* Adb();
    // A record of the worker's own beside its steps: tagged with the record's serial, no row change.
    void Log(uint32_t code, int32_t level, const wxString& text);

    // The download workers' last wait, for the device to come back: its next worker cancels this
    // one, which counts as success (so does a stop). False after RebootTimeout, with the timeout
    // text.
    bool WaitDeviceReboot(wxString* error);

    KivDevice* device;

private:
    ExitCode Entry() final;
    // Sets the record's state when given, then logs and updates the row under the list lock.
    void ShowStep(const uint32_t* recordState, const wxString& text, bool logged, uint32_t code,
                  int32_t level, uint32_t rowState);

    KivSlot slot_;
    std::shared_ptr<KivWorkerControl> control_;
};
