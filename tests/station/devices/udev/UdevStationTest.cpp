// The main window's device list fed by the real USB detector on udev, with devices mocked by umockdev.
#include "KivDeviceRows.h"
#include "KivHwDetector.h"
#include "MockUsb.h"
#include "StationGui.h"
#include "StationLog.h"

#include <wx/listctrl.h>

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

    // A "Detect:" record of the serial's removal from the port (any hub).
    bool LoggedRemovalFrom(const std::wstring& serial, const std::wstring& port) {
        const std::wstring head = L"Detect: 18D1:4EE7:" + serial + L":" + port + L":";
        for (const auto& t : LoggedTexts())
            if (t.rfind(head, 0) == 0 && t.size() > 2 && t.substr(t.size() - 2) == L":0") return true;
        return false;
    }

    // Plugs the device at path's place in at each of the places in turn, pulling it out after each:
    // its row shows Connected while it is in and Disconnected once it is out.
    void MoveAround(std::string path, const std::vector<std::string>& places, const std::string& serial) {
        for (const std::string& place : places) {
            bed.Unplug(path);
            ExpectRows({serial + "|Disconnected"});
            path = bed.Plug(place, "18d1", "4ee7", serial);
            ExpectRows({serial + "|Connected"});
        }
        bed.Unplug(path);
        ExpectRows({serial + "|Disconnected"});
    }

    void RemoveWithTool(const wxString& serial) {
        for (long i = 0; i < frame->deviceList->GetItemCount(); ++i)
            frame->deviceList->SetItemState(i, frame->deviceList->GetItemText(i) == serial ? wxLIST_STATE_SELECTED : 0,
                                            wxLIST_STATE_SELECTED);
        wxCommandEvent click(wxEVT_TOOL, ID_TOOL_REMOVE);
        frame->GetEventHandler()->ProcessEvent(click);
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

// A removal after a move names the port the device left: the row follows it each time, a third
// port brings no serial conflict, and the Remove tool takes the row.
TEST_F(MockedUsb, ADeviceMovedWhileUnpluggedIsDisconnectedFromItsNewPort) {
    const std::string path = bed.Plug("usb1/1-1/1-1.2", "18d1", "4ee7", "AAA001");
    ExpectRows({"AAA001|Connected"});
    MoveAround(path, {"usb1/1-1/1-1.5", "usb1/1-1/1-1.7"}, "AAA001");
    EXPECT_TRUE(LoggedRemovalFrom(L"AAA001", L"0005"));
    EXPECT_TRUE(LoggedRemovalFrom(L"AAA001", L"0007"));
    EXPECT_TRUE(dialogs.empty());
    RemoveWithTool("AAA001");
    ExpectRows({});
}

class MockedUsbAttachedFirst : public MockedUsb {
protected:
    void SetUp() override {
        early = bed.Plug("usb1/1-1/1-1.2", "18d1", "4ee7", "AAA002");
        MockedUsb::SetUp();
    }
    std::string early;
};

// A device attached before start-up is listed once plugged in again, wherever that is, and its
// later removal is reported from there.
TEST_F(MockedUsbAttachedFirst, ADeviceAttachedBeforeStartUpAndMovedIsDisconnectedFromItsNewPort) {
    bed.Unplug(early);
    const std::string path = bed.Plug("usb1/1-1/1-1.5", "18d1", "4ee7", "AAA002");
    ExpectRows({"AAA002|Connected"});
    MoveAround(path, {"usb1/1-1/1-1.6"}, "AAA002");
    EXPECT_TRUE(LoggedRemovalFrom(L"AAA002", L"0006"));
    EXPECT_TRUE(dialogs.empty());
}
