// Device setup and notification on libudev: USB devices ("usb" subsystem, "usb_device" type) named
// as interface paths and instance ids, located by port and hub, with a record of every device seen
// so that a removal can still be named after its sysfs entry has gone.
#include "DeviceSetup.h"

#include "Errors.h"
#include "Text.h"

#include <libudev.h>

#include <cerrno>
#include <cwctype>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace plat {
namespace {

struct UsbDeviceEntry {
    std::wstring interfacePath;
    std::wstring instanceId;
    std::wstring location;  // empty: the device has no place on a hub (a root hub)
};

uint32_t LastErrnoCode(int fallback) { return CodeFromErrno(errno != 0 ? errno : fallback); }

std::string Text(const char* value) { return value ? std::string(value) : std::string(); }

bool SameGuid(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

// Every USB device this setup has seen. The device that the events last placed at a sysfs path
// names a removal there after the device's sysfs entry has gone; a walk fills in only paths that
// no event has named (devices attached before the registration), since a walk can run while events
// of that path are still queued and meet a later device there. Each instance id has one known
// place, as the system the design comes from keeps one device node per instance id: an arrival
// replaces the earlier place, a removal leaves the place of the device that left, marked departed.
class KnownDevices {
public:
    // Names a device from its sysfs attributes, or, once they are gone, from its uevent's
    // properties. Nothing for a device that has neither ids.
    std::optional<UsbDeviceEntry> Describe(udev_device* device) {
        uint16_t vendorId = 0, productId = 0;
        if (!ReadIds(device, &vendorId, &productId)) return std::nullopt;
        const std::string devicePath = Text(udev_device_get_devpath(device));
        UsbPortPath place;
        const bool placed = ParseUsbPortPath(devicePath, &place);
        UsbDeviceEntry entry;
        if (placed) entry.location = UsbLocationInformation(place.ports.back(), HubNumber(place.hubPath));
        const std::string serial = Text(udev_device_get_sysattr_value(device, "serial"));
        const std::wstring name =
            IsUsableUsbSerial(serial)
                ? WideFromNarrow(serial)
                : MadeUpUsbSerial(placed ? place.hubPath : devicePath, placed ? place.ports.back() : 0);
        entry.interfacePath = UsbInterfacePath(vendorId, productId, name);
        entry.instanceId = UsbInstanceId(vendorId, productId, name);
        return entry;
    }

    void Arrived(const std::string& syspath, const UsbDeviceEntry& entry) {
        std::lock_guard<std::mutex> hold(mutex_);
        seenAt_[syspath] = entry;
        places_[entry.instanceId] = Place{entry, syspath, true};
    }

    // The device that the events last placed at the sysfs path, now departed from there; nothing
    // when none is known.
    std::optional<UsbDeviceEntry> Left(const std::string& syspath) {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = seenAt_.find(syspath);
        if (it == seenAt_.end()) return std::nullopt;
        places_[it->second.instanceId] = Place{it->second, syspath, false};
        return it->second;
    }

    // After a walk of the attached devices (by sysfs path): a known place is present when the walk
    // met its device there, else departed. A path's device and an id's place are learnt from a walk
    // only when none is known: events, which come in order, move them.
    void Walked(const std::map<std::string, UsbDeviceEntry>& present) {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto& [instanceId, place] : places_) {
            auto found = present.find(place.syspath);
            place.present = found != present.end() && found->second.instanceId == instanceId;
        }
        for (const auto& [syspath, entry] : present) {
            seenAt_.try_emplace(syspath, entry);
            places_.try_emplace(entry.instanceId, Place{entry, syspath, true});
        }
    }

    // The members of a set after a walk: one per instance id among the attached devices, the one
    // at the id's known place when the walk met it there, else the first by path. With departed,
    // the ids whose known place is departed come first, so that a removal finds the place of the
    // device that left even while another device of the same id is attached.
    std::vector<UsbDeviceEntry> Members(const std::map<std::string, UsbDeviceEntry>& present, bool departed) {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<UsbDeviceEntry> members;
        if (departed)
            for (const auto& [instanceId, place] : places_)
                if (!place.present) members.push_back(place.entry);
        std::set<std::wstring> listed;
        for (const auto& [syspath, entry] : present) {
            if (!listed.insert(entry.instanceId).second) continue;
            auto known = places_.find(entry.instanceId);
            auto there = known != places_.end() ? present.find(known->second.syspath) : present.end();
            const bool atKnownPlace = there != present.end() && there->second.instanceId == entry.instanceId;
            members.push_back(atKnownPlace ? there->second : entry);
        }
        return members;
    }

private:
    struct Place {
        UsbDeviceEntry entry;
        std::string syspath;
        bool present = false;
    };

    static bool ReadIds(udev_device* device, uint16_t* vendorId, uint16_t* productId) {
        if (ParseUsbHexId(Text(udev_device_get_sysattr_value(device, "idVendor")), vendorId) &&
            ParseUsbHexId(Text(udev_device_get_sysattr_value(device, "idProduct")), productId))
            return true;
        // PRODUCT=vvvv/pppp/bcd, hexadecimal without leading zeros.
        const std::string product = Text(udev_device_get_property_value(device, "PRODUCT"));
        const size_t first = product.find('/');
        if (first == std::string::npos) return false;
        const size_t second = product.find('/', first + 1);
        return ParseUsbHexId(product.substr(0, first), vendorId) &&
               ParseUsbHexId(product.substr(first + 1, second == std::string::npos
                                                           ? std::string::npos
                                                           : second - first - 1),
                             productId);
    }

    // Hubs are numbered from 1 in the order they are first met.
    unsigned HubNumber(const std::string& hubPath) {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = hubs_.find(hubPath);
        if (it != hubs_.end()) return it->second;
        const unsigned number = static_cast<unsigned>(hubs_.size()) + 1;
        hubs_.emplace(hubPath, number);
        return number;
    }

    std::mutex mutex_;
    std::map<std::string, UsbDeviceEntry> seenAt_;  // by sysfs path, as the events left it
    std::map<std::wstring, Place> places_;          // by instance id
    std::map<std::string, unsigned> hubs_;
};

bool IsUsbDevice(udev_device* device) {
    return Text(udev_device_get_subsystem(device)) == "usb" &&
           Text(udev_device_get_devtype(device)) == "usb_device";
}

class UdevInfoSet : public DeviceInfoSet {
public:
    explicit UdevInfoSet(std::vector<UsbDeviceEntry> members) : members_(std::move(members)) {}

    bool EnumDeviceInfo(uint32_t index, DeviceInfoData* data, uint32_t* code) override {
        if (index >= members_.size()) {
            if (code) *code = kErrorNoMoreItems;
            return false;
        }
        if (data) data->index = index;
        return true;
    }

    bool GetDeviceInstanceId(const DeviceInfoData& data, std::wstring* id, uint32_t* code) override {
        const UsbDeviceEntry* member = Member(data, code);
        if (!member) return false;
        if (member->instanceId.size() + 1 > kInstanceIdRoom) {
            if (code) *code = kErrorInsufficientBuffer;
            return false;
        }
        if (id) *id = member->instanceId;
        return true;
    }

    bool GetLocationInformation(const DeviceInfoData& data, std::wstring* text,
                                uint32_t* code) override {
        const UsbDeviceEntry* member = Member(data, code);
        if (!member) return false;
        if (member->location.empty()) {
            if (code) *code = 13;  // the device has no such property
            return false;
        }
        if ((member->location.size() + 1) * 2 > kLocationInformationRoom) {
            if (code) *code = kErrorInsufficientBuffer;
            return false;
        }
        if (text) *text = member->location;
        return true;
    }

private:
    const UsbDeviceEntry* Member(const DeviceInfoData& data, uint32_t* code) const {
        if (data.index >= members_.size()) {
            if (code) *code = kErrorInvalidParameter;
            return nullptr;
        }
        return &members_[data.index];
    }

    std::vector<UsbDeviceEntry> members_;
};

class UdevNotification : public DeviceNotification {
public:
    UdevNotification(udev_monitor* monitor, KnownDevices& known, DeviceChangeHandler handler)
        : monitor_(monitor), known_(known), handler_(std::move(handler)) {}
    ~UdevNotification() override { udev_monitor_unref(monitor_); }

    int Descriptor() const override { return udev_monitor_get_fd(monitor_); }

    void Dispatch() override {
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            Deliver(device);
            udev_device_unref(device);
        }
    }

private:
    void Deliver(udev_device* device) {
        if (!IsUsbDevice(device)) return;
        const std::string action = Text(udev_device_get_action(device));
        const std::string syspath = Text(udev_device_get_syspath(device));
        std::optional<UsbDeviceEntry> entry;
        uint32_t eventCode = 0;
        if (action == "add") {
            entry = known_.Describe(device);
            if (entry) known_.Arrived(syspath, *entry);
            eventCode = DBT_DEVICEARRIVAL;
        } else if (action == "remove") {
            entry = known_.Left(syspath);
            if (!entry) entry = known_.Describe(device);
            eventCode = DBT_DEVICEREMOVECOMPLETE;
        }
        if (!entry) return;
        DeviceBroadcastInterface notice;
        notice.deviceType = DBT_DEVTYP_DEVICEINTERFACE;
        notice.classGuid = GUID_DEVINTERFACE_USB_DEVICE;
        notice.name = entry->interfacePath;
        notice.size = static_cast<uint32_t>(28 + 2 * (notice.name.size() + 1));
        handler_(eventCode, &notice);
    }

    udev_monitor* monitor_;
    KnownDevices& known_;
    DeviceChangeHandler handler_;
};

class UdevDeviceSetup : public DeviceSetup {
public:
    UdevDeviceSetup() : udev_(udev_new()) {}
    ~UdevDeviceSetup() override {
        if (udev_) udev_unref(udev_);
    }

    std::unique_ptr<DeviceInfoSet> GetClassDevs(const std::wstring& enumerator, uint32_t flags,
                                                uint32_t* code) override {
        std::map<std::string, UsbDeviceEntry> present;
        if (!WalkPresent(&present, code)) return nullptr;
        std::vector<UsbDeviceEntry> members;
        if (enumerator == L"USB") members = known_.Members(present, !(flags & DIGCF_PRESENT));
        return std::make_unique<UdevInfoSet>(std::move(members));
    }

    std::unique_ptr<DeviceNotification> RegisterDeviceNotification(const DeviceBroadcastInterface& filter,
                                                                   DeviceChangeHandler handler,
                                                                   uint32_t* code) override {
        if (filter.deviceType != DBT_DEVTYP_DEVICEINTERFACE ||
            !SameGuid(filter.classGuid, GUID_DEVINTERFACE_USB_DEVICE) || !handler) {
            if (code) *code = kErrorInvalidParameter;
            return nullptr;
        }
        if (!udev_) {
            if (code) *code = kErrorNotEnoughMemory;
            return nullptr;
        }
        errno = 0;
        udev_monitor* monitor = udev_monitor_new_from_netlink(udev_, "udev");
        if (!monitor) {
            if (code) *code = LastErrnoCode(ENODEV);
            return nullptr;
        }
        if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
            udev_monitor_enable_receiving(monitor) < 0) {
            if (code) *code = LastErrnoCode(ENODEV);
            udev_monitor_unref(monitor);
            return nullptr;
        }
        // What is attached now is known, so that its removal can be named later.
        std::map<std::string, UsbDeviceEntry> present;
        WalkPresent(&present, nullptr);
        return std::make_unique<UdevNotification>(monitor, known_, std::move(handler));
    }

private:
    bool WalkPresent(std::map<std::string, UsbDeviceEntry>* present, uint32_t* code) {
        if (!udev_) {
            if (code) *code = kErrorNotEnoughMemory;
            return false;
        }
        errno = 0;
        udev_enumerate* walk = udev_enumerate_new(udev_);
        if (!walk) {
            if (code) *code = LastErrnoCode(ENOMEM);
            return false;
        }
        if (udev_enumerate_add_match_subsystem(walk, "usb") < 0 ||
            udev_enumerate_add_match_property(walk, "DEVTYPE", "usb_device") < 0 ||
            udev_enumerate_scan_devices(walk) < 0) {
            if (code) *code = LastErrnoCode(EIO);
            udev_enumerate_unref(walk);
            return false;
        }
        udev_list_entry* item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(walk)) {
            const char* syspath = udev_list_entry_get_name(item);
            udev_device* device = udev_device_new_from_syspath(udev_, syspath);
            if (!device) continue;
            if (IsUsbDevice(device))
                if (auto entry = known_.Describe(device)) present->emplace(syspath, std::move(*entry));
            udev_device_unref(device);
        }
        udev_enumerate_unref(walk);
        known_.Walked(*present);
        return true;
    }

    udev* udev_;
    KnownDevices known_;
};

}  // namespace

std::unique_ptr<DeviceSetup> MakeUdevDeviceSetup() { return std::make_unique<UdevDeviceSetup>(); }

DeviceSetup& SystemDeviceSetup() {
    static UdevDeviceSetup setup;
    return setup;
}

}  // namespace plat
