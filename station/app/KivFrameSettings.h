// The settings window and keeper of the settings: it owns the one SettingsValues record, loads it
// from "./settings.sxml" when it is built and writes it back when it is destroyed (with the main
// window). While it is shown the main window is disabled.
#pragma once
#include "KivSettingsForm.h"
#include "SettingsValues.h"

#include <wx/frame.h>

class wxButton;
class wxCheckBox;
class wxComboBox;
class wxRadioButton;
class wxTextCtrl;

enum {
    ID_SETTINGS_UPLOAD = 108,
    ID_SETTINGS_SAVE_XML_LOG = 109,
    ID_SETTINGS_TAVIO = 110,
    ID_SETTINGS_BROWSE = 111,
    ID_SETTINGS_OK = 112,
    ID_SETTINGS_CANCEL = 113,
};

class KivFrameSettings : public wxFrame {
public:
    KivFrameSettings(wxWindow* parent, const wxString& title);
    ~KivFrameSettings() override;

    bool ShowSettings();  // always true
    // Stays open (false from the location check) when the Save box is checked and the stored
    // result location is not usable; otherwise hides and enables the main window. Always true.
    bool HideSettings();

    void OnOk(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnBrowseResultDir(wxCommandEvent& event);
    void OnUploadResultChecked(wxCommandEvent& event);
    void OnSaveXmlLogChecked(wxCommandEvent& event);
    void OnServiceChecked(wxCommandEvent& event);

    bool CreateControls();  // always true
    bool LoadSettings();    // true when the file was read and its root element found
    bool SaveSettings();    // true when the file was written
    bool ControlsToValues();  // always true
    void ValuesToControls();
    // Shows the first failed check's message; true when the controls may be taken.
    bool ValidateControls();
    // The stored ResultPath must be an existing directory when the stored settings save or
    // upload the XML log; otherwise there is nothing to check.
    bool CheckXmlLogLocation();

    // What the controls hold.
    SettingsForm ControlsForm() const;

    wxCheckBox* uploadCheck = nullptr;
    wxTextCtrl* hostText = nullptr;
    wxTextCtrl* portText = nullptr;
    wxTextCtrl* userText = nullptr;
    wxTextCtrl* passwordText = nullptr;
    wxTextCtrl* pathText = nullptr;
    wxRadioButton* activeRadio = nullptr;
    wxRadioButton* passiveRadio = nullptr;
    wxCheckBox* saveCheck = nullptr;
    wxTextCtrl* locationText = nullptr;
    wxButton* locationButton = nullptr;
    wxTextCtrl* rebootText = nullptr;
    wxTextCtrl* installText = nullptr;
    wxTextCtrl* wipeText = nullptr;
    wxTextCtrl* intoAndroidText = nullptr;
    wxCheckBox* tavioCheck = nullptr;
    wxComboBox* tavioHostCombo = nullptr;

    // Workers read it under values.lock (values.Copy()).
    SettingsValues values;

private:
    void ApplyEnableRules();
    void OnShown(wxShowEvent& event);

    bool wantShown = false;

    wxDECLARE_EVENT_TABLE();
};
