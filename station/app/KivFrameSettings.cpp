#include "KivFrameSettings.h"

#include "KivDialogs.h"
#include "KivFrame.h"
#include "KivResources.h"
#include "KivSettingsFile.h"

#include "Paths.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/dirdlg.h>
#include <wx/gbsizer.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

// clang-format off
wxBEGIN_EVENT_TABLE(KivFrameSettings, wxFrame)
    EVT_CLOSE(KivFrameSettings::OnClose)
    EVT_BUTTON(ID_SETTINGS_BROWSE, KivFrameSettings::OnBrowseResultDir)
    EVT_BUTTON(ID_SETTINGS_OK, KivFrameSettings::OnOk)
    EVT_BUTTON(ID_SETTINGS_CANCEL, KivFrameSettings::OnCancel)
    EVT_CHECKBOX(ID_SETTINGS_UPLOAD, KivFrameSettings::OnUploadResultChecked)
    EVT_CHECKBOX(ID_SETTINGS_SAVE_XML_LOG, KivFrameSettings::OnSaveXmlLogChecked)
    EVT_CHECKBOX(ID_SETTINGS_TAVIO, KivFrameSettings::OnServiceChecked)
wxEND_EVENT_TABLE()
// clang-format on

namespace {

constexpr long kStyle = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxFRAME_FLOAT_ON_PARENT;

void ShowError(const wxString& text) { KivMessageBox(text, "Error", wxOK | wxICON_ERROR, nullptr); }

}  // namespace

KivFrameSettings::KivFrameSettings(wxWindow* parent, const wxString& title)
    : wxFrame(parent, wxID_ANY, title, wxDefaultPosition, wxSize(600, 560), kStyle, "frame") {
    wxIconBundle icons = LoadIconResource("MAIN");
    if (!icons.IsEmpty())
        SetIcons(icons);
    SetBackgroundColour(wxColour(240, 240, 240));
    Bind(wxEVT_SHOW, &KivFrameSettings::OnShown, this);
    CreateControls();
    LoadSettings();
    ValuesToControls();
    Centre(wxBOTH);
}

KivFrameSettings::~KivFrameSettings() { SaveSettings(); }

bool KivFrameSettings::CreateControls() {
    auto* panel = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxSize(600, 560), wxHSCROLL | wxVSCROLL);
    panel->SetScrollRate(10, 10);
    auto* frameSizer = new wxBoxSizer(wxVERTICAL);
    frameSizer->Add(panel, 1, wxEXPAND);
    SetSizer(frameSizer);

    auto* grid = new wxGridBagSizer(5, 5);
    std::vector<wxWindow*> hidden;
    auto label = [&](const wxString& text, int row, int column, bool shown) {
        auto* l = new wxStaticText(panel, wxID_ANY, text);
        grid->Add(l, wxGBPosition(row, column), wxDefaultSpan, wxALIGN_CENTER_VERTICAL);
        if (!shown)
            hidden.push_back(l);
        return l;
    };
    auto digits = [&](int width, unsigned long maxLength) {
        auto* t = new wxTextCtrl(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(width, -1), 0,
                                 wxTextValidator(wxFILTER_DIGITS));
        t->SetMaxLength(maxLength);
        return t;
    };
    auto wide = [&](wxWindow* control, int row, int column, int columns) {
        grid->Add(control, wxGBPosition(row, column), wxGBSpan(1, columns), wxEXPAND | wxALIGN_CENTER_VERTICAL);
    };

    grid->Add(new wxStaticText(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(10, 10)), wxGBPosition(0, 0));

    uploadCheck = new wxCheckBox(panel, ID_SETTINGS_UPLOAD, "Upload XML log to FTP (Note1)");
    grid->Add(uploadCheck, wxGBPosition(1, 1), wxGBSpan(1, 5));
    label("Host:", 2, 2, false);
    hostText = new wxTextCtrl(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(250, -1));
    wide(hostText, 2, 3, 1);
    label("Port:", 2, 4, false);
    portText = digits(50, 5);
    grid->Add(portText, wxGBPosition(2, 5), wxDefaultSpan, wxALIGN_CENTER_VERTICAL);
    label("User:", 3, 2, false);
    userText = new wxTextCtrl(panel, wxID_ANY);
    wide(userText, 3, 3, 3);
    label("Password:", 4, 2, false);
    passwordText = new wxTextCtrl(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxTE_PASSWORD);
    wide(passwordText, 4, 3, 3);
    label("Path:", 5, 2, false);
    pathText = new wxTextCtrl(panel, wxID_ANY);
    wide(pathText, 5, 3, 3);

    auto* transferRow = new wxBoxSizer(wxHORIZONTAL);
    auto* transferLabel = new wxStaticText(panel, wxID_ANY, "Transfer mode:");
    activeRadio = new wxRadioButton(panel, wxID_ANY, "Active", wxDefaultPosition, wxDefaultSize, wxRB_GROUP);
    passiveRadio = new wxRadioButton(panel, wxID_ANY, "Passive");
    transferRow->Add(transferLabel, 0, wxALIGN_CENTER_VERTICAL);
    transferRow->Add(activeRadio, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 5);
    transferRow->Add(passiveRadio, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 5);
    grid->Add(transferRow, wxGBPosition(6, 2), wxGBSpan(1, 4));

    saveCheck = new wxCheckBox(panel, ID_SETTINGS_SAVE_XML_LOG, "Save XML log (Note1)");
    grid->Add(saveCheck, wxGBPosition(7, 1), wxGBSpan(1, 5));
    label("Location:", 8, 2, true);
    auto* locationRow = new wxBoxSizer(wxHORIZONTAL);
    locationText = new wxTextCtrl(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    // 20 pixels wide, or as wide as the theme needs for its text and padding.
    locationButton = new wxButton(panel, ID_SETTINGS_BROWSE, "...", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    locationButton->SetMinSize(wxSize(std::max(20, locationButton->GetBestSize().GetWidth()), -1));
    locationRow->Add(locationText, 1, wxALIGN_CENTER_VERTICAL);
    locationRow->Add(locationButton, 0, wxALIGN_CENTER_VERTICAL);
    grid->Add(locationRow, wxGBPosition(8, 3), wxGBSpan(1, 3), wxEXPAND);

    auto* timeoutTitle = new wxStaticText(panel, wxID_ANY, "Timeout");
    grid->Add(timeoutTitle, wxGBPosition(9, 1), wxGBSpan(1, 5));
    struct Limit {
        const char* label;
        wxTextCtrl** text;
    } limits[] = {
        {"Reboot:", &rebootText},
        {"Install image (Note2):", &installText},
        {"Wipe data (Note2):", &wipeText},
        {"Into Android:", &intoAndroidText},
    };
    int row = 10;
    std::vector<wxWindow*> secondsLabels;
    for (const Limit& limit : limits) {
        label(limit.label, row, 2, false);
        *limit.text = digits(40, 4);
        auto* seconds = new wxStaticText(panel, wxID_ANY, " seconds");
        secondsLabels.push_back(seconds);
        auto* limitRow = new wxBoxSizer(wxHORIZONTAL);
        limitRow->Add(*limit.text, 0, wxALIGN_CENTER_VERTICAL);
        limitRow->Add(seconds, 0, wxALIGN_CENTER_VERTICAL);
        grid->Add(limitRow, wxGBPosition(row, 3), wxGBSpan(1, 3));
        ++row;
    }

    tavioCheck = new wxCheckBox(panel, ID_SETTINGS_TAVIO, "Tavio (Note1)");
    grid->Add(tavioCheck, wxGBPosition(14, 1), wxGBSpan(1, 5));
    label("Host:", 15, 2, false);
    wxArrayString hosts;
    for (int i = 0; i < SettingsData::kTavioHostCount; ++i)
        hosts.Add(SettingsData::TavioHostAt(i));
    tavioHostCombo = new wxComboBox(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, hosts,
                                    wxCB_READONLY);
    wide(tavioHostCombo, 15, 3, 3);

    grid->Add(new wxStaticText(panel, wxID_ANY, wxString(' ', 139)), wxGBPosition(17, 1), wxGBSpan(1, 5));
    auto* line = new wxStaticLine(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLI_HORIZONTAL);
    grid->Add(line, wxGBPosition(18, 1), wxGBSpan(1, 5), wxEXPAND);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(new wxButton(panel, ID_SETTINGS_OK, "OK"));
    buttons->Add(new wxButton(panel, ID_SETTINGS_CANCEL, "Cancel"), 0, wxLEFT, 5);
    grid->Add(buttons, wxGBPosition(19, 1), wxGBSpan(1, 5), wxALIGN_CENTER_HORIZONTAL);
    grid->Add(new wxStaticText(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(10, 10)),
              wxGBPosition(19, 6));
    panel->SetSizer(grid);

    // Only the Save group and the buttons are shown; the other groups keep their values hidden.
    hidden.insert(hidden.end(), {uploadCheck, hostText, portText, userText, passwordText, pathText, transferLabel,
                                 activeRadio, passiveRadio, timeoutTitle, rebootText, installText, wipeText,
                                 intoAndroidText, tavioCheck, tavioHostCombo, line});
    hidden.insert(hidden.end(), secondsLabels.begin(), secondsLabels.end());
    for (wxWindow* w : hidden)
        w->Hide();
    panel->FitInside();
    return true;
}

bool KivFrameSettings::ShowSettings() {
    if (wxWindow* parent = GetParent())
        parent->Disable();
    ValuesToControls();
    wantShown = true;
    Show();
    return true;
}

bool KivFrameSettings::HideSettings() {
    // The log is written also when it is only uploaded.
    if ((saveCheck->GetValue() || uploadCheck->GetValue()) && !CheckXmlLogLocation())
        return true;
    wantShown = false;
    Hide();
    if (wxWindow* parent = GetParent()) {
        parent->Enable();
        parent->Raise();
    }
    return true;
}

bool KivFrameSettings::CheckXmlLogLocation() {
    bool applies;
    std::wstring path;
    {
        std::lock_guard<std::mutex> guard(values.lock);
        applies = values.SaveXmlLog || values.UploadResult;
        path = values.ResultPath;
    }
    if (!applies || plat::DirectoryExists(path))
        return true;
    ShowError("The XML log location doesn't exist.");
    return false;
}

// wxGTK marks a window shown when its map notice arrives, also when it was hidden again before
// (shown and hidden at once at start-up); it would then never show again.
void KivFrameSettings::OnShown(wxShowEvent& event) {
    event.Skip();
    if (event.IsShown() && !wantShown)
        Hide();
}

void KivFrameSettings::OnOk(wxCommandEvent&) {
    if (!ValidateControls())
        return;
    ControlsToValues();
    HideSettings();
}

void KivFrameSettings::OnCancel(wxCommandEvent&) { HideSettings(); }

// The close box hides the window like Cancel; it is destroyed only with the main window.
void KivFrameSettings::OnClose(wxCloseEvent&) { HideSettings(); }

void KivFrameSettings::OnBrowseResultDir(wxCommandEvent&) {
    wxString dir;
    if (KivChooseDirectory(this, "Selet result directory", wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST, &dir))
        locationText->SetValue(dir);
}

void KivFrameSettings::OnUploadResultChecked(wxCommandEvent&) { ApplyEnableRules(); }
void KivFrameSettings::OnSaveXmlLogChecked(wxCommandEvent&) { ApplyEnableRules(); }
void KivFrameSettings::OnServiceChecked(wxCommandEvent&) { ApplyEnableRules(); }

void KivFrameSettings::ApplyEnableRules() {
    const bool upload = uploadCheck->GetValue();
    for (wxWindow* w : std::initializer_list<wxWindow*>{hostText, portText, userText, passwordText, pathText,
                                                        activeRadio, passiveRadio})
        w->Enable(upload);
    // The log is written into the location also when it is only uploaded.
    const bool writesLog = saveCheck->GetValue() || upload;
    locationText->Enable(writesLog);
    locationButton->Enable(writesLog);
    tavioHostCombo->Enable(tavioCheck->GetValue());
}

SettingsForm KivFrameSettings::ControlsForm() const {
    SettingsForm f;
    f.upload = uploadCheck->GetValue();
    f.host = hostText->GetValue().ToStdWstring();
    f.port = portText->GetValue().ToStdWstring();
    f.user = userText->GetValue().ToStdWstring();
    f.password = passwordText->GetValue().ToStdWstring();
    f.uploadPath = pathText->GetValue().ToStdWstring();
    f.passive = passiveRadio->GetValue();
    f.save = saveCheck->GetValue();
    f.location = locationText->GetValue().ToStdWstring();
    f.reboot = rebootText->GetValue().ToStdWstring();
    f.install = installText->GetValue().ToStdWstring();
    f.wipe = wipeText->GetValue().ToStdWstring();
    f.intoAndroid = intoAndroidText->GetValue().ToStdWstring();
    f.tavio = tavioCheck->GetValue();
    f.tavioSelection = tavioHostCombo->GetSelection();
    f.tavioText = tavioHostCombo->GetValue().ToStdWstring();
    return f;
}

bool KivFrameSettings::ValidateControls() {
    const std::wstring error = SettingsFormError(ControlsForm());
    if (error.empty())
        return true;
    ShowError(error);
    return false;
}

bool KivFrameSettings::ControlsToValues() {
    SettingsData v;
    SettingsFormToValues(ControlsForm(), v);
    values.Assign(v);
    return true;
}

void KivFrameSettings::ValuesToControls() {
    const SettingsForm f = SettingsFormFromValues(values.Copy());
    uploadCheck->SetValue(f.upload);
    hostText->ChangeValue(f.host);
    portText->ChangeValue(f.port);
    userText->ChangeValue(f.user);
    passwordText->ChangeValue(f.password);
    pathText->ChangeValue(f.uploadPath);
    activeRadio->SetValue(!f.passive);
    passiveRadio->SetValue(f.passive);
    saveCheck->SetValue(f.save);
    locationText->ChangeValue(f.location);
    rebootText->ChangeValue(f.reboot);
    installText->ChangeValue(f.install);
    wipeText->ChangeValue(f.wipe);
    intoAndroidText->ChangeValue(f.intoAndroid);
    tavioCheck->SetValue(f.tavio);
    const bool listed = f.tavioSelection >= 0 && unsigned(f.tavioSelection) < tavioHostCombo->GetCount();
    tavioHostCombo->SetSelection(listed ? f.tavioSelection : wxNOT_FOUND);
    ApplyEnableRules();
}

bool KivFrameSettings::LoadSettings() { return LoadSettingsFile(values); }

bool KivFrameSettings::SaveSettings() { return SaveSettingsFile(values); }

// The main window's side.

KivFrameSettings* KivFrame::CreateSettingsWindow(const wxString& title) { return new KivFrameSettings(this, title); }

void KivFrame::ShowSettingsWindow() {
    if (settings)
        settings->ShowSettings();
}
