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

#include <wx/thread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace plat {
class StopSignal;
}

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
    // cancels it and waits, holding no lock, until it has ended and cleared its slot; true.
    bool CancelPredecessor(KivSlot predecessor);

    // Sleeps (through the station clock); false when a stop request cut the sleep short.
    bool SleepSeconds(unsigned seconds);
    bool SleepMilliseconds(uint64_t milliseconds);

    KivDevice* device;

private:
    ExitCode Entry() final;

    KivSlot slot_;
    std::shared_ptr<KivWorkerControl> control_;
};
