#include "KivDialogs.h"

#include <wx/app.h>
#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

#include "KivStationHost.h"
#include "KivWorkerBox.h"
#include "Process.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

std::mutex handlerMutex;
std::function<KivDialogAnswer(const KivDialogRequest&)> testHandler;

bool Answered(const KivDialogRequest& request, KivDialogAnswer* answer) {
    std::function<KivDialogAnswer(const KivDialogRequest&)> handler;
    {
        std::lock_guard<std::mutex> guard(handlerMutex);
        handler = testHandler;
    }
    if (!handler)
        return false;
    *answer = handler(request);
    return true;
}

// The running GUI application; null without one (a console program, or none at all): no box can
// be shown then.
wxApp* GuiApp() { return dynamic_cast<wxApp*>(wxAppConsole::GetInstance()); }

KivDialogRequest MessageRequest(const wxString& message, const wxString& caption, long style, wxWindow* parent) {
    KivDialogRequest request;
    request.kind = KivDialogRequest::Message;
    request.message = message;
    request.caption = caption;
    request.style = style;
    request.parent = parent;
    return request;
}

// A worker's box, on the GUI thread: answered by the test handler, else a box of its own beside
// the main window (no modal loop), closed() called once it is closed.
void ShowWorkerBox(const wxString& message, const wxString& caption, long style,
                   const KivWorkerBox::Closed& closed) {
    KivDialogAnswer answer;
    if (Answered(MessageRequest(message, caption, style, nullptr), &answer)) {
        closed(answer.button);
        return;
    }
    // A child of the main window, so that it goes away with it.
    KivStationHost* host = KivStationHost::Get();
    KivWorkerBox::Open(host ? host->MainWindow() : nullptr, message, caption, style, closed);
}

}  // namespace

void KivSetDialogHandlerForTesting(std::function<KivDialogAnswer(const KivDialogRequest&)> handler) {
    std::lock_guard<std::mutex> guard(handlerMutex);
    testHandler = std::move(handler);
}

int KivMessageBox(const wxString& message, const wxString& caption, long style, wxWindow* parent) {
    if (!wxThread::IsMain()) {
        // A worker never waits for the GUI thread: the box is shown there later, as a box of its own.
        if (wxApp* app = GuiApp())
            app->CallAfter([message, caption, style] { ShowWorkerBox(message, caption, style, [](int) {}); });
        return wxOK;
    }
    KivDialogAnswer answer;
    if (Answered(MessageRequest(message, caption, style, parent), &answer))
        return answer.button;
    return wxMessageBox(message, caption, style, parent);
}

int KivMessageBoxAndWait(const wxString& message, const wxString& caption, long style) {
    if (wxThread::IsMain())
        return KivMessageBox(message, caption, style, nullptr);
    wxApp* app = GuiApp();
    if (!app)
        return wxOK;
    struct Closing {
        std::mutex mutex;
        std::condition_variable closed;
        bool done = false;
        int button = wxOK;
    };
    auto closing = std::make_shared<Closing>();
    app->CallAfter([message, caption, style, closing] {
        ShowWorkerBox(message, caption, style, [closing](int button) {
            std::lock_guard<std::mutex> guard(closing->mutex);
            closing->button = button;
            closing->done = true;
            closing->closed.notify_all();
        });
    });
    const std::shared_ptr<plat::StopSignal> stop = plat::ThreadStopSignal();
    std::unique_lock<std::mutex> lock(closing->mutex);
    while (!closing->done) {
        if (stop && stop->StopRequested())
            return wxCANCEL;  // the box still shows; nobody waits for it
        closing->closed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return closing->button;
}

bool KivChooseFile(wxWindow* parent, const wxString& title, const wxString& wildcard, long style,
                   wxString* path) {
    KivDialogRequest request;
    request.kind = KivDialogRequest::OpenFile;
    request.message = title;
    request.style = style;
    request.wildcard = wildcard;
    request.parent = parent;
    KivDialogAnswer answer;
    if (!Answered(request, &answer)) {
        wxFileDialog dialog(parent, title, wxEmptyString, wxEmptyString, AnyCaseWildcard(wildcard), style);
        answer.chosen = dialog.ShowModal() == wxID_OK;
        if (answer.chosen)
            answer.path = dialog.GetPath();
    }
    if (answer.chosen && path)
        *path = answer.path;
    return answer.chosen;
}

wxString AnyCaseWildcard(const wxString& wildcard) {
    wxString out;
    bool pattern = false;  // the fields alternate: description, patterns, description, ...
    for (const wxUniChar c : wildcard) {
        if (c == '|') {
            pattern = !pattern;
            out += c;
        } else if (pattern && wxIsalpha(c) && wxTolower(c) != wxToupper(c)) {
            out << '[' << wxUniChar(wxTolower(c)) << wxUniChar(wxToupper(c)) << ']';
        } else {
            out += c;
        }
    }
    return out;
}

bool KivChooseDirectory(wxWindow* parent, const wxString& message, long style, wxString* path) {
    KivDialogRequest request;
    request.kind = KivDialogRequest::ChooseDirectory;
    request.message = message;
    request.style = style;
    request.parent = parent;
    KivDialogAnswer answer;
    if (!Answered(request, &answer)) {
        wxDirDialog dialog(parent, message, wxEmptyString, style);
        answer.chosen = dialog.ShowModal() == wxID_OK;
        if (answer.chosen)
            answer.path = dialog.GetPath();
    }
    if (answer.chosen && path)
        *path = answer.path;
    return answer.chosen;
}
