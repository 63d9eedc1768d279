#include "KivHwDetector.h"

#include "Errors.h"
#include "KivDevice.h"
#include "KivDialogs.h"
#include "KivEvents.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>

#include <cstdlib>

wxDEFINE_EVENT(EVT_DEVICE_CHANGE_MESSAGE, wxCommandEvent);

namespace KIV {
namespace {

plat::DeviceSetup* setupForTesting = nullptr;

// The characters from `from` up to (not including) `to`; empty when the range is not in the text.
wxString Between(const wxString& text, size_t from, size_t to) {
    if (from >= text.length() || to == wxString::npos || to <= from)
        return wxString();
    return text.Mid(from, to - from);
}

size_t FindAfter(const wxString& text, wxUniChar c, size_t from) {
    return from >= text.length() ? wxString::npos : text.find(c, from);
}

// The last `count` characters, where count is the position of the text's first "#" minus 1.
wxString BeforeHashCount(const wxString& text) {
    const size_t hash = text.find('#');
    if (hash == wxString::npos || hash < 2)
        return wxString();
    return text.Right(hash - 1);
}

}  // namespace

InterfacePathFields ParseInterfacePath(const wxString& path) {
    InterfacePathFields fields;
    const size_t lastHash = path.rfind('#');
    fields.vendorId = Between(path, 12, FindAfter(path, '&', 12));
    fields.productId = Between(path, 21, FindAfter(path, '#', 21));
    fields.serial = Between(path, 26, lastHash);
    wxString instance = Between(path, 4, lastHash);
    instance.Replace("#", "\\");
    fields.enumerator = instance.BeforeFirst('\\');
    fields.instancePath = instance.Upper();
    return fields;
}

void ParseLocation(const wxString& location, wxString* port, wxString* hub) {
    if (port)
        *port = BeforeHashCount(location.BeforeFirst('.'));
    if (hub)
        *hub = BeforeHashCount(location);
}

// Hands the registration's pending notices over whenever its descriptor is readable.
class CKivHwDetector::Watch : public wxEventLoopSourceHandler {
public:
    Watch(plat::DeviceNotification& notification, int descriptor) : notification_(notification) {
        source_ = wxEventLoopBase::AddSourceForFD(descriptor, this, wxEVENT_SOURCE_INPUT);
    }
    ~Watch() override { delete source_; }
    bool Watching() const { return source_ != nullptr; }

    void OnReadWaiting() override { notification_.Dispatch(); }
    void OnWriteWaiting() override {}
    void OnExceptionWaiting() override {}

private:
    plat::DeviceNotification& notification_;
    wxEventLoopSource* source_ = nullptr;
};

CKivHwDetector::CKivHwDetector(wxWindow* ownerWindow, void* contextPointer)
    : owner(ownerWindow), context(contextPointer),
      setup_(setupForTesting ? *setupForTesting : plat::SystemDeviceSetup()) {
    Hide();
    // A pseudo-random control id in the range the design's generator gives (0 to 32766 here).
    Create(ownerWindow, std::rand() % 32767, wxPoint(0, 0), wxSize(0, 0), 0, "CKivHwDetector");
}

CKivHwDetector::~CKivHwDetector() {
    watch_.reset();
    notification_.reset();
}

bool CKivHwDetector::RegisterDeviceNotify() {
    plat::DeviceBroadcastInterface filter;
    filter.size = plat::kDeviceInterfaceFilterSize;
    filter.deviceType = plat::DBT_DEVTYP_DEVICEINTERFACE;
    filter.classGuid = plat::GUID_DEVINTERFACE_USB_DEVICE;
    wxWindow* target = owner;
    uint32_t code = 0;
    notification_ = setup_.RegisterDeviceNotification(
        filter,
        [target](uint32_t eventCode, const plat::DeviceBroadcastHeader* header) {
            wxCommandEvent message(EVT_DEVICE_CHANGE_MESSAGE, 0);
            message.SetInt(static_cast<int>(eventCode));
            message.SetClientData(const_cast<plat::DeviceBroadcastHeader*>(header));
            if (target)
                target->GetEventHandler()->ProcessEvent(message);
        },
        &code);
    if (!notification_)
        return false;
    const int descriptor = notification_->Descriptor();
    if (descriptor >= 0) {
        watch_ = std::make_unique<Watch>(*notification_, descriptor);
        if (!watch_->Watching()) {
            watch_.reset();
            notification_.reset();
            return false;
        }
    }
    return true;
}

long CKivHwDetector::OnDeviceChange(uint32_t eventCode, const plat::DeviceBroadcastHeader* header) {
    if ((eventCode == plat::DBT_DEVICEARRIVAL || eventCode == plat::DBT_DEVICEREMOVECOMPLETE) && header &&
        header->deviceType == plat::DBT_DEVTYP_DEVICEINTERFACE)
        HandleDeviceEvent(static_cast<const plat::DeviceBroadcastInterface*>(header), eventCode);
    return 0;
}

void CKivHwDetector::HandleDeviceEvent(const plat::DeviceBroadcastInterface* header, uint32_t eventCode) {
    if (!header)
        return;
    // 1-2. The fields of the path; only the USB enumerator goes on.
    const InterfacePathFields fields = ParseInterfacePath(header->name);
    if (fields.enumerator != "USB")
        return;
    const bool arrived = eventCode == plat::DBT_DEVICEARRIVAL;

    // 3. Attached devices for an arrival; every device the system knows for a removal.
    const uint32_t flags = arrived ? plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES : plat::DIGCF_ALLCLASSES;
    uint32_t code = 0;
    std::unique_ptr<plat::DeviceInfoSet> set = setup_.GetClassDevs(L"USB", flags, &code);
    if (!set) {
        std::wstring text;
        plat::SystemErrorText(code, text);
        KivMessageBox("SetupDiGetClassDevs(): " + wxString(text), wxTheApp ? wxTheApp->GetAppDisplayName() : "",
                      wxOK | wxICON_EXCLAMATION, nullptr);
        return;
    }

    // 4. The device's member of the set.
    plat::DeviceInfoData data;
    if (!FindDeviceByInstanceId(*set, fields.instancePath, &data))
        return;

    // 5-6. Its location, read twice before it counts as unknown.
    std::wstring location;
    if (!set->GetLocationInformation(data, &location, &code) && !set->GetLocationInformation(data, &location, &code))
        location = L"Unknown";
    wxString port, hub;
    ParseLocation(location, &port, &hub);

    // 7. The event for the owner; its handler deletes the report.
    if (!owner)
        return;
    auto* event = new wxCommandEvent(EVT_DEVICE_CHANGE, 0);
    event->SetClientData(new DeviceChangeInfo(fields.vendorId, fields.productId, fields.serial, port, hub, arrived));
    wxQueueEvent(owner->GetEventHandler(), event);
}

bool CKivHwDetector::FindDeviceByInstanceId(plat::DeviceInfoSet& set, const wxString& instancePath,
                                            plat::DeviceInfoData* data) {
    plat::DeviceInfoData member;
    uint32_t code = 0;
    for (uint32_t index = 0; set.EnumDeviceInfo(index, &member, &code); ++index) {
        std::wstring id;
        if (!set.GetDeviceInstanceId(member, &id, &code))
            return false;
        if (wxString(id) == instancePath) {
            if (data)
                *data = member;
            return true;
        }
    }
    return false;
}

void SetDeviceSetupForTesting(plat::DeviceSetup* setup) { setupForTesting = setup; }

}  // namespace KIV
