// The message box of a worker thread: a window of its own beside the main window, never a modal
// loop of the GUI thread, so that the boxes of several workers stand at once, close in any order,
// and the main window goes on taking input meanwhile.
#pragma once
#include <wx/dialog.h>
#include <wx/string.h>

#include <functional>

class KivWorkerBox : public wxDialog {
public:
    // Called once with the button that closed the box (wxOK, wxYES, wxNO or wxCANCEL); wxCANCEL
    // when the box goes away unanswered (its parent, the main window, is destroyed).
    using Closed = std::function<void(int button)>;

    // GUI thread only. Shows the box at once and returns; the box deletes itself when closed.
    static KivWorkerBox* Open(wxWindow* parent, const wxString& message, const wxString& caption, long style,
                              Closed closed);

    ~KivWorkerBox() override;

    const wxString& Message() const { return message_; }
    // Closes the box as the button with this id would (wxID_OK, wxID_YES, wxID_NO, wxID_CANCEL).
    void Answer(int id);

private:
    KivWorkerBox(wxWindow* parent, const wxString& message, const wxString& caption, long style, Closed closed);
    void OnButton(wxCommandEvent& event);
    void OnCloseWindow(wxCloseEvent& event);
    void Finish(int button);

    wxString message_;
    long style_;
    Closed closed_;
};
