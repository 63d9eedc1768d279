// Device records: what the station knows of each listed USB device and the workers of its job.
#pragma once
#include <wx/dynarray.h>
#include <wx/string.h>
#include <wx/thread.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// State codes; a record holds exactly one at a time.
enum : uint32_t {
    DEV_CONNECTED = 0x1,
    DEV_DISCONNECTED = 0x2,
    DEV_RECOVERY_FLASHING = 0x4,
    DEV_RECOVERY_RETURNED = 0x8,
    DEV_WIPE_INSTALL = 0x10,
    DEV_WIPE_REBOOTED = 0x20,
    DEV_WIPE_LEFT = 0x40,
    DEV_CHECKING = 0x80,
    DEV_PASS = 0x100,
    DEV_FAIL = 0x200,
    DEV_FASTBOOT_FLASHING = 0x400,
    DEV_FASTBOOT_CHECKING = 0x2000,
    DEV_SCRIPT_FLASHING = 0x4000,
    DEV_SCRIPT_WAIT_REBOOT = 0x20000,
    DEV_SCRIPT_CHECKING = 0x40000,
    DEV_SIDELOAD_READY = 0x80000,
    DEV_SIDELOADING = 0x100000,

    DEV_ANY = 0x1FFFFF,
    DEV_REMOVABLE = DEV_DISCONNECTED | DEV_PASS | DEV_FAIL,
};

class KivDeviceWorker;
class KivThreadDownloadImage;
class KivThreadWipeData;
class KivThreadCheckResult;
class KivThreadDownloadImageForIntel;
class KivThreadCheckResultForIntel;
class KivThreadDownloadImageForScript;
class KivThreadCheckResultForScript;

// The seven worker roles, one slot each.
enum class KivSlot { Download, Wipe, Check, Fastboot, FastbootCheck, Script, ScriptCheck };
constexpr int kKivSlotCount = 7;

// A slot holding the running worker of one role, read and written as a pointer to its class.
// Only code that sees the worker class complete converts; the record itself needs only the base.
template <class T>
class KivWorkerSlot {
public:
    KivWorkerSlot& operator=(T* worker) {
        worker_ = worker;
        return *this;
    }
    KivWorkerSlot& operator=(std::nullptr_t) {
        worker_ = nullptr;
        return *this;
    }
    operator T*() const { return static_cast<T*>(worker_); }
    T* operator->() const { return static_cast<T*>(worker_); }
    explicit operator bool() const { return worker_ != nullptr; }
    friend bool operator==(const KivWorkerSlot& slot, std::nullptr_t) { return slot.worker_ == nullptr; }

    KivDeviceWorker* worker() const { return worker_; }
    void set(KivDeviceWorker* worker) { worker_ = worker; }

private:
    KivDeviceWorker* worker_ = nullptr;
};

class KivDevice {
public:
    KivDevice(const wxString& serial, const wxString& port, const wxString& hub, uint32_t state);
    // Stops every worker still in a slot and waits until each has ended (see KivDevice.cpp).
    ~KivDevice();
    KivDevice(const KivDevice&) = delete;
    KivDevice& operator=(const KivDevice&) = delete;

    // True while any slot holds a worker. Callers hold lock.
    bool IsBusy() const;

    KivDeviceWorker* WorkerIn(KivSlot slot) const;  // callers hold lock
    void SetWorker(KivSlot slot, KivDeviceWorker* worker);

    wxCriticalSection lock;
    wxString model;
    wxString listKey;
    wxString serial;
    wxString detectedSerial;
    wxString port;
    wxString hub;
    uint32_t state;
    bool wipe = true;
    wxString imagePath;
    KivWorkerSlot<KivThreadDownloadImage> downloadThread;
    KivWorkerSlot<KivThreadWipeData> wipeThread;
    KivWorkerSlot<KivThreadCheckResult> checkThread;
    KivWorkerSlot<KivThreadDownloadImageForIntel> fastbootThread;
    KivWorkerSlot<KivThreadCheckResultForIntel> fastbootCheckThread;
    KivWorkerSlot<KivThreadDownloadImageForScript> scriptThread;
    KivWorkerSlot<KivThreadCheckResultForScript> scriptCheckThread;
    bool removing = false;
    // Posted by the last worker to leave once removing is set. Shared with the workers, so a worker
    // can post it after releasing lock while the record is already on its way out.
    std::shared_ptr<wxSemaphore> idleSignal;

    // How long the destructor waits for stopped workers before it says so and waits on.
    static void SetStopWaitForTesting(unsigned milliseconds);
};

// Array of the main window's records, in the order they were added; it does not own them.
WX_DEFINE_ARRAY_PTR(KivDevice*, KivArrayDeviceBase);
class KivArrayDevice : public KivArrayDeviceBase {
public:
    // Removes the pointer without deleting the record; a pointer not in the array changes nothing.
    void Remove(KivDevice* device);
};

// The first record whose state shares a bit with mask and whose serial, port and hub equal the
// given texts (null: any), compared exactly. Callers hold the array lock and no record's lock;
// each record is read under its own lock.
bool FindDevice(KivDevice** found, const KivArrayDevice& devices, const wxString* serial,
                const wxString* port, const wxString* hub, uint32_t mask);

// The USB detector's report of one arrival or removal.
struct DeviceChangeInfo {
    DeviceChangeInfo(const wxString& vendorId, const wxString& productId, const wxString& serial,
                     const wxString& port, const wxString& hub, bool arrived);

    wxString vendorId;
    wxString productId;
    wxString serial;
    wxString port;
    wxString hub;
    bool arrived;
};
