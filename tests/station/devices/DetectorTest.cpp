// The USB detector against a device setup that the tests fill.
#include "Errors.h"
#include "FakeDeviceSetup.h"
#include "KivDeviceRows.h"
#include "KivEvents.h"
#include "KivHwDetector.h"
#include "StationGui.h"

#include <wx/frame.h>
#include <wx/msgdlg.h>

#include <memory>

namespace {

const std::wstring kPath = L"\\\\?\\USB#VID_05C6&PID_9039#0123456789AB#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
const std::wstring kId = L"USB\\VID_05C6&PID_9039\\0123456789AB";

struct Posted {
    std::string vendorId, productId, serial, port, hub;
    bool arrived;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
    return out << p.vendorId << ":" << p.productId << ":" << p.serial << ":" << p.port << ":" << p.hub << ":"
               << p.arrived;
}

plat::DeviceBroadcastInterface Notice(const std::wstring& name, uint32_t type = plat::DBT_DEVTYP_DEVICEINTERFACE) {
    plat::DeviceBroadcastInterface notice;
    notice.deviceType = type;
    notice.classGuid = plat::GUID_DEVINTERFACE_USB_DEVICE;
    notice.name = name;
    return notice;
}

class Detector : public StationGui {
protected:
    void SetUp() override {
        KIV::SetDeviceSetupForTesting(&fake);
        StationGui::SetUp();
        owner = new wxFrame(nullptr, wxID_ANY, "owner");
        owner->Bind(EVT_DEVICE_CHANGE, [this](wxCommandEvent& event) {
            std::unique_ptr<DeviceChangeInfo> info(static_cast<DeviceChangeInfo*>(event.GetClientData()));
            posted.push_back({info->vendorId.utf8_string(), info->productId.utf8_string(), info->serial.utf8_string(),
                              info->port.utf8_string(), info->hub.utf8_string(), info->arrived});
        });
        detector = new KIV::CKivHwDetector(owner, nullptr);
    }
    void TearDown() override {
        delete detector;
        owner->Destroy();
        StationGui::TearDown();
        KIV::SetDeviceSetupForTesting(nullptr);
    }

    void Deliver(uint32_t eventCode, const std::wstring& name) {
        const plat::DeviceBroadcastInterface notice = Notice(name);
        EXPECT_EQ(detector->OnDeviceChange(eventCode, &notice), 0);
        Pump(2);
    }

    FakeDeviceSetup fake;
    wxFrame* owner = nullptr;
    KIV::CKivHwDetector* detector = nullptr;
    std::vector<Posted> posted;
};

}  // namespace

TEST_F(Detector, IsAHiddenChildWindowOfItsOwner) {
    EXPECT_EQ(detector->GetName(), "CKivHwDetector");
    EXPECT_EQ(detector->GetParent(), owner);
    EXPECT_FALSE(detector->IsShown());
    EXPECT_EQ(detector->owner, owner);
    EXPECT_EQ(detector->context, nullptr);
}

TEST_F(Detector, RegistersForUsbDeviceInterfacesAndReportsAFailedRegistration) {
    EXPECT_TRUE(detector->RegisterDeviceNotify());
    EXPECT_EQ(fake.registeredFilter.size, 32u);
    EXPECT_EQ(fake.registeredFilter.deviceType, 5u);
    EXPECT_EQ(fake.registeredFilter.classGuid, L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

    fake.registrationFailure = plat::kErrorAccessDenied;
    KIV::CKivHwDetector second(owner, nullptr);
    EXPECT_FALSE(second.RegisterDeviceNotify());
}

TEST_F(Detector, ArrivalIsPostedToItsOwnerWithThePortAndHubOfTheDevice) {
    fake.present = {{L"USB\\VID_18D1&PID_D001\\OTHER", L"Port_#0001.Hub_#0001"}, {kId, L"Port_#0003.Hub_#0012"}};
    Deliver(plat::DBT_DEVICEARRIVAL, kPath);
    EXPECT_EQ(posted, (std::vector<Posted>{{"05C6", "9039", "0123456789AB", "0003", "0012", true}}));
    EXPECT_EQ(fake.openedFlags, (std::vector<uint32_t>{plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES}));
    // The main window, which is not the detector's owner here, gets nothing.
    EXPECT_TRUE(DeviceRowsOf(frame->deviceList)->Rows().empty());
}

TEST_F(Detector, RemovalIsLookedUpAmongEveryDeviceTheSystemKnows) {
    fake.departed = {{kId, L"Port_#0007.Hub_#0002"}};
    Deliver(plat::DBT_DEVICEARRIVAL, kPath);  // not attached: nothing
    EXPECT_TRUE(posted.empty());
    Deliver(plat::DBT_DEVICEREMOVECOMPLETE, kPath);
    EXPECT_EQ(posted, (std::vector<Posted>{{"05C6", "9039", "0123456789AB", "0007", "0002", false}}));
    EXPECT_EQ(fake.openedFlags,
              (std::vector<uint32_t>{plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES, plat::DIGCF_ALLCLASSES}));
}

TEST_F(Detector, SerialKeepsItsCaseWhileTheInstanceIdIsMatchedInUpperCase) {
    fake.present = {{L"USB\\VID_18D1&PID_4EE7\\EMULATOR-5554", L"Port_#0002.Hub_#0001"}};
    Deliver(plat::DBT_DEVICEARRIVAL, L"\\\\?\\USB#VID_18D1&PID_4EE7#emulator-5554#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(posted, (std::vector<Posted>{{"18D1", "4EE7", "emulator-5554", "0002", "0001", true}}));
}

TEST_F(Detector, MadeUpSerialsArePostedLikeAnyOther) {
    fake.present = {{L"USB\\VID_05C6&PID_9039\\5&2A1B3C4D&0&2", L"Port_#0002.Hub_#0001"}};
    Deliver(plat::DBT_DEVICEARRIVAL, L"\\\\?\\USB#VID_05C6&PID_9039#5&2A1B3C4D&0&2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(posted, (std::vector<Posted>{{"05C6", "9039", "5&2A1B3C4D&0&2", "0002", "0001", true}}));
}

TEST_F(Detector, LocationIsReadTwiceBeforeItCountsAsUnknown) {
    struct Case {
        int failures;
        int reads;
        std::string port, hub;
    } cases[] = {{0, 1, "0003", "0012"}, {1, 2, "0003", "0012"}, {-1, 2, "", ""}};
    for (const Case& c : cases) {
        fake.present = {{kId, L"Port_#0003.Hub_#0012", c.failures}};
        fake.locationReads = 0;
        posted.clear();
        Deliver(plat::DBT_DEVICEARRIVAL, kPath);
        EXPECT_EQ(fake.locationReads, c.reads) << c.failures;
        EXPECT_EQ(posted, (std::vector<Posted>{{"05C6", "9039", "0123456789AB", c.port, c.hub, true}})) << c.failures;
    }
}

TEST_F(Detector, ASetThatCannotBeOpenedGivesTheWarningAndNoEvent) {
    fake.openFailure = plat::kErrorAccessDenied;
    Deliver(plat::DBT_DEVICEARRIVAL, kPath);
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(dialogs.size(), 1u);
    std::wstring text;
    ASSERT_TRUE(plat::SystemErrorText(plat::kErrorAccessDenied, text));
    EXPECT_EQ(dialogs[0].message, "SetupDiGetClassDevs(): " + wxString(text));
    EXPECT_EQ(dialogs[0].style, wxOK | wxICON_EXCLAMATION);
}

TEST_F(Detector, DevicesNotFoundInTheSetAreNotPosted) {
    // Not a member; and a member whose instance id cannot be read before the device is reached.
    fake.present = {{L"USB\\VID_05C6&PID_9039\\ELSE", L"Port_#0001.Hub_#0001"}};
    Deliver(plat::DBT_DEVICEARRIVAL, kPath);
    fake.present = {{L"USB\\VID_05C6&PID_9039\\ELSE", L"Port_#0001.Hub_#0001", 0, true}, {kId, L"Port_#0003.Hub_#0012"}};
    Deliver(plat::DBT_DEVICEARRIVAL, kPath);
    EXPECT_TRUE(posted.empty());
    EXPECT_TRUE(dialogs.empty());
}

TEST_F(Detector, OnlyArrivalsAndRemovalsOfUsbDeviceInterfacesGoOn) {
    fake.present = {{kId, L"Port_#0003.Hub_#0012"}};
    const plat::DeviceBroadcastInterface iface = Notice(kPath);
    const plat::DeviceBroadcastInterface volume = Notice(kPath, plat::DBT_DEVTYP_VOLUME);
    const plat::DeviceBroadcastInterface port = Notice(kPath, plat::DBT_DEVTYP_PORT);
    for (uint32_t code : std::vector<uint32_t>{plat::DBT_DEVICEQUERYREMOVE, plat::DBT_DEVICEREMOVEPENDING, 0x0007u, 0x8006u})
        EXPECT_EQ(detector->OnDeviceChange(code, &iface), 0);
    EXPECT_EQ(detector->OnDeviceChange(plat::DBT_DEVICEARRIVAL, &volume), 0);
    EXPECT_EQ(detector->OnDeviceChange(plat::DBT_DEVICEREMOVECOMPLETE, &port), 0);
    EXPECT_EQ(detector->OnDeviceChange(plat::DBT_DEVICEARRIVAL, nullptr), 0);
    // Another enumerator, and a path too short to name one.
    Deliver(plat::DBT_DEVICEARRIVAL, L"\\\\?\\HID#VID_05C6&PID_9039#0123456789AB#{4D1E55B2-F16F-11CF-88CB-001111000030}");
    Deliver(plat::DBT_DEVICEARRIVAL, L"\\\\?");
    Pump(2);
    EXPECT_TRUE(fake.openedFlags.empty());
    EXPECT_TRUE(posted.empty());
}
