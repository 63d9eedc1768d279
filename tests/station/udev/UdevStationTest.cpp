// The main window's device list fed by the real USB detector on udev, with devices mocked by umockdev.
#include "KivDeviceRows.h"
#include "KivHwDetector.h"
#include "MockUsb.h"
#include "StationGui.h"
#include "StationLog.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

class MockedUsb : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        ASSERT_NE(frame->GetSharedHwDetector(), nullptr);
    }

    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        for (const auto& row : DeviceRowsOf(frame->deviceList)->Rows())
            rows.push_back((row.serial + "|" + row.state).utf8_string());
        return rows;
    }

    // Pumps the window's events until its list shows the rows, or a minute has passed.
    void ExpectRows(const std::vector<std::string>& expected) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Rows() != expected && std::chrono::steady_clock::now() < until) Pump(1);
        EXPECT_EQ(Rows(), expected);
    }

    bool Logged(const std::wstring& text) {
        for (const auto& t : LoggedTexts())
            if (t == text) return true;
        return false;
    }

    MockUsbBed bed;
};

}  // namespace

TEST_F(MockedUsb, DevicePluggedInIsConnectedAndPulledOutIsDisconnected) {
    const std::string path = bed.Plug("usb1/1-1/1-1.4", "18d1", "4ee7", "ZLK0001");
    ExpectRows({"ZLK0001|Connected"});
    bed.Unplug(path);
    ExpectRows({"ZLK0001|Disconnected"});
    bed.Plug("usb1/1-1/1-1.4", "18d1", "4ee7", "ZLK0001");
    ExpectRows({"ZLK0001|Connected"});
    EXPECT_TRUE(Logged(L"Detect: 18D1:4EE7:ZLK0001:0004:0001:1"));
    EXPECT_TRUE(Logged(L"Detect: 18D1:4EE7:ZLK0001:0004:0001:0"));
    EXPECT_TRUE(Logged(L"[ZLK0001] Reconnect this device"));
}

TEST_F(MockedUsb, DevicesWithoutASerialOrOfOtherVendorsAreNotListed) {
    bed.Plug("usb1/1-2", "18d1", "4ee7", std::nullopt);
    bed.Plug("usb1/1-3", "046d", "c077", "MOUSE1");
    bed.Plug("usb1/1-5", "05c6", "9039", "QC0001");
    ExpectRows({"QC0001|Connected"});
    EXPECT_TRUE(Logged(L"Detect: 046D:C077:MOUSE1:0003:0001:1"));
}

TEST_F(MockedUsb, ADeviceMovedToAnotherPortWhileUnpluggedKeepsItsRow) {
    const std::string first = bed.Plug("usb1/1-1", "8087", "0a5f", "INTEL01");
    ExpectRows({"INTEL01|Connected"});
    bed.Unplug(first);
    ExpectRows({"INTEL01|Disconnected"});
    bed.Plug("usb1/1-6", "8087", "0a5f", "INTEL01");
    ExpectRows({"INTEL01|Connected"});
    EXPECT_TRUE(Logged(L"Detect: 8087:0A5F:INTEL01:0006:0001:1"));
}
