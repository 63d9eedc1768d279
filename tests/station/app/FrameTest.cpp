#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivEvents.h"
#include "KivLog.h"
#include "LogStore.h"
#include "KivModels.h"
#include "StationGui.h"

#include <wx/combobox.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>
#include <wx/toplevel.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

class IdleWorker : public KivDeviceWorker {
public:
    IdleWorker() : KivDeviceWorker(nullptr, KivSlot::Check) {}
    void Steps() override {}
};

using MainWindow = StationGui;

int LogFileCount() {
    if (!std::filesystem::is_directory("log"))
        return 0;
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("log"))
        ++count;
    return count;
}

TEST_F(MainWindow, TitleAndNames) {
    EXPECT_EQ(frame->GetTitle(), "Zelk Flash Tool v1.0.0.24  ");
    EXPECT_EQ(frame->GetName(), "frame");
    EXPECT_TRUE(frame->IsShown());
    EXPECT_TRUE(frame->IsMaximized());
    EXPECT_EQ(frame->GetBackgroundColour(), wxColour(240, 240, 240));
    EXPECT_TRUE(frame->GetIcon().IsOk());

    EXPECT_EQ(frame->modelCombo->GetName(), "comboBox");
    EXPECT_EQ(frame->modelCombo->GetId(), 100);
    EXPECT_TRUE(frame->modelCombo->HasFlag(wxCB_READONLY));
    EXPECT_EQ(frame->wipeYes->GetName(), "radioButton");
    EXPECT_EQ(frame->wipeYes->GetLabel(), "Yes");
    EXPECT_EQ(frame->wipeNo->GetName(), "radioButton");
    EXPECT_EQ(frame->wipeNo->GetLabel(), "No");
    EXPECT_EQ(frame->imagePathText->GetName(), "text");
    EXPECT_FALSE(frame->imagePathText->IsEditable());
    EXPECT_EQ(frame->deviceList->GetName(), "listCtrl");
    EXPECT_TRUE(frame->deviceList->InReportView());
    EXPECT_EQ(frame->busyGauge->GetName(), "gauge");
    EXPECT_EQ(frame->busyGauge->GetRange(), 100);
    EXPECT_FALSE(frame->busyGauge->IsShown());

    wxWindow* button = frame->FindWindow(101);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->GetName(), "button");
    EXPECT_NE(wxWindow::FindWindowByName("staticLine", frame), nullptr);
    int labels = 0;
    for (wxWindow* child : frame->GetChildren()) {
        if (child->GetName() == "staticText") {
            ++labels;
            EXPECT_TRUE(child->GetLabel() == "Model:" || child->GetLabel() == "Wipe data:") << child->GetLabel();
        }
    }
    EXPECT_EQ(labels, 2);
}

TEST_F(MainWindow, ModelsInTheirOrderWithTheFirstSelected) {
    ASSERT_EQ(frame->modelCombo->GetCount(), 74u);
    for (unsigned i = 0; i < kModelCount; ++i)
        EXPECT_EQ(frame->modelCombo->GetString(i), ModelChoices[i]);
    EXPECT_EQ(frame->modelCombo->GetSelection(), 0);
    EXPECT_EQ(frame->modelCombo->GetValue(), ModelChoices[0]);
}

TEST_F(MainWindow, ToolBar) {
    wxToolBar* toolBar = frame->GetToolBar();
    ASSERT_NE(toolBar, nullptr);
    EXPECT_EQ(toolBar->GetName(), "toolbar");
    EXPECT_TRUE(toolBar->HasFlag(wxTB_TEXT));
    ASSERT_EQ(toolBar->GetToolsCount(), 4u);
    struct {
        int id;
        const char* label;
        const char* help;
    } tools[] = {
        {105, "Settings", "Settings"},
        {-1, "", ""},
        {103, "Start", "Start to flash image for the selected devices\nThe device state must be connected"},
        {104, "Remove", "Remove the selected devices from list\nThe device state must be disconnected, pass, or fail"},
    };
    for (size_t i = 0; i < 4; ++i) {
        const wxToolBarToolBase* tool = toolBar->GetToolByPos(i);
        ASSERT_NE(tool, nullptr);
        if (tools[i].id < 0) {
            EXPECT_TRUE(tool->IsSeparator());
            continue;
        }
        EXPECT_EQ(tool->GetId(), tools[i].id);
        EXPECT_EQ(tool->GetLabel(), tools[i].label);
        EXPECT_EQ(tool->GetShortHelp(), tools[i].help);
        EXPECT_TRUE(tool->GetLongHelp().empty());
        EXPECT_EQ(tool->GetKind(), wxITEM_NORMAL);
        EXPECT_TRUE(tool->GetNormalBitmap().IsOk());
    }
}

TEST_F(MainWindow, ListColumnsAndPictures) {
    wxListCtrl* list = frame->deviceList;
    ASSERT_EQ(list->GetColumnCount(), 3);
    const char* headers[] = {"Serial Number", "State", "Description"};
    for (int i = 0; i < 3; ++i) {
        wxListItem column;
        column.SetMask(wxLIST_MASK_TEXT);
        ASSERT_TRUE(list->GetColumn(i, column));
        EXPECT_EQ(column.GetText(), headers[i]);
    }
    EXPECT_EQ(list->GetColumnWidth(0), 160);
    EXPECT_EQ(list->GetColumnWidth(2), 800);
    EXPECT_EQ(list->GetItemCount(), 0);
    ASSERT_EQ(list->GetImageList(wxIMAGE_LIST_SMALL), frame->stateImages);
    ASSERT_EQ(frame->stateImages->GetImageCount(), 6);
    int width = 0, height = 0;
    frame->stateImages->GetSize(0, width, height);
    EXPECT_EQ(width, 32);
    EXPECT_EQ(height, 32);
}

TEST_F(MainWindow, RowOperationsReachTheList) {
    wxListCtrl* list = frame->deviceList;
    wxString error;
    ASSERT_TRUE(AddDeviceRow(list, "OLDER", 0, &error));
    ASSERT_TRUE(AddDeviceRow(list, "NEWER", 0, &error));
    EXPECT_FALSE(AddDeviceRow(list, "newer", 0, &error));
    EXPECT_EQ(error, "The serial number already exists in the list control.");
    ASSERT_EQ(list->GetItemCount(), 2);  // on the GUI thread: at once
    EXPECT_EQ(list->GetItemText(0), "NEWER");

    {
        wxCriticalSectionLocker locker(frame->listLock);
        const wxString text = "Flash image ...";
        ASSERT_TRUE(SetDeviceRowState(list, "older", &text, DEV_SCRIPT_FLASHING, nullptr));
    }
    EXPECT_EQ(list->GetItemText(1, KIV_COLUMN_STATE), "Installing");
    EXPECT_EQ(list->GetItemText(1, KIV_COLUMN_DESCRIPTION), "Flash image ...");
    wxListItem cell;
    cell.SetId(1);
    cell.SetColumn(KIV_COLUMN_STATE);
    cell.SetMask(wxLIST_MASK_IMAGE);
    ASSERT_TRUE(list->GetItem(cell));
    EXPECT_EQ(cell.GetImage(), KIV_IMAGE_YELLOW);

    // From another thread the calls return their result at once; the list follows in order.
    std::thread worker([list] {
        wxCriticalSectionLocker locker(wxGetApp().frame->listLock);
        const wxString done = "Flash image successfully (OLDER)";
        EXPECT_TRUE(SetDeviceRowState(list, "OLDER", &done, DEV_PASS, nullptr));
        EXPECT_TRUE(RemoveDeviceRow(list, "NEWER", nullptr));
        EXPECT_FALSE(RemoveDeviceRow(list, "NEWER", nullptr));
    });
    worker.join();
    Pump();
    ASSERT_EQ(list->GetItemCount(), 1);
    EXPECT_EQ(list->GetItemText(0), "OLDER");
    EXPECT_EQ(list->GetItemText(0, KIV_COLUMN_STATE), "Pass");
    EXPECT_EQ(list->GetItemText(0, KIV_COLUMN_DESCRIPTION), "Flash image successfully (OLDER)");
}

TEST_F(MainWindow, BusyStateShowsAndHidesTheGauge) {
    wxListCtrl* list = frame->deviceList;
    ASSERT_TRUE(AddDeviceRow(list, "A", 0, nullptr));
    ASSERT_TRUE(AddDeviceRow(list, "B", 0, nullptr));
    {
        wxCriticalSectionLocker locker(frame->listLock);
        SetDeviceRowState(list, "A", nullptr, DEV_FASTBOOT_FLASHING, nullptr);
        SetDeviceRowState(list, "B", nullptr, DEV_RECOVERY_FLASHING, nullptr);
    }
    Pump();
    EXPECT_TRUE(frame->busyGauge->IsShown());
    EXPECT_FALSE(std::filesystem::exists("log")) << "showing the gauge writes no log";
    {
        wxCriticalSectionLocker locker(frame->listLock);
        SetDeviceRowState(list, "A", nullptr, DEV_PASS, nullptr);
    }
    Pump();
    EXPECT_TRUE(frame->busyGauge->IsShown()) << "one job still runs";
    {
        wxCriticalSectionLocker locker(frame->listLock);
        SetDeviceRowState(list, "B", nullptr, DEV_FAIL, nullptr);
    }
    Pump();
    EXPECT_FALSE(frame->busyGauge->IsShown());
    EXPECT_EQ(frame->busyGauge->GetValue(), 0);
    EXPECT_EQ(LogFileCount(), 1) << "the end of the last job writes the log file";
}

TEST_F(MainWindow, BusyEventWithoutDataChangesNothing) {
    wxCommandEvent event(EVT_BUSY_CHANGE, 0);
    frame->GetEventHandler()->ProcessEvent(event);
    EXPECT_FALSE(frame->busyGauge->IsShown());
}

TEST_F(MainWindow, StartGateKeepsASecondStartOut) {
    wxCommandEvent click(wxEVT_TOOL, ID_TOOL_START);
    ASSERT_EQ(frame->startGate.TryLock(), wxMUTEX_NO_ERROR);  // a Start path still runs
    frame->GetEventHandler()->ProcessEvent(click);
    EXPECT_EQ(frame->startGate.TryLock(), wxMUTEX_BUSY) << "the click must leave the gate to its holder";
    frame->startGate.Unlock();
}

TEST_F(MainWindow, IdleCloseAsksNothing) {
    frame->Close();
    Pump();
    EXPECT_TRUE(dialogs.empty());
    EXPECT_FALSE(FrameAlive());
    EXPECT_EQ(LogFileCount(), 1) << "closing writes the log file";
}

TEST_F(MainWindow, BusyCloseAnsweredNoStaysOpen) {
    auto* device = new KivDevice("BUSY1", "1", "1", DEV_CHECKING);
    IdleWorker worker;
    device->checkThread.set(&worker);
    {
        wxCriticalSectionLocker locker(frame->arrayLock);
        frame->devices.Add(device);
    }
    answer = wxNO;
    frame->Close();
    Pump();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message, "It's not complete! Close forcibly?");
    EXPECT_EQ(dialogs[0].caption, "Question");
    EXPECT_EQ(dialogs[0].style, wxYES_NO | wxICON_QUESTION);
    EXPECT_EQ(dialogs[0].parent, frame);
    EXPECT_TRUE(FrameAlive());

    device->checkThread = nullptr;
    frame->Close();
    Pump();
    EXPECT_EQ(dialogs.size(), 1u);
    EXPECT_FALSE(FrameAlive());
}

TEST_F(MainWindow, WorkerLogRecordsReachTheStoreThroughTheEventLoop) {
    const size_t before = wxGetApp().logStore->GetCount();
    std::thread worker([] {
        for (int i = 0; i < 20; ++i)
            wxGetApp().Log("W1", 0, LOG_LEVEL_INFO, L"step");
    });
    worker.join();
    EXPECT_EQ(wxGetApp().logStore->GetCount(), before) << "the store changes only on the GUI thread";
    Pump();
    EXPECT_EQ(wxGetApp().logStore->GetCount(), before + 20);
}

using FailedStartup = StationGui;

TEST_F(FailedStartup, ShowsTheErrorLogsItAndClosesUnshown) {
    // Runs instead of the window's own services: the first missing one ends the start-up.
    KivFrame::SetStartupForTesting(
        [](KivFrame& f) { f.FailStartup(ERR_NO_ADB_COMMANDER, "Can't build adb commander!"); });
    ASSERT_TRUE(wxTheApp->CallOnInit());
    KivFrame* failed = wxGetApp().frame;
    ASSERT_NE(failed, nullptr);
    EXPECT_FALSE(failed->IsShown());
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message, "Can't build adb commander!");
    EXPECT_EQ(dialogs[0].caption, "Error");
    EXPECT_EQ(dialogs[0].style, wxOK | wxICON_ERROR);
    EXPECT_EQ(dialogs[0].parent, nullptr);
    Pump();
    EXPECT_EQ(std::find(wxTopLevelWindows.begin(), wxTopLevelWindows.end(), failed), wxTopLevelWindows.end())
        << "the failed window is destroyed";
    EXPECT_EQ(wxGetApp().frame, nullptr);
    ASSERT_EQ(LogFileCount(), 1);
    std::ifstream in(std::filesystem::directory_iterator("log")->path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string narrow;
    for (size_t i = 2; i < bytes.size(); i += 2)
        narrow += bytes[i];
    const size_t failure = narrow.find("(0x00005001)\tCan't build adb commander!\r\n");
    const size_t close = narrow.find("(0x00000000)\tUser close tool\r\n");
    EXPECT_NE(failure, std::string::npos) << narrow;
    EXPECT_NE(close, std::string::npos) << narrow;
    EXPECT_LT(failure, close);
}

}  // namespace
