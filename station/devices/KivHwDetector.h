// The USB detector: turns notices of USB device interfaces that arrive or leave into
// EVT_DEVICE_CHANGE events, each with a DeviceChangeInfo, for the window it was given.
#pragma once
#include "DeviceSetup.h"

#include <wx/event.h>
#include <wx/window.h>

#include <cstdint>
#include <memory>

class wxEventLoopSource;

// The device-change message as the owner window receives it from the registration: sent, not
// posted, so it is handled before the sender goes on. GetInt() is the event code, GetClientData()
// the notice's header (a plat::DeviceBroadcastHeader, valid only while the message is handled).
wxDECLARE_EVENT(EVT_DEVICE_CHANGE_MESSAGE, wxCommandEvent);

namespace KIV {

// What the detector reads out of an interface path, by character position.
struct InterfacePathFields {
    wxString vendorId;      // from position 12 up to the first "&" after it
    wxString productId;     // from position 21 up to the first "#" after it
    wxString serial;        // from position 26 up to the last "#"
    wxString instancePath;  // from position 4 up to the last "#", "#" made "\", upper case
    wxString enumerator;    // the instance path before upper-casing, up to its first "\"
};
// Never fails: a part whose positions are missing from the path is empty.
InterfacePathFields ParseInterfacePath(const wxString& path);

// Port and hub of a location text ("Port_#0003.Hub_#0012" gives "0003" and "0012"): the last
// n characters of the text before its first "." (n: position of that part's first "#" minus 1),
// and the last m characters of the whole text (m: position of its first "#" minus 1). A part
// without its "#" is empty, so "Unknown" gives an empty port and hub.
void ParseLocation(const wxString& location, wxString* port, wxString* hub);

class CKivHwDetector : public wxWindow {
public:
    // A hidden child window of the owner; notices reach the owner, events are posted to it.
    CKivHwDetector(wxWindow* owner, void* context);
    ~CKivHwDetector() override;

    // Registers the owner for notices of USB device interfaces and watches them in the event loop;
    // false when the registration fails.
    virtual bool RegisterDeviceNotify();

    // Called by the owner with the device-change message; only arrivals and removals of device
    // interfaces go on. Returns 0.
    long OnDeviceChange(uint32_t eventCode, const plat::DeviceBroadcastHeader* header);
    void HandleDeviceEvent(const plat::DeviceBroadcastInterface* header, uint32_t eventCode);
    // Walks the set from index 0 for the member whose instance id equals the path exactly.
    bool FindDeviceByInstanceId(plat::DeviceInfoSet& set, const wxString& instancePath,
                                plat::DeviceInfoData* data);

    wxWindow* owner;
    void* context;

private:
    class Watch;

    plat::DeviceSetup& setup_;
    std::unique_ptr<plat::DeviceNotification> notification_;
    std::unique_ptr<Watch> watch_;
};

// Tests: the device setup that detectors made from now on use (null: the system's again).
void SetDeviceSetupForTesting(plat::DeviceSetup* setup);

}  // namespace KIV
