#include "KivFrameSettings.h"
#include "KivSettingsFile.h"
#include "StationGui.h"

#include "RylCrypto.h"
#include "Text.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/dirdlg.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

class SettingsWindow : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        ASSERT_NE(frame->settings, nullptr);
        s = frame->settings;
    }

    void Click(int id) {
        wxWindow* button = s->FindWindow(id);
        ASSERT_NE(button, nullptr) << id;
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(button);
        button->GetEventHandler()->ProcessEvent(event);
    }
    void Tick(wxCheckBox* box, bool on) {
        box->SetValue(on);
        wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
        event.SetInt(on);
        event.SetEventObject(box);
        box->GetEventHandler()->ProcessEvent(event);
    }
    std::vector<wxString> Messages() const {
        std::vector<wxString> texts;
        for (const KivDialogRequest& r : dialogs) {
            if (r.kind == KivDialogRequest::Message) {
                EXPECT_EQ(r.caption, "Error");
                EXPECT_TRUE(r.style & wxICON_ERROR);
                EXPECT_EQ(r.parent, nullptr);
                texts.push_back(r.message);
            }
        }
        return texts;
    }
    // A settings file in the current directory, as the next settings window will read it.
    static void WriteSettingsFile(const SettingsData& v) {
        std::wstring text = MakeSettingsText(v), name = kSettingsFileName;
        ASSERT_EQ(RylCrypto::Encrypt(nullptr, &text, &name, RylCrypto::RYLCRYPTO_OUTPUT_FILE, 0), 0);
    }
    std::string MakeDir(const char* name) const {
        const std::string dir = workDir + "/" + name;
        std::filesystem::create_directories(dir);
        return dir;
    }

    KivFrameSettings* s = nullptr;
};

bool IsTopLevel(wxWindow* w) {
    for (wxWindow* t : wxTopLevelWindows)
        if (t == w)
            return true;
    return false;
}

TEST_F(SettingsWindow, BuiltHiddenWithTheDefaults) {
    EXPECT_EQ(s->GetParent(), frame);
    EXPECT_EQ(s->GetTitle(), "Zelk Flash Tool Setting");
    EXPECT_EQ(s->GetName(), "frame");
    EXPECT_FALSE(s->IsShown());
    EXPECT_TRUE(s->HasFlag(wxFRAME_FLOAT_ON_PARENT));
    EXPECT_TRUE(s->HasFlag(wxCLOSE_BOX));
    EXPECT_FALSE(s->HasFlag(wxRESIZE_BORDER));
    EXPECT_FALSE(s->HasFlag(wxMINIMIZE_BOX));
    EXPECT_FALSE(s->HasFlag(wxMAXIMIZE_BOX));
    EXPECT_EQ(s->GetBackgroundColour(), wxColour(240, 240, 240));
    EXPECT_TRUE(s->GetIcon().IsOk());
    EXPECT_FALSE(std::filesystem::exists("settings.sxml"));

    EXPECT_EQ(s->values.Copy(), SettingsData());
    EXPECT_FALSE(s->saveCheck->GetValue());
    EXPECT_EQ(s->locationText->GetValue(), "");
    EXPECT_EQ(s->hostText->GetValue(), SettingsData().Ftp.Host);
    EXPECT_EQ(s->portText->GetValue(), "21");
    EXPECT_EQ(s->passwordText->GetValue(), "qHtWmRbN");
    EXPECT_TRUE(s->activeRadio->GetValue());
    EXPECT_FALSE(s->passiveRadio->GetValue());
    EXPECT_EQ(s->rebootText->GetValue(), "180");
    EXPECT_EQ(s->installText->GetValue(), "1500");
    EXPECT_EQ(s->wipeText->GetValue(), "1500");
    EXPECT_EQ(s->intoAndroidText->GetValue(), "300");
    EXPECT_EQ(s->tavioHostCombo->GetSelection(), 0);
}

TEST_F(SettingsWindow, OnlyTheSaveGroupIsShown) {
    s->ShowSettings();
    EXPECT_TRUE(s->IsShown());
    EXPECT_FALSE(frame->IsEnabled());

    EXPECT_EQ(s->saveCheck->GetId(), 109);
    EXPECT_EQ(s->saveCheck->GetLabel(), "Save XML log (Note1)");
    EXPECT_EQ(s->uploadCheck->GetId(), 108);
    EXPECT_EQ(s->uploadCheck->GetLabel(), "Upload XML log to FTP (Note1)");
    EXPECT_EQ(s->tavioCheck->GetId(), 110);
    EXPECT_EQ(s->tavioCheck->GetLabel(), "Tavio (Note1)");
    EXPECT_EQ(s->locationButton->GetId(), 111);
    EXPECT_EQ(s->locationButton->GetLabel(), "...");
    EXPECT_FALSE(s->locationText->IsEditable());
    EXPECT_TRUE(s->passwordText->HasFlag(wxTE_PASSWORD));
    EXPECT_TRUE(s->tavioHostCombo->HasFlag(wxCB_READONLY));
    ASSERT_EQ(s->tavioHostCombo->GetCount(), 5u);
    for (unsigned i = 0; i < 5; ++i)
        EXPECT_EQ(s->tavioHostCombo->GetString(i), SettingsData::TavioHostAt(i));

    for (wxWindow* w : std::initializer_list<wxWindow*>{s->saveCheck, s->locationText, s->locationButton,
                                                        s->FindWindow(112), s->FindWindow(113)})
        EXPECT_TRUE(w && w->IsShownOnScreen()) << (w ? w->GetLabel() : "missing");
    // The "..." button is given at least the room its text and the theme's padding need.
    auto* probe = new wxButton(s, wxID_ANY, "...", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    const int needed = probe->GetBestSize().GetWidth();
    probe->Destroy();
    EXPECT_GE(s->locationButton->GetSize().GetWidth(), std::max(20, needed));
    EXPECT_EQ(s->FindWindow(112)->GetLabel(), "OK");
    EXPECT_EQ(s->FindWindow(113)->GetLabel(), "Cancel");
    for (wxWindow* w : std::initializer_list<wxWindow*>{
             s->uploadCheck, s->hostText, s->portText, s->userText, s->passwordText, s->pathText, s->activeRadio,
             s->passiveRadio, s->rebootText, s->installText, s->wipeText, s->intoAndroidText, s->tavioCheck,
             s->tavioHostCombo})
        EXPECT_FALSE(w->IsShown()) << w->GetLabel();

    // Shown labels: "Location:" and the note, which is all blanks.
    std::vector<wxString> shownLabels;
    std::function<void(wxWindow*)> walk = [&](wxWindow* parent) {
        for (wxWindow* child : parent->GetChildren()) {
            if (auto* label = dynamic_cast<wxStaticText*>(child); label && label->IsShown() &&
                                                                   !label->GetLabel().empty())
                shownLabels.push_back(label->GetLabel());
            walk(child);
        }
    };
    walk(s);
    EXPECT_EQ(shownLabels, (std::vector<wxString>{"Location:", wxString(' ', 139)}));
}

TEST_F(SettingsWindow, EnableRulesFollowTheirCheckBoxes) {
    const std::vector<wxWindow*> uploadGroup = {s->hostText,     s->portText,    s->userText,    s->passwordText,
                                                s->pathText,     s->activeRadio, s->passiveRadio};
    for (bool on : {true, false, true}) {
        Tick(s->uploadCheck, on);
        for (wxWindow* w : uploadGroup)
            EXPECT_EQ(w->IsEnabled(), on);
        // The upload writes the log into the location too.
        EXPECT_EQ(s->locationText->IsEnabled(), on);
        EXPECT_EQ(s->locationButton->IsEnabled(), on);
        EXPECT_FALSE(s->tavioHostCombo->IsEnabled());
    }
    Tick(s->uploadCheck, false);
    for (bool on : {true, false}) {
        Tick(s->saveCheck, on);
        EXPECT_EQ(s->locationText->IsEnabled(), on);
        EXPECT_EQ(s->locationButton->IsEnabled(), on);
        Tick(s->tavioCheck, on);
        EXPECT_EQ(s->tavioHostCombo->IsEnabled(), on);
        EXPECT_FALSE(s->hostText->IsEnabled());
    }
    // Opening the window applies the rules to the record's values again.
    s->ShowSettings();
    for (wxWindow* w : uploadGroup)
        EXPECT_FALSE(w->IsEnabled());
    EXPECT_FALSE(s->uploadCheck->GetValue());
    s->HideSettings();
}

TEST_F(SettingsWindow, BrowseAndOkChangeTheRecordAtOnceAndTheFileAtExit) {
    const std::string dir = MakeDir("results");
    KivSetDialogHandlerForTesting([&](const KivDialogRequest& request) {
        dialogs.push_back(request);
        KivDialogAnswer reply;
        reply.chosen = true;
        reply.path = dir;
        return reply;
    });
    s->ShowSettings();
    Tick(s->saveCheck, true);
    Click(111);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, KivDialogRequest::ChooseDirectory);
    EXPECT_EQ(dialogs[0].message, "Selet result directory");
    EXPECT_TRUE(dialogs[0].style & wxDD_DIR_MUST_EXIST);
    EXPECT_EQ(dialogs[0].parent, s);
    EXPECT_EQ(s->locationText->GetValue(), dir);
    EXPECT_FALSE(s->values.Copy().SaveXmlLog);  // only OK takes the controls

    Click(112);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(s->IsShown());
    EXPECT_TRUE(frame->IsEnabled());
    SettingsData expected;
    expected.SaveXmlLog = true;
    expected.ResultPath = plat::WideFromNarrow(dir);
    EXPECT_EQ(s->values.Copy(), expected);
    EXPECT_FALSE(std::filesystem::exists("settings.sxml"));

    // The window goes with the main window and writes the file.
    answer = wxYES;
    frame->Close(true);
    Pump();
    ASSERT_FALSE(FrameAlive());
    ASSERT_TRUE(std::filesystem::exists("settings.sxml"));
    SettingsValues saved;
    ASSERT_TRUE(LoadSettingsFile(saved));
    EXPECT_EQ(saved.Copy(), expected);
}

TEST_F(SettingsWindow, BrowseCancelledKeepsTheLocation) {
    KivSetDialogHandlerForTesting([&](const KivDialogRequest& request) {
        dialogs.push_back(request);
        return KivDialogAnswer();
    });
    s->ShowSettings();
    Tick(s->saveCheck, true);
    s->locationText->ChangeValue("/before");
    Click(111);
    EXPECT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(s->locationText->GetValue(), "/before");
    s->HideSettings();
}

TEST_F(SettingsWindow, OkRefusesInvalidControls) {
    s->ShowSettings();
    Tick(s->saveCheck, true);
    Click(112);
    Tick(s->saveCheck, false);
    s->uploadCheck->SetValue(true);
    s->hostText->ChangeValue("");
    Click(112);
    s->hostText->ChangeValue("h");
    s->rebootText->ChangeValue("1801");
    Click(112);
    EXPECT_EQ(Messages(), (std::vector<wxString>{"The path has to be not empty.", "The host has to be not empty.",
                                                 "The timeout has to be a value from 0 to 1800."}));
    EXPECT_TRUE(s->IsShown());
    EXPECT_FALSE(frame->IsEnabled());
    EXPECT_EQ(s->values.Copy(), SettingsData());
    EXPECT_EQ(s->rebootText->GetValue(), "1801");  // the operator's input stays
    Click(113);
    EXPECT_FALSE(s->IsShown());
}

TEST_F(SettingsWindow, CancelAndCloseBoxKeepTheRecord) {
    s->ShowSettings();
    // Ticking Save with no location and pressing Cancel must not keep the window open.
    Tick(s->saveCheck, true);
    s->hostText->ChangeValue("changed");
    Click(113);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(s->IsShown());
    EXPECT_TRUE(frame->IsEnabled());
    EXPECT_EQ(s->values.Copy(), SettingsData());

    s->ShowSettings();
    EXPECT_FALSE(s->saveCheck->GetValue());
    EXPECT_EQ(s->hostText->GetValue(), SettingsData().Ftp.Host);

    s->passiveRadio->SetValue(true);
    EXPECT_TRUE(s->Close(false));
    Pump();
    EXPECT_TRUE(IsTopLevel(s));  // hidden, never destroyed
    EXPECT_FALSE(s->IsShown());
    EXPECT_TRUE(frame->IsEnabled());
    EXPECT_FALSE(s->values.Copy().Ftp.TransforMode);
}

TEST_F(SettingsWindow, LoadsTheFileWhenBuilt) {
    SettingsData v;
    v.SaveXmlLog = true;
    v.ResultPath = plat::WideFromNarrow(MakeDir("loaded"));
    v.Ftp.Host = L"h<&>";
    v.Ftp.Port = 2121;
    v.Ftp.TransforMode = true;
    v.Timeout.WipeTimeout = 5000;  // above what the keyboard allows: shown and kept
    v.Tavio = true;
    v.TavioHostIndex = 3;
    WriteSettingsFile(v);
    auto* other = new KivFrameSettings(frame, "other");
    EXPECT_EQ(other->values.Copy(), v);
    EXPECT_TRUE(other->saveCheck->GetValue());
    EXPECT_TRUE(other->locationText->IsEnabled());
    EXPECT_FALSE(other->uploadCheck->GetValue());
    EXPECT_EQ(other->hostText->GetValue(), "h<&>");
    EXPECT_EQ(other->portText->GetValue(), "2121");
    EXPECT_TRUE(other->passiveRadio->GetValue());
    EXPECT_FALSE(other->activeRadio->GetValue());
    EXPECT_EQ(other->wipeText->GetValue(), "5000");
    EXPECT_EQ(other->tavioHostCombo->GetSelection(), 3);
    EXPECT_TRUE(other->tavioHostCombo->IsEnabled());
    EXPECT_FALSE(other->hostText->IsEnabled());

    other->ShowSettings();
    wxCommandEvent ok(wxEVT_BUTTON, ID_SETTINGS_OK);
    other->OnOk(ok);
    EXPECT_FALSE(other->IsShown());
    EXPECT_EQ(other->values.Copy(), v);
    other->Destroy();
    Pump();
}

// The location check at start-up (show, then hide at once) and at every hiding.
TEST_F(SettingsWindow, LocationCheckAppliesOnlyWhenTheStoredSettingsWriteTheLog) {
    const std::string existing = MakeDir("logs");
    struct Case {
        const char* what;
        bool save, upload;
        std::string path;
        bool stays;
    } cases[] = {
        {"saving into a missing directory", true, false, workDir + "/missing", true},
        {"saving into an empty location", true, false, "", true},
        {"uploading with a missing directory", true, true, workDir + "/missing", true},
        {"saving into an existing directory", true, false, existing, false},
        {"nothing written", false, false, "", false},
        {"only uploading into an empty location", false, true, "", true},
        {"only uploading with a missing directory", false, true, workDir + "/missing", true},
        {"only uploading with an existing directory", false, true, existing, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dialogs.clear();
        SettingsData v;
        v.SaveXmlLog = c.save;
        v.UploadResult = c.upload;
        v.ResultPath = plat::WideFromNarrow(c.path);
        WriteSettingsFile(v);
        auto* other = new KivFrameSettings(frame, "other");
        other->ShowSettings();
        other->HideSettings();
        EXPECT_EQ(other->IsShown(), c.stays);
        EXPECT_EQ(frame->IsEnabled(), !c.stays);
        EXPECT_EQ(Messages(), c.stays ? std::vector<wxString>{"The XML log location doesn't exist."}
                                      : std::vector<wxString>{});
        if (c.stays) {
            // Unticking Save and Upload lets the operator out; the record is unchanged.
            Tick(other->saveCheck, false);
            Tick(other->uploadCheck, false);
            wxCommandEvent cancel(wxEVT_BUTTON, ID_SETTINGS_CANCEL);
            other->OnCancel(cancel);
            EXPECT_FALSE(other->IsShown());
            EXPECT_TRUE(frame->IsEnabled());
            EXPECT_EQ(other->values.Copy(), v);
        }
        other->Destroy();
        Pump();
    }
}

TEST_F(SettingsWindow, ExitWritesTheDefaultsWithoutAFile) {
    answer = wxYES;
    frame->Close(true);
    Pump();
    ASSERT_FALSE(FrameAlive());
    std::wstring text, name = kSettingsFileName;
    ASSERT_EQ(RylCrypto::Decrypt(nullptr, &name, &text, RylCrypto::RYLCRYPTO_INPUT_FILE, 0), 0);
    EXPECT_EQ(text, MakeSettingsText(SettingsData()));
}

// At start-up the window is shown and hidden at once; it must stay hidden, and open again later.
TEST_F(SettingsWindow, StartupShowAndHideLeavesItClosedAndReady) {
    int shownEvents = 0;
    s->Bind(wxEVT_SHOW, [&](wxShowEvent& event) {
        event.Skip();
        if (event.IsShown())
            ++shownEvents;
    });
    s->ShowSettings();
    s->HideSettings();
    Pump();
    EXPECT_FALSE(s->IsShown());
    EXPECT_TRUE(frame->IsEnabled());
    shownEvents = 0;
    s->ShowSettings();
    Pump();
    EXPECT_TRUE(s->IsShown());
    EXPECT_GE(shownEvents, 1);
    EXPECT_FALSE(frame->IsEnabled());
    s->HideSettings();
    Pump();
    EXPECT_FALSE(s->IsShown());
}

}  // namespace
