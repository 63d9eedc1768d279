#include "KivImageCheck.h"

#include "InternetAgent.h"
#include "KivEvents.h"
#include "KivStationHost.h"
#include "markup/MarkupDocument.h"
#include "UrlText.h"

#include <wx/app.h>
#include <wx/filename.h>
#include <wx/window.h>

const wchar_t kLatestImageHost[] = L"ecn.zelk-service.invalid";
const wchar_t kLatestImagePath[] = L"/repairservice/get_ecn_list.asmx/GetECNListInfo";

KivThread::KivThread(InputType kind, KivThreadInput* input)
    : wxThread(wxTHREAD_DETACHED), kind(kind), input(input), agent(KivStationHost::Get() ? KivStationHost::Get()->GetInternetAgent() : nullptr) {}

KivThread::~KivThread() { delete input; }

wxThread::ExitCode KivThread::Entry() {
    if (kind == ImageCheck && input) {
        auto* result = new KivThreadResult(*input, false, wxString());
        CheckLatestImage(*input, result);
    }
    delete input;
    input = nullptr;
    return 0;
}

bool KivThread::CheckLatestImage(KivThreadInput job, KivThreadResult* result) {
    result->input = job;
    result->ok = true;
    const wxString name = wxFileName(job.imagePath).GetFullName();
    const wxString query = LatestImageQuery(ImageSku(name));

    std::wstring reply;
    wxString latest;
    if (agent &&
        agent->HttpGet(kLatestImageHost, kLatestImagePath, query.ToStdWstring(), &reply, nullptr, true, nullptr) &&
        FindLatestImageName(reply, job.model, &latest) && latest != name) {
        result->ok = false;
        result->message = NotLatestMessage(name, latest);
    }
    const bool ok = result->ok;
    PostImageCheckDone(result);
    return ok;
}

void PostImageCheckDone(KivThreadResult* result) {
    // The main window is looked up on the GUI thread, where it is destroyed: a check that ends
    // while the program closes never posts to a window that has gone.
    if (!KivStationHost::Get()) {
        delete result;
        return;
    }
    wxApp::GetInstance()->CallAfter([result] {
        KivStationHost* current = KivStationHost::Get();
        wxWindow* frame = current ? current->MainWindow() : nullptr;
        if (!frame) {
            delete result;
            return;
        }
        wxCommandEvent event(EVT_IMAGE_CHECK_DONE, 0);
        event.SetClientData(result);
        wxPostEvent(frame, event);
    });
}

wxString ImageSku(const wxString& fileName) {
    const size_t cut = fileName.find_first_of("_-");
    return cut == wxString::npos ? fileName : fileName.substr(0, cut);
}

wxString LatestImageQuery(const wxString& sku) {
    return wxString::Format("countryCode=%s&SKU=%s&model=", "CN", RYL::PercentEncode(sku.ToStdWstring()));
}

bool FindLatestImageName(const wxString& reply, const wxString& model, wxString* latest) {
    RYL::MarkupDocument document;
    if (!document.SetDocument(reply.ToStdWstring()) || !document.FindElement(L"ZELK") || !document.StepInto() ||
        !document.FindElement(L"IMAGE_RECORD") || !document.StepInto())
        return false;
    while (document.FindElement(L"IMAGE")) {
        document.StepInto();
        if (!document.FindElement(L"PROJECT"))
            return false;
        if (wxString(document.GetText()) != model) {
            document.StepOut();
            continue;
        }
        if (!document.FindElement(L"FILE_NAME"))
            return false;
        *latest = document.GetText();
        return true;
    }
    return false;
}

wxString NotLatestMessage(const wxString& name, const wxString& latest) {
    return wxString::Format("Current Version=%s\nLatest Version=%s\nYour selection isn't the latest version image",
                            name, latest);
}
