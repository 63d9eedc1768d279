// USB device setup and notification: sets of the devices an enumerator knows, their instance ids
// and location information, and notices of device interfaces that arrive or leave. Implemented on
// libudev (UdevDeviceSetup.cpp); callers see only the interfaces below, so tests can stand in.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// Interface class of USB devices, as notices and filters name it.
inline constexpr wchar_t GUID_DEVINTERFACE_USB_DEVICE[] = L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// Event codes of a device-change notice.
enum : uint32_t {
    DBT_DEVICEARRIVAL = 0x8000,
    DBT_DEVICEQUERYREMOVE = 0x8001,
    DBT_DEVICEQUERYREMOVEFAILED = 0x8002,
    DBT_DEVICEREMOVEPENDING = 0x8003,
    DBT_DEVICEREMOVECOMPLETE = 0x8004,
};

// Device types of a notice's header.
enum : uint32_t {
    DBT_DEVTYP_OEM = 0,
    DBT_DEVTYP_VOLUME = 2,
    DBT_DEVTYP_PORT = 3,
    DBT_DEVTYP_DEVICEINTERFACE = 5,
};

// Size of an interface filter as registrations give it.
inline constexpr uint32_t kDeviceInterfaceFilterSize = 32;

// Header of a device-change notice; deviceType tells which record it begins.
struct DeviceBroadcastHeader {
    uint32_t size = 0;
    uint32_t deviceType = 0;
};

// A device-interface notice (and registration filter): the interface class and, in a notice, the
// interface path (for a USB device "\\?\USB#VID_vvvv&PID_pppp#serial#{class}").
struct DeviceBroadcastInterface : DeviceBroadcastHeader {
    std::wstring classGuid;
    std::wstring name;
};

// Flags of a device set.
enum : uint32_t {
    DIGCF_PRESENT = 0x2,     // only the devices attached now
    DIGCF_ALLCLASSES = 0x4,  // devices of every class
};

// Room of the readers below, as their callers give it.
inline constexpr size_t kInstanceIdRoom = 520;        // characters, terminator included
inline constexpr size_t kLocationInformationRoom = 520;  // bytes of UTF-16 text, terminator included

// One member of a device set.
struct DeviceInfoData {
    uint32_t index = 0;
};

// A snapshot of the devices of one enumerator.
class DeviceInfoSet {
public:
    virtual ~DeviceInfoSet() = default;
    // The member at index; false past the end (code 259, no more items).
    virtual bool EnumDeviceInfo(uint32_t index, DeviceInfoData* data, uint32_t* code) = 0;
    // The member's instance id ("USB\VID_vvvv&PID_pppp\SERIAL", upper case).
    virtual bool GetDeviceInstanceId(const DeviceInfoData& data, std::wstring* id, uint32_t* code) = 0;
    // The member's location information ("Port_#pppp.Hub_#hhhh").
    virtual bool GetLocationInformation(const DeviceInfoData& data, std::wstring* text,
                                        uint32_t* code) = 0;
};

// Called with a notice's event code and header; the header lives only for the call.
using DeviceChangeHandler = std::function<void(uint32_t eventCode, const DeviceBroadcastHeader* header)>;

// A registration for notices. Whoever holds it watches Descriptor() for input and calls Dispatch(),
// which hands every pending arrival and removal to the handler. Ends when destroyed.
class DeviceNotification {
public:
    virtual ~DeviceNotification() = default;
    virtual int Descriptor() const = 0;  // -1: nothing to watch
    virtual void Dispatch() = 0;
};

class DeviceSetup {
public:
    virtual ~DeviceSetup() = default;
    // The devices of an enumerator ("USB"): with DIGCF_PRESENT those attached now, without it also
    // those that were attached before and have left. One member per instance id at its latest
    // place; a departed device's member, at the place it left, comes first. Null with the code on
    // failure.
    virtual std::unique_ptr<DeviceInfoSet> GetClassDevs(const std::wstring& enumerator, uint32_t flags,
                                                        uint32_t* code) = 0;
    // Registers for notices of one interface class; null with the code on failure.
    virtual std::unique_ptr<DeviceNotification> RegisterDeviceNotification(
        const DeviceBroadcastInterface& filter, DeviceChangeHandler handler, uint32_t* code) = 0;
};

// The system's device setup (libudev), made on first use.
DeviceSetup& SystemDeviceSetup();
// A device setup of its own (libudev), with its own record of departed devices.
std::unique_ptr<DeviceSetup> MakeUdevDeviceSetup();

// --- How the udev layer names devices (pure; exposed for tests) ---

// "\\?\USB#VID_%04X&PID_%04X#<serial>#{A5DCBF10-...}": the serial exactly as given.
std::wstring UsbInterfacePath(uint16_t vendorId, uint16_t productId, const std::wstring& serial);
// "USB\VID_%04X&PID_%04X\<SERIAL>", upper case.
std::wstring UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::wstring& serial);
// "Port_#%04u.Hub_#%04u".
std::wstring UsbLocationInformation(unsigned port, unsigned hub);

// True when a device's serial can name it: 1 to 255 characters from 0x20 to 0x7E, none of them
// "#", "\" or ",". Other serials are replaced by a made-up id.
bool IsUsableUsbSerial(const std::string& serial);
// The id the system makes up for a device without a usable serial: "5&%08X&0&%u" from its hub's
// path and its port; it always contains "&".
std::wstring MadeUpUsbSerial(const std::string& hubPath, unsigned port);

// A USB device's place on the bus, from its sysfs path ("/devices/.../usb1/1-1/1-1.4").
struct UsbPortPath {
    unsigned bus = 0;
    std::vector<unsigned> ports;  // from the root hub down; the last is the device's own port
    std::string hubPath;          // the path of the hub it hangs on
};
// False for a path whose last element is not "<bus>-<port>[.<port>...]" (root hubs, interfaces).
bool ParseUsbPortPath(const std::string& devicePath, UsbPortPath* out);
// A hexadecimal id of one to four digits, as sysfs ("18d1") and uevents ("4ee7") write it; false
// for anything else.
bool ParseUsbHexId(const std::string& text, uint16_t* id);

}  // namespace plat
