#include "KivDeviceWorker.h"

#include "Clock.h"
#include "Process.h"

#include <algorithm>

KivWorkerControl::KivWorkerControl() : stop_(std::make_shared<plat::StopSignal>()) {}

void KivWorkerControl::Cancel() { cancelled_ = true; }

void KivWorkerControl::RequestStop() {
    cancelled_ = true;
    stop_->RequestStop();
}

bool KivWorkerControl::Cancelled() const { return cancelled_; }

bool KivWorkerControl::StopRequested() const { return stop_->StopRequested(); }

void KivWorkerControl::MarkEnded() {
    std::lock_guard<std::mutex> guard(mutex_);
    ended_ = true;
    endedCondition_.notify_all();
}

void KivWorkerControl::WaitEnded() {
    std::unique_lock<std::mutex> guard(mutex_);
    endedCondition_.wait(guard, [this] { return ended_; });
}

KivDeviceWorker::KivDeviceWorker(KivDevice* device, KivSlot slot)
    : wxThread(wxTHREAD_DETACHED), device(device), slot_(slot),
      control_(std::make_shared<KivWorkerControl>()) {}

KivDeviceWorker::~KivDeviceWorker() {
    if (device) {
        std::shared_ptr<wxSemaphore> idle;
        {
            wxCriticalSectionLocker locker(device->lock);
            if (device->WorkerIn(slot_) == this) {
                device->SetWorker(slot_, nullptr);
                if (device->removing && !device->IsBusy())
                    idle = device->idleSignal;
            }
        }
        // After the lock is released: the waiting destructor frees the record as soon as this posts.
        if (idle)
            idle->Post();
    }
    control_->MarkEnded();
}

wxThreadError KivDeviceWorker::Launch() {
    wxThreadError error = Create();
    if (error != wxTHREAD_NO_ERROR)
        return error;
    if (device) {
        wxCriticalSectionLocker locker(device->lock);
        device->SetWorker(slot_, this);
    }
    error = Run();
    if (error != wxTHREAD_NO_ERROR && device) {
        wxCriticalSectionLocker locker(device->lock);
        if (device->WorkerIn(slot_) == this)
            device->SetWorker(slot_, nullptr);
    }
    return error;
}

bool KivDeviceWorker::TestDestroy() {
    return control_->Cancelled() || wxThread::TestDestroy();
}

wxThread::ExitCode KivDeviceWorker::Entry() {
    plat::SetThreadStopSignal(control_->stopSignal());
    if (device)
        Steps();
    plat::SetThreadStopSignal(nullptr);
    return 0;
}

bool KivDeviceWorker::CancelPredecessor(KivSlot predecessor) {
    std::shared_ptr<KivWorkerControl> other;
    {
        wxCriticalSectionLocker locker(device->lock);
        KivDeviceWorker* worker = device->WorkerIn(predecessor);
        if (!worker)
            return false;
        other = worker->control();
    }
    other->Cancel();
    other->WaitEnded();
    return true;
}

bool KivDeviceWorker::SleepSeconds(unsigned seconds) { return SleepMilliseconds(uint64_t(seconds) * 1000); }

bool KivDeviceWorker::SleepMilliseconds(uint64_t milliseconds) {
    const uint64_t end = plat::NowMs() + milliseconds;
    for (;;) {
        if (control_->StopRequested())
            return false;
        const uint64_t now = plat::NowMs();
        if (now >= end)
            return true;
        plat::SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, 50)));
    }
}
