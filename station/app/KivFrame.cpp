#include "KivFrame.h"

#include "KivApp.h"
#include "KivDeviceRows.h"
#include "KivEvents.h"
#include "KivHwDetector.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivResources.h"

#include <wx/bmpbuttn.h>
#include <wx/combobox.h>
#include <wx/gauge.h>
#include <wx/gbsizer.h>
#include <wx/imaglist.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>

#include "KivDialogs.h"

#include <memory>

// clang-format off
wxBEGIN_EVENT_TABLE(KivFrame, wxFrame)
    EVT_TOOL(wxID_ANY, KivFrame::OnToolClicked)
    EVT_COMBOBOX(ID_MODEL_COMBO, KivFrame::OnModelSelected)
    EVT_BUTTON(ID_IMAGE_BUTTON, KivFrame::OnBrowseImage)
    EVT_COMMAND(wxID_ANY, EVT_DEVICE_CHANGE, KivFrame::OnDeviceChangeEvent)
    EVT_COMMAND(wxID_ANY, EVT_DEVICE_CHANGE_MESSAGE, KivFrame::OnDeviceChangeMessage)
    EVT_COMMAND(wxID_ANY, EVT_BUSY_CHANGE, KivFrame::OnBusyChange)
    EVT_COMMAND(wxID_ANY, EVT_IMAGE_CHECK_DONE, KivFrame::OnImageCheckDone)
    EVT_CLOSE(KivFrame::OnClose)
wxEND_EVENT_TABLE()
// clang-format on

namespace {

std::function<void(KivFrame&)>& StartupForTesting() {
    static std::function<void(KivFrame&)> startup;
    return startup;
}

const wchar_t* const kStateImageNames[] = {L"USB", L"BLUE", L"BLUED", L"YELLOW", L"GREEN", L"RED"};

}  // namespace

void KivFrame::SetStartupForTesting(std::function<void(KivFrame&)> startup) {
    StartupForTesting() = std::move(startup);
}

KivFrame::KivFrame(const wxString& title)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE, "frame"),
      startGate(wxMUTEX_DEFAULT), pulseTimer(this) {
    // Message boxes below run nested event loops, and events of the program are posted to the frame.
    if (KivApp* app = KivApp::Get())
        app->frame = this;
    Bind(wxEVT_TIMER, &KivFrame::OnPulseTimer, this, pulseTimer.GetId());

    SetBackgroundColour(wxColour(240, 240, 240));
    wxIconBundle icons = LoadIconResource("MAIN");
    if (!icons.IsEmpty())
        SetIcons(icons);

    if (!BuildToolBar() || !CreateControls()) {
        FailStartup(ERR_GENERAL, "Generate user interface failure!");
        return;
    }
    Centre(wxBOTH);
    Maximize(true);
    settings = CreateSettingsWindow("Zelk Flash Tool Setting");

    if (StartupForTesting())
        StartupForTesting()(*this);
    else
        RunStartupServices();
}

KivFrame::~KivFrame() {
    pulseTimer.Stop();
    removalWorkers.WaitUntilNone();
    for (;;) {
        wxCriticalSectionLocker locker(arrayLock);
        if (devices.IsEmpty())
            break;
        KivDevice* device = devices.Last();
        devices.Remove(device);
        delete device;  // stops its workers and waits for their end
    }
    DeleteSharedServices();
    if (KivApp* app = KivApp::Get(); app && app->frame == this)
        app->frame = nullptr;
    if (deviceList) {
        DetachDeviceRows(deviceList);
        deviceList->SetImageList(nullptr, wxIMAGE_LIST_SMALL);
    }
    delete stateImages;
    stateImages = nullptr;
}

bool KivFrame::BuildToolBar() {
    wxToolBar* toolBar = CreateToolBar(wxTB_FLAT | wxTB_DOCKABLE | wxTB_TEXT, wxID_ANY, "toolbar");
    if (!toolBar)
        return false;
    const wxBitmap start = LoadBitmapResource("start");
    const wxBitmap remove = LoadBitmapResource("remove");
    const wxBitmap setting = LoadBitmapResource("setting");
    if (!start.IsOk() || !remove.IsOk() || !setting.IsOk())
        return false;
    toolBar->SetToolBitmapSize(setting.GetSize());
    toolBar->AddTool(ID_TOOL_SETTINGS, "Settings", setting, "Settings");
    toolBar->AddSeparator();
    toolBar->AddTool(ID_TOOL_START, "Start", start,
                     "Start to flash image for the selected devices\nThe device state must be connected");
    toolBar->AddTool(ID_TOOL_REMOVE, "Remove", remove,
                     "Remove the selected devices from list\nThe device state must be disconnected, pass, or fail");
    return toolBar->Realize();
}

bool KivFrame::CreateControls() {
    auto* staticLine = new wxStaticLine(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLI_HORIZONTAL,
                                        "staticLine");

    auto* modelLabel = new wxStaticText(this, wxID_ANY, "Model:", wxDefaultPosition, wxDefaultSize, 0,
                                        "staticText");
    wxArrayString models;
    for (const wchar_t* model : ModelChoices)
        models.Add(model);
    modelCombo = new wxComboBox(this, ID_MODEL_COMBO, wxEmptyString, wxDefaultPosition, wxDefaultSize, models,
                                wxCB_READONLY, wxDefaultValidator, "comboBox");
    modelCombo->SetSelection(0);

    auto* wipeLabel = new wxStaticText(this, wxID_ANY, "Wipe data:", wxDefaultPosition, wxDefaultSize, 0,
                                       "staticText");
    wipeYes = new wxRadioButton(this, wxID_ANY, "Yes", wxDefaultPosition, wxDefaultSize, wxRB_GROUP,
                                wxDefaultValidator, "radioButton");
    wipeNo = new wxRadioButton(this, wxID_ANY, "No", wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                               "radioButton");

    const wxBitmap package = LoadBitmapResource("package");
    if (!package.IsOk())
        return false;
    auto* imageButton = new wxBitmapButton(this, ID_IMAGE_BUTTON, package, wxDefaultPosition, wxDefaultSize,
                                           wxBU_AUTODRAW, wxDefaultValidator, "button");

    imagePathText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                   wxTE_READONLY, wxDefaultValidator, "text");

    deviceList = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxBORDER_THEME,
                                wxDefaultValidator, "listCtrl");
    deviceList->InsertColumn(KIV_COLUMN_SERIAL, "Serial Number", wxLIST_FORMAT_LEFT, 160);
    deviceList->InsertColumn(KIV_COLUMN_STATE, "State", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE_USEHEADER);
    deviceList->InsertColumn(KIV_COLUMN_DESCRIPTION, "Description", wxLIST_FORMAT_LEFT, 800);
    CreateStateImageList();
    deviceList->SetImageList(stateImages, wxIMAGE_LIST_SMALL);
    AttachDeviceRows(deviceList);

    busyGauge = new wxGauge(this, wxID_ANY, 100, wxDefaultPosition, wxSize(-1, 20), wxGA_HORIZONTAL,
                            wxDefaultValidator, "gauge");
    busyGauge->Hide();

    auto* modelBox = new wxBoxSizer(wxVERTICAL);
    modelBox->Add(modelLabel);
    modelBox->Add(modelCombo);

    auto* wipeGrid = new wxGridBagSizer(0, 0);
    wipeGrid->Add(wipeLabel, wxGBPosition(0, 0), wxGBSpan(1, 2));
    wipeGrid->Add(wipeYes, wxGBPosition(1, 0));
    wipeGrid->Add(wipeNo, wxGBPosition(1, 1));

    auto* topRow = new wxBoxSizer(wxHORIZONTAL);
    topRow->AddSpacer(5);
    topRow->Add(modelBox, 0, wxALIGN_CENTER_VERTICAL);
    topRow->AddSpacer(10);
    topRow->Add(wipeGrid, 0, wxALIGN_CENTER_VERTICAL);
    topRow->AddSpacer(10);
    topRow->Add(imageButton, 0, wxALIGN_CENTER_VERTICAL);
    topRow->Add(imagePathText, 1, wxALIGN_CENTER_VERTICAL);

    mainSizer = new wxBoxSizer(wxVERTICAL);
    mainSizer->Add(staticLine, 0, wxEXPAND);
    mainSizer->Add(topRow, 0, wxEXPAND);
    mainSizer->Add(deviceList, 1, wxEXPAND);
    mainSizer->Add(busyGauge, 0, wxEXPAND);
    SetSizer(mainSizer);

    wxCommandEvent blank(wxEVT_COMBOBOX, ID_MODEL_COMBO);
    OnModelSelected(blank);
    return true;
}

bool KivFrame::CreateStateImageList() {
    stateImages = new wxImageList(32, 32, true);
    for (const wchar_t* name : kStateImageNames)
        stateImages->Add(LoadBitmapResource(name));
    return true;
}

bool KivFrame::IsAnyDeviceBusy() {
    wxCriticalSectionLocker locker(arrayLock);
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        KivDevice* device = devices[i];
        wxCriticalSectionLocker deviceLocker(device->lock);
        if (device->IsBusy())
            return true;
    }
    return false;
}

void KivFrame::OnToolClicked(wxCommandEvent& event) {
    switch (event.GetId()) {
    case ID_TOOL_START:
        if (startGate.TryLock() == wxMUTEX_NO_ERROR)
            StartFlash();  // the Start path releases the gate
        break;
    case ID_TOOL_REMOVE:
        RemoveSelectedDevices();
        break;
    case ID_TOOL_SETTINGS:
        ShowSettingsWindow();
        break;
    default:
        break;
    }
}

void KivFrame::OnBusyChange(wxCommandEvent& event) {
    std::unique_ptr<bool> busy(static_cast<bool*>(event.GetClientData()));
    if (!busy)
        return;
    if (*busy && !busyGauge->IsShown()) {
        busyGauge->Pulse();
        pulseTimer.Start(100);
        busyGauge->Show();
        mainSizer->Layout();
    } else if (!*busy && busyGauge->IsShown()) {
        wxGetApp().SaveLog();
        pulseTimer.Stop();
        busyGauge->SetValue(0);
        busyGauge->Hide();
        mainSizer->Layout();
    }
}

void KivFrame::OnPulseTimer(wxTimerEvent&) {
    if (busyGauge && busyGauge->IsShown())
        busyGauge->Pulse();
}

void KivFrame::OnClose(wxCloseEvent& event) {
    if (IsAnyDeviceBusy()) {
        const int answer = KivMessageBox("It's not complete! Close forcibly?", "Question",
                                         wxYES_NO | wxICON_QUESTION, this);
        if (answer != wxYES && event.CanVeto()) {
            event.Veto();
            return;
        }
    }
    wxGetApp().Log(wxEmptyString, 0, LOG_LEVEL_INFO, L"User close tool");
    wxGetApp().SaveLog();
    Destroy();
}

void KivFrame::FailStartup(uint32_t code, const wxString& text) {
    KivMessageBox(text, "Error", wxOK | wxICON_ERROR, nullptr);
    wxGetApp().Log(wxEmptyString, code, LOG_LEVEL_ERROR, text.wc_str());
    Close(false);
}
