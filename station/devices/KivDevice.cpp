#include "KivDevice.h"

#include "KivDeviceWorker.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace {
std::atomic<unsigned> stopWaitMs{10000};
}

KivDevice::KivDevice(const wxString& serial, const wxString& port, const wxString& hub, uint32_t state)
    : listKey(serial), serial(serial), port(port), hub(hub), state(state),
      idleSignal(std::make_shared<wxSemaphore>(0, 0)) {}

// A worker may hold this record's lock and the list lock for a step, and runs child processes in
// between; it is never killed. The stop request kills its child and cuts its sleeps short, so it
// reaches its end soon; its destructor clears its slot, and the last one posts idleSignal. The
// record is freed only after that, so no worker touches it afterwards.
KivDevice::~KivDevice() {
    std::vector<std::shared_ptr<KivWorkerControl>> running;
    {
        wxCriticalSectionLocker locker(lock);
        removing = true;
        for (int i = 0; i < kKivSlotCount; ++i) {
            if (KivDeviceWorker* worker = WorkerIn(static_cast<KivSlot>(i)))
                running.push_back(worker->control());
        }
    }
    if (running.empty())
        return;
    for (auto& control : running)
        control->RequestStop();
    while (idleSignal->WaitTimeout(stopWaitMs) == wxSEMA_TIMEOUT) {
        // Freeing the record now would leave a worker on freed memory: say so and keep waiting.
        std::fprintf(stderr, "ZelkFlashTool: a worker of device %s has not ended after its stop request\n",
                     static_cast<const char*>(serial.utf8_str()));
        for (auto& control : running)
            control->RequestStop();
    }
}

void KivDevice::SetStopWaitForTesting(unsigned milliseconds) { stopWaitMs = milliseconds; }

bool KivDevice::IsBusy() const {
    for (int i = 0; i < kKivSlotCount; ++i) {
        if (WorkerIn(static_cast<KivSlot>(i)))
            return true;
    }
    return false;
}

KivDeviceWorker* KivDevice::WorkerIn(KivSlot slot) const {
    switch (slot) {
    case KivSlot::Download: return downloadThread.worker();
    case KivSlot::Wipe: return wipeThread.worker();
    case KivSlot::Check: return checkThread.worker();
    case KivSlot::Fastboot: return fastbootThread.worker();
    case KivSlot::FastbootCheck: return fastbootCheckThread.worker();
    case KivSlot::Script: return scriptThread.worker();
    case KivSlot::ScriptCheck: return scriptCheckThread.worker();
    }
    return nullptr;
}

void KivDevice::SetWorker(KivSlot slot, KivDeviceWorker* worker) {
    switch (slot) {
    case KivSlot::Download: downloadThread.set(worker); break;
    case KivSlot::Wipe: wipeThread.set(worker); break;
    case KivSlot::Check: checkThread.set(worker); break;
    case KivSlot::Fastboot: fastbootThread.set(worker); break;
    case KivSlot::FastbootCheck: fastbootCheckThread.set(worker); break;
    case KivSlot::Script: scriptThread.set(worker); break;
    case KivSlot::ScriptCheck: scriptCheckThread.set(worker); break;
    }
}

void KivArrayDevice::Remove(KivDevice* device) {
    int index = Index(device);
    if (index != wxNOT_FOUND)
        RemoveAt(index);
}

bool FindDevice(KivDevice** found, const KivArrayDevice& devices, const wxString* serial,
                const wxString* port, const wxString* hub, uint32_t mask) {
    *found = nullptr;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        KivDevice* device = devices[i];
        // Workers change the state under the record's lock alone.
        wxCriticalSectionLocker locker(device->lock);
        if ((device->state & mask) == 0)
            continue;
        if (serial && device->serial != *serial)
            continue;
        if (port && device->port != *port)
            continue;
        if (hub && device->hub != *hub)
            continue;
        *found = device;
        return true;
    }
    return false;
}

DeviceChangeInfo::DeviceChangeInfo(const wxString& vendorId, const wxString& productId,
                                   const wxString& serial, const wxString& port, const wxString& hub,
                                   bool arrived)
    : vendorId(vendorId), productId(productId), serial(serial), port(port), hub(hub), arrived(arrived) {}
