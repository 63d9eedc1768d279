// The device list: event scripts driven into the device-change handler, and the Remove tool.
#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivEvents.h"
#include "KivLog.h"
#include "KivThreadRemoveUIDevice.h"
#include "StationGui.h"
#include "ThreadCount.h"
#include "StationLog.h"

#include <wx/listctrl.h>
#include <wx/msgdlg.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kFinished[] = L"This USB port result exists in UI.\nPlease remove it from UI, and reconnect device.";

// One step of a script.
struct Step {
    enum Kind { Arrive, Leave, SetState, Describe, Rename };
    Step(Kind k, const wxString& s, const wxString& p = "0001", const wxString& h = "0001")
        : kind(k), serial(s), port(p), hub(h) {}
    Kind kind;
    wxString serial;
    wxString port;
    wxString hub;
    wxString vendorId = "18D1";
    uint32_t state = 0;  // SetState: the record's new state, shown in its row
    wxString text;       // Describe: the Description; Rename: the record's new serial
};

Step In(const wxString& serial, const wxString& port = "0001", const wxString& hub = "0001") {
    return Step(Step::Arrive, serial, port, hub);
}
Step Out(const wxString& serial, const wxString& port = "0001", const wxString& hub = "0001") {
    return Step(Step::Leave, serial, port, hub);
}
Step InFrom(const wxString& vendorId, const wxString& serial, const wxString& port) {
    Step s(Step::Arrive, serial, port);
    s.vendorId = vendorId;
    return s;
}
Step State(const wxString& serial, uint32_t state) {
    Step s(Step::SetState, serial);
    s.state = state;
    return s;
}
Step Describe(const wxString& serial, const wxString& text) {
    Step s(Step::Describe, serial);
    s.text = text;
    return s;
}

// A row as the list shows it: "serial|State|Description".
using Rows = std::vector<std::string>;
// A record: "listKey|serial|port|hub|state".
using Records = std::vector<std::string>;

struct Script {
    const char* name;
    std::vector<Step> steps;
    Rows rows;                         // top first
    Records records;                   // in the array's order
    std::vector<std::wstring> boxes;   // message texts, in order
    std::vector<std::wstring> logs;    // records other than "Detect: ...", in order
};

class DeviceList : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        logStart = LoggedRecords().size();
        threadsBefore = ThreadCount();
    }

    void Send(const DeviceChangeInfo& info) {
        wxCommandEvent event(EVT_DEVICE_CHANGE, 0);
        event.SetClientData(new DeviceChangeInfo(info));
        frame->GetEventHandler()->ProcessEvent(event);
    }

    KivDevice* Record(const wxString& key) {
        wxCriticalSectionLocker locker(frame->arrayLock);
        for (size_t i = 0; i < frame->devices.GetCount(); ++i)
            if (frame->devices[i]->listKey == key) return frame->devices[i];
        return nullptr;
    }

    void Run(const Step& step) {
        switch (step.kind) {
        case Step::Arrive:
        case Step::Leave:
            Send(DeviceChangeInfo(step.vendorId, "4EE7", step.serial, step.port, step.hub, step.kind == Step::Arrive));
            break;
        case Step::SetState: {
            KivDevice* device = Record(step.serial);
            ASSERT_NE(device, nullptr) << step.serial;
            {
                wxCriticalSectionLocker locker(device->lock);
                device->state = step.state;
            }
            wxCriticalSectionLocker locker(frame->listLock);
            SetDeviceRowState(frame->deviceList, device->listKey, nullptr, step.state, nullptr);
            break;
        }
        case Step::Describe: {
            wxCriticalSectionLocker locker(frame->listLock);
            SetDeviceRowState(frame->deviceList, step.serial, &step.text, 0, nullptr);
            break;
        }
        case Step::Rename: {
            KivDevice* device = Record(step.serial);
            ASSERT_NE(device, nullptr) << step.serial;
            wxCriticalSectionLocker locker(device->lock);
            device->serial = step.text;
            break;
        }
        }
    }

    // Rows of the list control (after the queued changes are applied) and of the station agree.
    Rows ShownRows() {
        Pump(2);
        Rows held;
        for (const auto& row : DeviceRowsOf(frame->deviceList)->Rows())
            held.push_back((row.serial + "|" + row.state + "|" + row.description).utf8_string());
        Rows shown;
        wxListCtrl* list = frame->deviceList;
        for (long i = 0; i < list->GetItemCount(); ++i)
            shown.push_back((list->GetItemText(i, KIV_COLUMN_SERIAL) + "|" + list->GetItemText(i, KIV_COLUMN_STATE) +
                             "|" + list->GetItemText(i, KIV_COLUMN_DESCRIPTION))
                                .utf8_string());
        EXPECT_EQ(shown, held);
        return shown;
    }

    Records HeldRecords() {
        Records records;
        wxCriticalSectionLocker locker(frame->arrayLock);
        for (size_t i = 0; i < frame->devices.GetCount(); ++i) {
            KivDevice* d = frame->devices[i];
            records.push_back((d->listKey + "|" + d->serial + "|" + d->port + "|" + d->hub + "|" +
                               wxString::Format("%X", d->state))
                                  .utf8_string());
        }
        return records;
    }

    std::vector<LoggedRecord> NewRecords() {
        auto all = LoggedRecords();
        return std::vector<LoggedRecord>(all.begin() + std::min(logStart, all.size()), all.end());
    }

    std::vector<std::wstring> NewLogTexts() {
        std::vector<std::wstring> texts;
        for (const auto& r : NewRecords())
            if (r.text.rfind(L"Detect: ", 0) != 0) texts.push_back(r.text);
        return texts;
    }

    std::vector<std::wstring> BoxTexts() {
        std::vector<std::wstring> texts;
        for (const auto& d : dialogs) {
            EXPECT_EQ(d.caption, "Error");
            EXPECT_EQ(d.style, wxOK | wxICON_ERROR);
            EXPECT_EQ(d.parent, nullptr);
            texts.push_back(d.message.ToStdWstring());
        }
        return texts;
    }

    // Runs the Remove tool on the rows whose serials are given and waits for its workers.
    void RemoveRows(const std::vector<wxString>& serials, size_t recordsLeft) {
        Pump(2);
        wxListCtrl* list = frame->deviceList;
        for (long i = 0; i < list->GetItemCount(); ++i) {
            const bool pick = std::find(serials.begin(), serials.end(), list->GetItemText(i)) != serials.end();
            list->SetItemState(i, pick ? wxLIST_STATE_SELECTED : 0, wxLIST_STATE_SELECTED);
        }
        wxCommandEvent click(wxEVT_TOOL, ID_TOOL_REMOVE);
        frame->GetEventHandler()->ProcessEvent(click);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (HeldRecords().size() != recordsLeft && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(HeldRecords().size(), recordsLeft);
        WaitForThreadCount(threadsBefore);  // workers that find nothing end too
        Pump(3);
    }

    size_t logStart = 0;
    size_t threadsBefore = 0;
};

std::vector<Step> EightDevices() {
    std::vector<Step> steps;
    for (int i = 1; i <= 8; ++i) steps.push_back(In(wxString::Format("S%d", i), wxString::Format("%04d", i)));
    return steps;
}

std::vector<Step> Join(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(DeviceList, EventScripts) {
    const Script scripts[] = {
        {"a new device is listed at the top",
         {In("S1", "0001"), In("S2", "0002")},
         {"S2|Connected|", "S1|Connected|"},
         {"S1|S1|0001|0001|1", "S2|S2|0002|0001|1"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device"}},
        {"disconnect keeps the description, reconnect clears it",
         {In("S1"), Describe("S1", "Reboot failure(x)"), Out("S1")},
         {"S1|Disconnected|Reboot failure(x)"},
         {"S1|S1|0001|0001|2"},
         {},
         {L"[S1] Detected this device", L"[S1] Disconnect this device"}},
        {"reconnect on the same port",
         {In("S1"), Describe("S1", "Reboot failure(x)"), Out("S1"), In("S1")},
         {"S1|Connected|"},
         {"S1|S1|0001|0001|1"},
         {},
         {L"[S1] Detected this device", L"[S1] Disconnect this device", L"[S1] Reconnect this device"}},
        {"duplicate arrival changes nothing",
         {In("S1"), In("S1")},
         {"S1|Connected|"},
         {"S1|S1|0001|0001|1"},
         {},
         {L"[S1] Detected this device"}},
        {"removal of an unknown device or on another port changes nothing",
         {In("S1"), Out("S9"), Out("S1", "0002")},
         {"S1|Connected|"},
         {"S1|S1|0001|0001|1"},
         {},
         {L"[S1] Detected this device"}},
        {"serial made up by the system is dropped",
         {In("5&2A1B3C4D&0&2"), Out("5&2A1B3C4D&0&2")},
         {},
         {},
         {},
         {}},
        {"other vendors and lower-case vendor ids are dropped",
         {InFrom("18d1", "S1", "0001"), InFrom("046D", "S2", "0002"), InFrom("", "S3", "0003"),
          InFrom("05C6", "S4", "0004"), InFrom("8087", "S5", "0005"), InFrom("2E17", "S6", "0006")},
         {"S6|Connected|", "S5|Connected|", "S4|Connected|"},
         {"S4|S4|0004|0001|1", "S5|S5|0005|0001|1", "S6|S6|0006|0001|1"},
         {},
         {L"[S4] Detected this device", L"[S5] Detected this device", L"[S6] Detected this device"}},
        {"a ninth device is refused",
         Join(EightDevices(), {In("S9", "0009")}),
         {"S8|Connected|", "S7|Connected|", "S6|Connected|", "S5|Connected|", "S4|Connected|", "S3|Connected|",
          "S2|Connected|", "S1|Connected|"},
         {"S1|S1|0001|0001|1", "S2|S2|0002|0001|1", "S3|S3|0003|0001|1", "S4|S4|0004|0001|1", "S5|S5|0005|0001|1",
          "S6|S6|0006|0001|1", "S7|S7|0007|0001|1", "S8|S8|0008|0001|1"},
         {L"Detect device [S9], but max device count be 8.\nPlease remove some devices from list."},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S3] Detected this device",
          L"[S4] Detected this device", L"[S5] Detected this device", L"[S6] Detected this device",
          L"[S7] Detected this device", L"[S8] Detected this device",
          L"[S9] Detect device [S9], but max device count be 8.\nPlease remove some devices from list."}},
        {"a device that moved port while unplugged takes the port; the unplugged record there goes",
         {In("S1", "0001"), In("S2", "0002"), Out("S1", "0001"), Out("S2", "0002"), In("S1", "0002")},
         {"S1|Connected|"},
         {"S1|S1|0002|0001|1"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S1] Disconnect this device",
          L"[S2] Disconnect this device", L"[S1] Reconnect this device"}},
        {"a device that moved port onto a busy record's port leaves that record",
         {In("S1", "0001"), In("S2", "0002"), Out("S1", "0001"), In("S1", "0002")},
         {"S2|Connected|", "S1|Connected|"},
         {"S1|S1|0002|0001|1", "S2|S2|0002|0001|1"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S1] Disconnect this device",
          L"[S1] Reconnect this device"}},
        {"another serial on an unplugged record's port takes the record over",
         {In("S1", "0001"), In("S2", "0002"), Out("S1", "0001"), In("S3", "0001"), Out("S3", "0001")},
         {"S3|Disconnected|", "S2|Connected|"},
         {"S3|S3|0001|0001|2", "S2|S2|0002|0001|1"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S1] Disconnect this device",
          L"[S3] Detected this device", L"[S3] Disconnect this device"}},
        {"another serial on a connected record's port stays unlisted",
         {In("S1", "0001"), In("S2", "0001")},
         {"S1|Connected|"},
         {"S1|S1|0001|0001|1"},
         {},
         {L"[S1] Detected this device"}},
        {"a finished device plugged in again gets the finished-record message and stays",
         {In("S1", "0001"), In("S2", "0002"), State("S1", DEV_PASS), State("S2", DEV_FAIL), Out("S1", "0001"),
          In("S1", "0001"), In("S2", "0003"), In("S3", "0001")},
         {"S2|Fail|", "S1|Pass|"},
         {"S1|S1|0001|0001|100", "S2|S2|0002|0001|200"},
         {kFinished, kFinished, kFinished},
         {L"[S1] Detected this device", L"[S2] Detected this device"}},
        {"the same serial on another port while its record is connected or running",
         {In("S1", "0001"), In("S2", "0002"), State("S2", DEV_FASTBOOT_FLASHING), In("S1", "0005"),
          In("S2", "0006", "0003")},
         {"S2|Installing|", "S1|Connected|"},
         {"S1|S1|0001|0001|1", "S2|S2|0002|0001|400"},
         {L"Detect device S1 on 0005:0001. But the same serial number be detected on another port.",
          L"Detect device S2 on 0006:0003. But the same serial number be detected on another port."},
         {L"[S1] Detected this device", L"[S2] Detected this device",
          L"[S1] Detect device S1 on 0005:0001. But the same serial number be detected on another port.",
          L"[S2] Detect device S2 on 0006:0003. But the same serial number be detected on another port."}},
        {"an unknown location never matches another record's port",
         {In("S1", "", ""), In("S2", "", ""), Out("S1", "", ""), In("S3", "", ""), In("S1", "", "")},
         {"S3|Connected|", "S2|Connected|", "S1|Connected|"},
         {"S1|S1|||1", "S2|S2|||1", "S3|S3|||1"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S1] Disconnect this device",
          L"[S3] Detected this device", L"[S1] Reconnect this device"}},
        {"a device seen with an unknown location moves to a known one",
         {In("S1", "0001"), In("S2", "0002"), Out("S1", "0001"), Out("S2", "0002"), In("S1", "", "")},
         {"S2|Disconnected|", "S1|Connected|"},
         {"S1|S1|||1", "S2|S2|0002|0001|2"},
         {},
         {L"[S1] Detected this device", L"[S2] Detected this device", L"[S1] Disconnect this device",
          L"[S2] Disconnect this device", L"[S1] Reconnect this device"}},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        // Each script starts on an empty list.
        {
            wxCriticalSectionLocker locker(frame->arrayLock);
            while (!frame->devices.IsEmpty()) {
                KivDevice* d = frame->devices.Last();
                wxCriticalSectionLocker listLocker(frame->listLock);
                RemoveDeviceRow(frame->deviceList, d->listKey, nullptr);
                frame->devices.Remove(d);
                delete d;
            }
        }
        dialogs.clear();
        logStart = LoggedRecords().size();

        for (const Step& step : script.steps) Run(step);
        EXPECT_EQ(ShownRows(), script.rows);
        EXPECT_EQ(HeldRecords(), script.records);
        EXPECT_EQ(BoxTexts(), script.boxes);
        EXPECT_EQ(NewLogTexts(), script.logs);
    }
}

TEST_F(DeviceList, EveryReportIsLoggedFirstWithItsFields) {
    Send(DeviceChangeInfo("18D1", "4EE7", "S1", "0003", "0012", true));
    Send(DeviceChangeInfo("046D", "C077", "5&1A&0&1", "0004", "0001", false));
    const std::vector<LoggedRecord> expected = {
        {L"Detect: 18D1:4EE7:S1:0003:0012:1", 0, LOG_LEVEL_INFO},
        {L"[S1] Detected this device", 0, LOG_LEVEL_INFO},
        {L"Detect: 046D:C077:5&1A&0&1:0004:0001:0", 0, LOG_LEVEL_INFO},
    };
    EXPECT_EQ(NewRecords(), expected);
}

TEST_F(DeviceList, MessageRecordsCarryTheirCodesAndLevels) {
    for (const Step& step : Join(EightDevices(), {In("S9", "0009"), In("S1", "0007")})) Run(step);
    const auto records = NewRecords();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[records.size() - 3].code, 0u);
    EXPECT_EQ(records[records.size() - 3].level, LOG_LEVEL_INFO);
    EXPECT_EQ(records.back().code, ERR_SERIAL_ON_OTHER_PORT);
    EXPECT_EQ(records.back().level, LOG_LEVEL_ERROR);
}

TEST_F(DeviceList, ARefusedNinthDeviceIsListedOnceARecordIsRemoved) {
    for (const Step& step : Join(EightDevices(), {In("S9", "0009"), Out("S3", "0003")})) Run(step);
    RemoveRows({"S3"}, 7);
    Run(In("S9", "0009"));
    const Rows rows = ShownRows();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0], "S9|Connected|");
    EXPECT_EQ(BoxTexts().size(), 1u);
}

TEST_F(DeviceList, RemoveToolDeletesUnpluggedAndFinishedRecordsOnly) {
    for (const Step& step : {In("CONN", "0001"), In("DISC", "0002"), In("PASS", "0003"), In("FAIL", "0004"),
                             In("JOB", "0005"), Out("DISC", "0002"), State("PASS", DEV_PASS),
                             State("FAIL", DEV_FAIL), State("JOB", DEV_RECOVERY_FLASHING)})
        Run(step);
    logStart = LoggedRecords().size();
    RemoveRows({"CONN", "DISC", "PASS", "FAIL", "JOB"}, 2);
    EXPECT_EQ(ShownRows(), (Rows{"JOB|Installing|", "CONN|Connected|"}));
    EXPECT_EQ(HeldRecords(), (Records{"CONN|CONN|0001|0001|1", "JOB|JOB|0005|0001|4"}));
    auto logs = NewLogTexts();
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ(logs, (std::vector<std::wstring>{L"[DISC] User remove device from list",
                                               L"[FAIL] User remove device from list",
                                               L"[PASS] User remove device from list"}));
    EXPECT_TRUE(dialogs.empty());
}

TEST_F(DeviceList, RemoveToolFindsARecordWhoseSerialChanged) {
    Run(In("OLD", "0001"));
    Step rename(Step::Rename, "OLD");
    rename.text = "NEW";
    Run(rename);
    Run(State("OLD", DEV_FAIL));
    logStart = LoggedRecords().size();
    RemoveRows({"OLD"}, 0);
    EXPECT_EQ(ShownRows(), Rows{});
    EXPECT_EQ(NewLogTexts(), std::vector<std::wstring>{L"[NEW] User remove device from list"});
}

// A removal worker that cannot run is reported as one that cannot be made, the rows after it
// stay, and it is not counted among the workers that the window's end waits for.
TEST_F(DeviceList, ARemovalWorkerThatCannotRunIsReportedAndNotWaitedFor) {
    for (const Step& step : {In("A", "0001"), In("B", "0002"), In("C", "0003"), Out("A", "0001"), Out("B", "0002"),
                             Out("C", "0003")})
        Run(step);
    logStart = LoggedRecords().size();
    int runs = 0;
    KivThreadRemoveUIDevice::SetRunForTesting([&runs](KivThreadRemoveUIDevice& worker) {
        return ++runs == 2 ? wxTHREAD_NO_RESOURCE : worker.Run();
    });
    RemoveRows({"A", "B", "C"}, 2);  // C, the top row, goes; B cannot; A is not tried
    KivThreadRemoveUIDevice::SetRunForTesting(nullptr);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (frame->removalWorkers.Running() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(frame->removalWorkers.Running(), 0);
    EXPECT_EQ(ShownRows(), (Rows{"B|Disconnected|", "A|Disconnected|"}));
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{L"Cannot create remove UI device thread!"});
    auto records = NewRecords();  // the worker's record and the window's, in either order
    ASSERT_EQ(records.size(), 2u);
    if (records[0].code != 0) std::swap(records[0], records[1]);
    EXPECT_EQ(records[0].text, L"[C] User remove device from list");
    EXPECT_EQ(records[1].text, L"Cannot create remove UI device thread!");
    EXPECT_EQ(records[1].code, ERR_THREAD_CREATE);
    EXPECT_EQ(records[1].level, LOG_LEVEL_ERROR);
}

TEST_F(DeviceList, MessageBoxesAreShownWithoutTheArrayLockAndLaterReportsWaitInOrder) {
    for (const Step& step : EightDevices()) Run(step);
    logStart = LoggedRecords().size();
    std::vector<Rows> rowsDuringBox;
    std::vector<bool> lockFreeDuringBox;
    KivSetDialogHandlerForTesting([&](const KivDialogRequest& request) {
        dialogs.push_back(request);
        // Another thread can take the array lock while the box is open.
        auto free = std::async(std::launch::async, [&] {
            const bool taken = frame->arrayLock.TryEnter();
            if (taken) frame->arrayLock.Leave();
            return taken;
        });
        lockFreeDuringBox.push_back(free.get());
        if (dialogs.size() == 1) {
            // Reports that the box's event loop brings wait for the handler that shows it.
            Send(DeviceChangeInfo("18D1", "4EE7", "S1", "0001", "0001", false));
            Send(DeviceChangeInfo("18D1", "4EE7", "S10", "0010", "0001", true));
            Send(DeviceChangeInfo("18D1", "4EE7", "S1", "0001", "0001", true));
        }
        rowsDuringBox.push_back(ShownRows());
        KivDialogAnswer reply;
        reply.button = wxOK;
        return reply;
    });
    Send(DeviceChangeInfo("18D1", "4EE7", "S9", "0009", "0001", true));

    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(lockFreeDuringBox, (std::vector<bool>{true, true}));
    EXPECT_EQ(rowsDuringBox[0].size(), 8u);
    EXPECT_EQ(rowsDuringBox[0].back(), "S1|Connected|");  // the removal had not been handled yet
    EXPECT_EQ(rowsDuringBox[1].back(), "S1|Disconnected|");
    EXPECT_EQ(ShownRows().back(), "S1|Connected|");
    EXPECT_EQ(NewLogTexts(),
              (std::vector<std::wstring>{
                  L"[S9] Detect device [S9], but max device count be 8.\nPlease remove some devices from list.",
                  L"[S1] Disconnect this device",
                  L"[S10] Detect device [S10], but max device count be 8.\nPlease remove some devices from list.",
                  L"[S1] Reconnect this device"}));
}
