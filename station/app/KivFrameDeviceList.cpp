// The device list: arrivals and removals reported by the USB detector, and the Remove tool.
#include "KivApp.h"
#include "KivDeviceRows.h"
#include "KivDialogs.h"
#include "KivFrame.h"
#include "KivJobHandOver.h"
#include "KivLog.h"
#include "KivThreadRemoveUIDevice.h"

#include <wx/listctrl.h>
#include <wx/msgdlg.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

// The maker's own USB vendor id: a placeholder until the maker's registered id is filled in.
constexpr wchar_t kMakerVendorId[] = L"2E17";
const wchar_t* const kAcceptedVendorIds[] = {L"05C6", L"8087", L"18D1", kMakerVendorId};

constexpr unsigned kMaxDevices = 8;

const wchar_t kFinishedRecordMessage[] =
    L"This USB port result exists in UI.\nPlease remove it from UI, and reconnect device.";

bool IsAcceptedVendorId(const wxString& vendorId) {
    for (const wchar_t* accepted : kAcceptedVendorIds) {
        if (vendorId == accepted)
            return true;
    }
    return false;
}

// A location that could not be read names no port: it never matches another record's place.
bool HasPlace(const DeviceChangeInfo& info) { return !info.port.empty() && !info.hub.empty(); }

bool IsIdleOrFinished(uint32_t state) {
    return (state & (DEV_CONNECTED | DEV_DISCONNECTED | DEV_PASS | DEV_FAIL)) != 0;
}

uint32_t StateOf(KivDevice& device) {
    wxCriticalSectionLocker locker(device.lock);
    return device.state;
}

void Log(const wxString& tag, uint32_t code, int32_t level, const wxString& text) {
    wxGetApp().Log(tag, code, level, text.wc_str());
}

std::function<wxThreadError(KivThreadRemoveUIDevice&)> runForTesting;

// The record of a row: its listKey is the row's text. Callers hold arrayLock.
KivDevice* FindByListKey(const KivArrayDevice& devices, const wxString& listKey, uint32_t mask) {
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        KivDevice* device = devices[i];
        if (device->listKey == listKey && (StateOf(*device) & mask) != 0)
            return device;
    }
    return nullptr;
}

}  // namespace

struct KivFrame::DeviceChangeOutcome {
    std::vector<wxString> messages;  // shown once arrayLock is released
};

void KivFrame::OnDeviceChangeEvent(wxCommandEvent& event) {
    std::unique_ptr<DeviceChangeInfo> info(static_cast<DeviceChangeInfo*>(event.GetClientData()));
    event.SetClientData(nullptr);
    if (!info)
        return;
    pendingDeviceChanges.push_back(std::move(info));
    // A message box of the running handler is open: its loop brought this report, which waits.
    if (handlingDeviceChanges)
        return;
    handlingDeviceChanges = true;
    while (!pendingDeviceChanges.empty()) {
        std::unique_ptr<DeviceChangeInfo> next = std::move(pendingDeviceChanges.front());
        pendingDeviceChanges.pop_front();
        DeviceChangeOutcome outcome;
        HandleDeviceChange(*next, outcome);
        next.reset();
        for (const wxString& message : outcome.messages)
            KivMessageBox(message, "Error", wxOK | wxICON_ERROR, nullptr);
    }
    handlingDeviceChanges = false;
}

void KivFrame::HandleDeviceChange(const DeviceChangeInfo& info, DeviceChangeOutcome& outcome) {
    // 2. Every report is logged, also the ones dropped next.
    Log(wxEmptyString, 0, LOG_LEVEL_INFO,
        wxString::Format("Detect: %s:%s:%s:%s:%s:%lu", info.vendorId, info.productId, info.serial, info.port,
                         info.hub, static_cast<unsigned long>(info.arrived ? 1 : 0)));
    // 3. A serial made up by the system, or another vendor's device.
    if (info.serial.Contains("&") || !IsAcceptedVendorId(info.vendorId))
        return;
    // 4. The decision runs under arrayLock; message boxes wait until it is released.
    wxCriticalSectionLocker locker(arrayLock);
    if (info.arrived)
        HandleArrival(info, outcome);
    else
        HandleRemoval(info);
}

void KivFrame::HandleArrival(const DeviceChangeInfo& info, DeviceChangeOutcome& outcome) {
    const wxString empty;
    auto reconnect = [&](KivDevice& device, bool takePlace) {
        {
            wxCriticalSectionLocker deviceLocker(device.lock);
            device.state = DEV_CONNECTED;
            if (takePlace) {
                device.port = info.port;
                device.hub = info.hub;
            }
        }
        wxCriticalSectionLocker listLocker(listLock);
        SetDeviceRowState(deviceList, device.listKey, &empty, DEV_CONNECTED, nullptr);
        Log(info.serial, 0, LOG_LEVEL_INFO, "Reconnect this device");
    };

    KivDevice* device = nullptr;
    // (a) The same device on the same port.
    if (FindDevice(&device, devices, &info.serial, &info.port, &info.hub, DEV_ANY)) {
        const uint32_t state = StateOf(*device);
        if (state == DEV_DISCONNECTED)
            reconnect(*device, false);
        else if (state == DEV_PASS || state == DEV_FAIL)
            outcome.messages.push_back(kFinishedRecordMessage);
        else if (!IsIdleOrFinished(state))
            KivJobArrival(*this, *device, KivJobLookup::SameDevice, info);
        return;
    }

    // (b) The same serial on another port.
    if (FindDevice(&device, devices, &info.serial, nullptr, nullptr, DEV_ANY)) {
        // The port holds the record of the device that came back on it: an unplugged record there goes.
        KivDevice* old = nullptr;
        if (HasPlace(info) && FindDevice(&old, devices, nullptr, &info.port, &info.hub, DEV_ANY) &&
            StateOf(*old) == DEV_DISCONNECTED) {
            {
                wxCriticalSectionLocker listLocker(listLock);
                RemoveDeviceRow(deviceList, old->listKey, nullptr);
            }
            devices.Remove(old);
            delete old;
        }
        const uint32_t state = StateOf(*device);
        if (state == DEV_DISCONNECTED) {
            reconnect(*device, true);
        } else if (state == DEV_PASS || state == DEV_FAIL) {
            outcome.messages.push_back(kFinishedRecordMessage);
        } else {
            const wxString text = wxString::Format(
                "Detect device %s on %s:%s. But the same serial number be detected on another port.", info.serial,
                info.port, info.hub);
            Log(device->serial, ERR_SERIAL_ON_OTHER_PORT, LOG_LEVEL_ERROR, text);
            outcome.messages.push_back(text);
        }
        return;
    }

    // (c) Another serial on the same port.
    if (HasPlace(info) && FindDevice(&device, devices, nullptr, &info.port, &info.hub, DEV_ANY)) {
        const uint32_t state = StateOf(*device);
        if (state == DEV_DISCONNECTED) {
            wxString oldKey;
            {
                wxCriticalSectionLocker deviceLocker(device->lock);
                device->state = DEV_CONNECTED;
                oldKey = device->listKey;
                device->serial = info.serial;
                device->listKey = info.serial;
            }
            wxCriticalSectionLocker listLocker(listLock);
            RemoveDeviceRow(deviceList, oldKey, nullptr);
            AddDeviceRow(deviceList, info.serial, 0, nullptr);
            SetDeviceRowState(deviceList, info.serial, &empty, DEV_CONNECTED, nullptr);
            Log(info.serial, 0, LOG_LEVEL_INFO, "Detected this device");
        } else if (state == DEV_PASS || state == DEV_FAIL) {
            outcome.messages.push_back(kFinishedRecordMessage);
        } else if (!IsIdleOrFinished(state)) {
            KivJobArrival(*this, *device, KivJobLookup::OtherSerial, info);
        }
        return;
    }

    // (d) A new device.
    if (devices.GetCount() >= kMaxDevices) {
        const wxString text = wxString::Format(
            "Detect device [%s], but max device count be %u.\nPlease remove some devices from list.", info.serial,
            kMaxDevices);
        Log(info.serial, 0, LOG_LEVEL_INFO, text);
        outcome.messages.push_back(text);
        return;
    }
    devices.Add(new KivDevice(info.serial, info.port, info.hub, DEV_CONNECTED));
    wxCriticalSectionLocker listLocker(listLock);
    AddDeviceRow(deviceList, info.serial, 0, nullptr);
    SetDeviceRowState(deviceList, info.serial, nullptr, DEV_CONNECTED, nullptr);
    Log(info.serial, 0, LOG_LEVEL_INFO, "Detected this device");
}

void KivFrame::HandleRemoval(const DeviceChangeInfo& info) {
    KivDevice* device = nullptr;
    if (!FindDevice(&device, devices, &info.serial, &info.port, &info.hub, DEV_ANY))
        return;
    const uint32_t state = StateOf(*device);
    if (state == DEV_CONNECTED) {
        {
            wxCriticalSectionLocker deviceLocker(device->lock);
            device->state = DEV_DISCONNECTED;
        }
        wxCriticalSectionLocker listLocker(listLock);
        SetDeviceRowState(deviceList, device->listKey, nullptr, DEV_DISCONNECTED, nullptr);
        Log(info.serial, 0, LOG_LEVEL_INFO, "Disconnect this device");
    } else if (!IsIdleOrFinished(state)) {
        KivJobRemoval(*this, *device, info);
    }
}

bool KivFrame::RemoveSelectedDevices() {
    bool failed = false;
    {
        wxCriticalSectionLocker locker(listLock);
        for (long item = deviceList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); item != -1;
             item = deviceList->GetNextItem(item, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
            auto* worker = new KivThreadRemoveUIDevice(this, deviceList->GetItemText(item, KIV_COLUMN_SERIAL));
            if (!worker->Start()) {
                delete worker;  // never ran: it counts no more
                failed = true;
                break;  // the rows after it stay
            }
        }
    }
    if (!failed)
        return true;
    // Shown once listLock is released, so the workers already started can go on meanwhile.
    const wxString text = "Cannot create remove UI device thread!";
    KivMessageBox(text, "Error", wxOK | wxICON_ERROR, nullptr);
    Log(wxEmptyString, ERR_THREAD_CREATE, LOG_LEVEL_ERROR, text);
    return false;
}

void KivRemovalWorkers::Add() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++running_;
}

void KivRemovalWorkers::Remove() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (--running_ == 0)
        ended_.notify_all();
}

int KivRemovalWorkers::Running() {
    std::lock_guard<std::mutex> hold(mutex_);
    return running_;
}

void KivRemovalWorkers::WaitUntilNone() {
    std::unique_lock<std::mutex> hold(mutex_);
    ended_.wait(hold, [this] { return running_ == 0; });
}

KivThreadRemoveUIDevice::KivThreadRemoveUIDevice(KivFrame* ownerFrame, const wxString& rowSerial)
    : wxThread(wxTHREAD_DETACHED), serial(rowSerial), frame(ownerFrame) {
    frame->removalWorkers.Add();
}

bool KivThreadRemoveUIDevice::Start() {
    // Run() makes the thread too; an object whose thread was never made is still the caller's.
    const wxThreadError started = runForTesting ? runForTesting(*this) : Run();
    return started == wxTHREAD_NO_ERROR;
}

void KivThreadRemoveUIDevice::SetRunForTesting(std::function<wxThreadError(KivThreadRemoveUIDevice&)> run) {
    runForTesting = std::move(run);
}

KivThreadRemoveUIDevice::~KivThreadRemoveUIDevice() { frame->removalWorkers.Remove(); }

wxThread::ExitCode KivThreadRemoveUIDevice::Entry() {
    wxCriticalSectionLocker arrayLocker(frame->arrayLock);
    // The row's text is the record's listKey, which stays when a job gives the record a new serial.
    KivDevice* device = FindByListKey(frame->devices, serial, DEV_REMOVABLE);
    if (!device)
        return 0;  // a device with a job running is left alone
    {
        wxCriticalSectionLocker listLocker(frame->listLock);
        if (RemoveDeviceRow(frame->deviceList, device->listKey, nullptr))
            Log(device->serial, 0, LOG_LEVEL_INFO, "User remove device from list");
        else
            Log(device->serial, 0, LOG_LEVEL_ERROR, "Remove device from list failure");
    }
    frame->devices.Remove(device);
    delete device;  // stops any worker still attached
    return 0;
}
