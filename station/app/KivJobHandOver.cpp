// The job arms of the device-change handler: the returns and departures of a device whose job is
// running move its record on and start the next worker of the chain.
#include "KivJobHandOver.h"

#include "KivApp.h"
#include "KivDeviceRows.h"
#include "KivFrame.h"
#include "KivLog.h"
#include "KivThreadCheckResult.h"
#include "KivThreadDownloadImage.h"
#include "KivThreadWipeData.h"

#include <memory>
#include <mutex>

namespace {

std::mutex starterMutex;
std::function<bool(KivDevice&, KivSlot)> testStarter;

constexpr wchar_t kWipeStartFailure[] = L"Cannot create wipe data thread";
constexpr wchar_t kCheckStartFailure[] = L"Cannot create check result thread";

// The next worker that an arm starts.
enum class NextWorker { None, Wipe, Check, FastbootCheck, ScriptCheck };

// Starts the worker under the record's lock (held by the caller): the worker takes its slot and
// runs. False when its thread cannot be made; the slot then stays empty.
template <class Worker>
bool Start(KivDevice& device) {
    std::unique_ptr<Worker> worker(new Worker(&device));
    {
        std::lock_guard<std::mutex> guard(starterMutex);
        if (testStarter)
            return testStarter(device, worker->slot());
    }
    if (worker->Launch() != wxTHREAD_NO_ERROR)
        return false;
    worker.release();  // a running detached worker deletes itself
    return true;
}

bool StartNext(KivDevice& device, NextWorker next) {
    switch (next) {
    case NextWorker::None: return true;
    case NextWorker::Wipe: return Start<KivThreadWipeData>(device);
    case NextWorker::Check: return Start<KivThreadCheckResult>(device);
    case NextWorker::FastbootCheck: return Start<KivThreadCheckResultForIntel>(device);
    case NextWorker::ScriptCheck: return Start<KivThreadCheckResultForScript>(device);
    }
    return true;
}

// The check that follows the state, when its slot is empty; None otherwise.
NextWorker CheckFor(const KivDevice& device) {
    switch (device.state) {
    case DEV_WIPE_LEFT: return device.checkThread ? NextWorker::None : NextWorker::Check;
    case DEV_FASTBOOT_FLASHING: return device.fastbootCheckThread ? NextWorker::None : NextWorker::FastbootCheck;
    case DEV_SCRIPT_WAIT_REBOOT: return device.scriptCheckThread ? NextWorker::None : NextWorker::ScriptCheck;
    default: return NextWorker::None;
    }
}

// A job whose next worker cannot run fails at once.
void FailJob(KivFrame& frame, KivDevice& device, const wxString& text) {
    wxString serial;
    {
        wxCriticalSectionLocker locker(device.lock);
        device.state = DEV_FAIL;
        serial = device.serial;
    }
    {
        wxCriticalSectionLocker locker(frame.listLock);
        SetDeviceRowState(frame.deviceList, device.listKey, &text, DEV_FAIL, nullptr);
    }
    if (KivApp* app = KivApp::Get())
        app->Log(serial, ERR_THREAD_CREATE, LOG_LEVEL_ERROR, text.wc_str());
}

// Lookup (a): the same device came back on the same port. Callers hold the record's lock.
NextWorker SameDeviceArrival(KivDevice& device, const DeviceChangeInfo& info) {
    switch (device.state) {
    case DEV_RECOVERY_FLASHING:
        device.state = DEV_RECOVERY_RETURNED;
        return NextWorker::None;
    case DEV_RECOVERY_RETURNED:
        if (device.downloadThread && device.downloadThread->sideload) {
            device.state = DEV_SIDELOAD_READY;
            return NextWorker::None;
        }
        return device.wipeThread ? NextWorker::None : NextWorker::Wipe;
    case DEV_SIDELOAD_READY:
        // One wipe worker per job: a return while it has not yet moved the state on starts none.
        return device.wipeThread ? NextWorker::None : NextWorker::Wipe;
    case DEV_SIDELOADING:
        device.state = DEV_WIPE_INSTALL;
        return NextWorker::None;
    case DEV_WIPE_INSTALL:
        device.state = DEV_WIPE_REBOOTED;
        return NextWorker::None;
    default: {
        const NextWorker check = CheckFor(device);
        if (check != NextWorker::None)
            device.detectedSerial = info.serial;
        return check;
    }
    }
}

// Lookup (c): the record's port and hub, another serial. Callers hold the record's lock.
NextWorker OtherSerialArrival(KivDevice& device, const DeviceChangeInfo& info) {
    switch (device.state) {
    case DEV_RECOVERY_FLASHING:
        device.serial = info.serial;
        device.state = DEV_RECOVERY_RETURNED;
        return NextWorker::None;
    case DEV_WIPE_INSTALL:
        device.serial = info.serial;
        device.state = DEV_WIPE_REBOOTED;
        return NextWorker::None;
    default: {
        const NextWorker check = CheckFor(device);
        if (check != NextWorker::None)
            device.detectedSerial = info.serial;
        return check;
    }
    }
}

}  // namespace

bool KivJobArrivalArm(KivDevice& device, KivJobLookup lookup, const DeviceChangeInfo& info, wxString* failureText) {
    NextWorker next = NextWorker::None;
    bool started = true;
    {
        // The test of the state and the slots, the change and the start in one hold, so that no
        // worker's own change comes between and no worker in a slot frees itself meanwhile.
        wxCriticalSectionLocker locker(device.lock);
        next = lookup == KivJobLookup::SameDevice ? SameDeviceArrival(device, info) : OtherSerialArrival(device, info);
        started = StartNext(device, next);
    }
    if (!started && failureText)
        *failureText = next == NextWorker::Wipe ? kWipeStartFailure : kCheckStartFailure;
    return started;
}

void KivJobArrival(KivFrame& frame, KivDevice& device, KivJobLookup lookup, const DeviceChangeInfo& info) {
    wxString failure;
    if (!KivJobArrivalArm(device, lookup, info, &failure))
        FailJob(frame, device, failure);
}

void KivJobRemoval(KivFrame&, KivDevice& device, const DeviceChangeInfo&) { KivJobRemovalArm(device); }

void KivJobRemovalArm(KivDevice& device) {
    wxCriticalSectionLocker locker(device.lock);
    // The device left for the wipe itself; its next return starts the result check.
    if (device.state == DEV_WIPE_REBOOTED)
        device.state = DEV_WIPE_LEFT;
}

void SetWorkerStarterForTesting(std::function<bool(KivDevice&, KivSlot)> starter) {
    std::lock_guard<std::mutex> guard(starterMutex);
    testStarter = std::move(starter);
}
