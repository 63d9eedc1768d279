#include "KivDeviceWorker.h"

#include "Clock.h"
#include "FastbootCommands.h"
#include "KivDeviceRows.h"
#include "KivLog.h"
#include "KivSharedServices.h"
#include "KivStationHost.h"
#include "Process.h"

#include <algorithm>
#include <optional>

namespace {

std::mutex stationMutex;
std::optional<KivWorkerStation> testStation;

// Steps made before the main window has its list still take a list lock.
wxCriticalSection spareListLock;

KivWorkerStation CurrentStation() {
    {
        std::lock_guard<std::mutex> guard(stationMutex);
        if (testStation)
            return *testStation;
    }
    KivWorkerStation station;
    KivStationHost* host = KivStationHost::Get();
    if (!host)
        return station;
    station.list = host->DeviceList();
    station.listLock = host->ListLock();
    station.settings = host->Settings();
    station.log = [host](const wxString& tag, uint32_t code, int32_t level, const wxString& text) {
        host->Log(tag, code, level, text.wc_str());
    };
    return station;
}

}  // namespace

void SetWorkerStationForTesting(const KivWorkerStation* station) {
    std::lock_guard<std::mutex> guard(stationMutex);
    if (station)
        testStation = *station;
    else
        testStation.reset();
}

wxString KivTimeoutText(uint32_t seconds) { return wxString::Format("%u seconds timeout", seconds); }

uint32_t KivToolTimeLimitMs(const SettingsData& settings) {
    const TimeoutSettings& t = settings.Timeout;
    const uint64_t seconds = std::max({t.RebootTimeout, t.InstallTimeout, t.WipeTimeout, t.IntoAndroidTimeout, 1u});
    return static_cast<uint32_t>(std::min<uint64_t>(seconds * 1000, UINT32_MAX));
}

uint32_t KivToolWaitLimitMs(const SettingsData& settings) {
    return static_cast<uint32_t>(std::min<uint64_t>(std::max(settings.Timeout.RebootTimeout, 1u) * uint64_t(1000),
                                                    UINT32_MAX));
}

uint32_t KivTransferTimeLimitMs(const SettingsData& settings, uint64_t bytes) {
    // bytes * 1000 / rate, without overflow
    const uint64_t transferMs = bytes / kKivSlowestTransferBytesPerSecond * 1000 +
                                bytes % kKivSlowestTransferBytesPerSecond * 1000 / kKivSlowestTransferBytesPerSecond;
    return static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(KivToolTimeLimitMs(settings), transferMs),
                                                    UINT32_MAX));
}

wxString KivTrimLineEnds(const wxString& text) {
    auto isLineEnd = [](wxUniChar c) { return c == '\r' || c == '\n'; };
    wxString trimmed = text;
    size_t end = trimmed.length();
    while (end > 0 && isLineEnd(trimmed[end - 1]))
        --end;
    trimmed.erase(end);
    if (!trimmed.empty() && trimmed.Last() == ')') {
        size_t close = trimmed.length() - 1;
        size_t from = close;
        while (from > 0 && isLineEnd(trimmed[from - 1]))
            --from;
        trimmed.erase(from, close - from);
    }
    return trimmed;
}

KivDeadline::KivDeadline(uint32_t limitSeconds) : end_(plat::NowMs() / 1000 + limitSeconds) {}

bool KivDeadline::Passed() const { return plat::NowMs() / 1000 > end_; }

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
    if (device) {
        // No tool may hold the job for good; a fastboot that waits for a device that has left is
        // stopped long before the time an image's transfer may take.
        const SettingsData settings = Settings();
        plat::SetThreadTimeLimit(KivToolTimeLimitMs(settings));
        plat::SetThreadWaitRule({kFastbootWaitLinePrefix, KivToolWaitLimitMs(settings)});
        Steps();
    }
    plat::SetThreadWaitRule({});
    plat::SetThreadTimeLimit(0);
    plat::SetThreadStopSignal(nullptr);
    return 0;
}

bool KivDeviceWorker::CancelPredecessor(KivSlot predecessor, uint32_t expectedStates) {
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
    // The device may have come back before the predecessor reached its wait; what it did since
    // decides whether the job is still there to take over.
    if (control_->StopRequested())
        return false;
    wxCriticalSectionLocker locker(device->lock);
    return (device->state & expectedStates) != 0;
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

void KivDeviceWorker::ShowStep(const uint32_t* recordState, const wxString& text, bool logged, uint32_t code,
                               int32_t level, uint32_t rowState) {
    const KivWorkerStation station = CurrentStation();
    wxCriticalSectionLocker record(device->lock);
    if (recordState)
        device->state = *recordState;
    wxCriticalSectionLocker list(station.listLock ? *station.listLock : spareListLock);
    const wxString shown = KivTrimLineEnds(text);
    if (logged && station.log)
        station.log(device->serial, code, level, shown);
    if (station.list)
        SetDeviceRowState(station.list, device->listKey, &shown, rowState, nullptr);
}

void KivDeviceWorker::OpeningStep(uint32_t state, const wxString& text, bool logged) {
    ShowStep(&state, text, logged, 0, LOG_LEVEL_INFO, state);
}

void KivDeviceWorker::ProgressStep(const wxString& text, uint32_t rowState) {
    ShowStep(nullptr, text, true, 0, LOG_LEVEL_INFO, rowState);
}

bool KivDeviceWorker::RunStep(const wxString& name, const StepCall& call, const uint32_t* fixedCode, int noCode) {
    ProgressStep(name + " ...");
    int code = noCode;
    std::wstring error;
    if (call(&code, &error))
        return true;
    FailureStep(wxString::Format("%s failure(%s)", name, wxString(error)),
                fixedCode ? *fixedCode : static_cast<uint32_t>(code));
    return false;
}

bool KivDeviceWorker::WithTransferTimeLimit(uint64_t bytes, const std::function<bool()>& transfer) {
    const plat::ThreadTimeLimitScope limit(KivTransferTimeLimitMs(Settings(), bytes));
    return transfer();
}

void KivDeviceWorker::RowOnlyStep(const wxString& text) { ShowStep(nullptr, text, false, 0, LOG_LEVEL_INFO, 0); }

void KivDeviceWorker::ProgressStepSettingState(uint32_t state, const wxString& text) {
    ShowStep(&state, text, true, 0, LOG_LEVEL_INFO, 0);
}

void KivDeviceWorker::FailureStep(const wxString& text, uint32_t code) {
    const uint32_t state = DEV_FAIL;
    ShowStep(&state, text, true, code, LOG_LEVEL_ERROR, state);
}

void KivDeviceWorker::FinalStep(const wxString& text) {
    const uint32_t state = DEV_PASS;
    ShowStep(&state, text, true, 0, LOG_LEVEL_INFO, state);
}

void KivDeviceWorker::SetState(uint32_t state) {
    wxCriticalSectionLocker record(device->lock);
    device->state = state;
}

uint32_t KivDeviceWorker::State() {
    wxCriticalSectionLocker record(device->lock);
    return device->state;
}

wxString KivDeviceWorker::Serial() {
    wxCriticalSectionLocker record(device->lock);
    return device->serial;
}

const SettingsValues* KivDeviceWorker::SettingsRecord() { return CurrentStation().settings; }

void KivDeviceWorker::Log(uint32_t code, int32_t level, const wxString& text) {
    const KivWorkerStation station = CurrentStation();
    if (station.log)
        station.log(Serial(), code, level, KivTrimLineEnds(text));
}

SettingsData KivDeviceWorker::Settings() {
    const KivWorkerStation station = CurrentStation();
    return station.settings ? station.settings->Copy() : SettingsData();
}

RYL::CAdbCommander* KivDeviceWorker::Adb() {
    {
        std::lock_guard<std::mutex> guard(stationMutex);
        if (testStation)
            return testStation->adb;
    }
    return GetSharedAdbCommander();
}

bool KivDeviceWorker::WaitDeviceReboot(wxString* error) {
    const uint32_t limit = Settings().Timeout.RebootTimeout;
    const KivDeadline deadline(limit);
    for (;;) {
        if (TestDestroy())  // handed over, or the record is being deleted
            return true;
        if (deadline.Passed()) {
            if (error)
                *error = KivTimeoutText(limit);
            return false;
        }
        SleepSeconds(2);
    }
}
