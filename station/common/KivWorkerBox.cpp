#include "KivWorkerBox.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <algorithm>

namespace {

// The icon wxMessageBox shows for the style.
wxArtID IconOf(long style) {
    if (style & wxICON_ERROR)
        return wxART_ERROR;
    if (style & wxICON_WARNING)
        return wxART_WARNING;
    if (style & wxICON_QUESTION)
        return wxART_QUESTION;
    if (style & wxICON_NONE)
        return wxArtID();
    return (style & wxYES) ? wxART_QUESTION : wxART_INFORMATION;
}

int ButtonOf(int id) {
    switch (id) {
    case wxID_YES:
        return wxYES;
    case wxID_NO:
        return wxNO;
    case wxID_CANCEL:
        return wxCANCEL;
    default:
        return wxOK;
    }
}

}  // namespace

KivWorkerBox* KivWorkerBox::Open(wxWindow* parent, const wxString& message, const wxString& caption, long style,
                                 Closed closed) {
    auto* box = new KivWorkerBox(parent, message, caption, style, std::move(closed));
    box->Show();
    return box;
}

KivWorkerBox::KivWorkerBox(wxWindow* parent, const wxString& message, const wxString& caption, long style,
                           Closed closed)
    : wxDialog(parent, wxID_ANY, caption, wxDefaultPosition, wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      message_(message),
      style_(style),
      closed_(std::move(closed)) {
    auto* text = new wxBoxSizer(wxHORIZONTAL);
    const wxArtID icon = IconOf(style);
    if (!icon.empty())
        text->Add(new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmap(icon, wxART_MESSAGE_BOX)), 0,
                  wxALL | wxALIGN_TOP, 10);
    text->Add(new wxStaticText(this, wxID_ANY, message), 1, wxALL | wxALIGN_CENTER_VERTICAL, 10);

    long buttons = style & (wxOK | wxCANCEL | wxYES_NO);
    if (buttons == 0 || buttons == wxCANCEL)
        buttons |= wxOK;
    auto* all = new wxBoxSizer(wxVERTICAL);
    all->Add(text, 1, wxEXPAND);
    if (wxSizer* row = CreateSeparatedButtonSizer(buttons))
        all->Add(row, 0, wxEXPAND | wxALL, 10);
    SetSizerAndFit(all);
    // Wide enough for its caption, as a short text alone would not make it.
    SetSize(std::max(GetSize().x, FromDIP(280)), -1);
    if (style & wxCENTRE)
        CentreOnParent();

    Bind(wxEVT_BUTTON, &KivWorkerBox::OnButton, this);
    Bind(wxEVT_CLOSE_WINDOW, &KivWorkerBox::OnCloseWindow, this);
}

KivWorkerBox::~KivWorkerBox() { Finish(wxCANCEL); }

void KivWorkerBox::Answer(int id) {
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(this);
    ProcessWindowEvent(click);
}

void KivWorkerBox::OnButton(wxCommandEvent& event) {
    const int id = event.GetId();
    if (id != wxID_OK && id != wxID_YES && id != wxID_NO && id != wxID_CANCEL) {
        event.Skip();
        return;
    }
    Finish(ButtonOf(id));
    Destroy();
}

// The title bar's close button and Escape: as wxMessageBox, Cancel where there is one, else No,
// else OK.
void KivWorkerBox::OnCloseWindow(wxCloseEvent&) {
    if (style_ & wxCANCEL)
        Finish(wxCANCEL);
    else if (style_ & wxYES_NO)
        Finish(wxNO);
    else
        Finish(wxOK);
    Destroy();
}

void KivWorkerBox::Finish(int button) {
    if (!closed_)
        return;
    Closed closed = std::move(closed_);
    closed_ = nullptr;
    closed(button);
}
