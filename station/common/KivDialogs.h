// Every message box and file or directory dialog of the station goes through here, so that tests
// can answer them.
#pragma once
#include <wx/string.h>

#include <functional>

class wxWindow;

struct KivDialogRequest {
    enum Kind { Message, OpenFile, ChooseDirectory };
    Kind kind = Message;
    wxString message;   // message text, or the dialog's title/prompt
    wxString caption;   // message boxes
    long style = 0;     // wxMessageBox style, or the wxFD_* / wxDD_* style
    wxString wildcard;  // open-file dialogs
    wxWindow* parent = nullptr;
};

struct KivDialogAnswer {
    int button = 0;  // message boxes: wxYES, wxNO, wxOK or wxCANCEL
    bool chosen = false;  // dialogs: false when cancelled
    wxString path;
};

// wxMessageBox's result. On a thread other than the GUI thread the box is shown later by the GUI
// thread as a box of its own (KivWorkerBox, no modal loop) and the call returns wxOK at once, so
// only plain OK boxes belong there.
int KivMessageBox(const wxString& message, const wxString& caption, long style, wxWindow* parent);
// As KivMessageBox, but on a thread other than the GUI thread the call waits until the operator has
// closed the box; the box blocks only the calling thread (wxCANCEL when the calling worker is asked
// to stop meanwhile, or when the main window goes away with the box). Callers hold no lock.
int KivMessageBoxAndWait(const wxString& message, const wxString& caption, long style);
// An open-file dialog; true with the chosen path, false when cancelled.
bool KivChooseFile(wxWindow* parent, const wxString& title, const wxString& wildcard, long style,
                   wxString* path);
// The wildcard with every letter of its patterns matching in either case ("*.zip" becomes
// "*.[zZ][iI][pP]"); the descriptions stay. The open-file dialog uses it, since GTK's patterns
// are case-sensitive.
wxString AnyCaseWildcard(const wxString& wildcard);
// A directory dialog; true with the chosen directory, false when cancelled.
bool KivChooseDirectory(wxWindow* parent, const wxString& message, long style, wxString* path);

// Tests: every request goes to the handler instead of a real dialog (null: real dialogs again).
void KivSetDialogHandlerForTesting(std::function<KivDialogAnswer(const KivDialogRequest&)> handler);
