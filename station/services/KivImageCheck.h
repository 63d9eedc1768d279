// The latest-image check that Start runs on a thread of its own: it asks the latest-image service
// whether the chosen file is the newest image of its model and posts EVT_IMAGE_CHECK_DONE with
// the answer, also when the request failed.
#pragma once
#include <wx/string.h>
#include <wx/thread.h>

#include <cstdint>
#include <memory>

namespace RYL {
class CInternetAgent;
}

// The service's host, path and the query format (countryCode, SKU; the model stays empty).
extern const wchar_t kLatestImageHost[];
extern const wchar_t kLatestImagePath[];

// One job as the operator chose it.
struct KivThreadInput {
    KivThreadInput(const wxString& model, bool wipe, const wxString& imagePath)
        : model(model), wipe(wipe), imagePath(imagePath) {}

    wxString model;
    bool wipe;
    wxString imagePath;
};

// The check's answer: ok is false when the image is known not to be the latest, or when the
// check could not run; message is then shown before "Continue to flash?".
struct KivThreadResult {
    KivThreadResult(const KivThreadInput& input, bool ok, const wxString& message)
        : ok(ok), message(message), input(input) {}

    bool ok;
    wxString message;
    KivThreadInput input;
};

class KivThread : public wxThread {
public:
    enum InputType : int32_t { ImageCheck = 1 };

    // Takes ownership of input. Takes the application's internet agent at once, on the GUI
    // thread, and keeps it until the thread ends, so the agent outlives the request.
    KivThread(InputType kind, KivThreadInput* input);
    ~KivThread() override;

    // Fills the result and posts it; returns its ok.
    bool CheckLatestImage(KivThreadInput input, KivThreadResult* result);

protected:
    ExitCode Entry() override;

private:
    InputType kind;
    KivThreadInput* input;
    std::shared_ptr<RYL::CInternetAgent> agent;
};

// Hands the result to the main window as EVT_IMAGE_CHECK_DONE, from any thread; deleted instead
// when there is no main window any more.
void PostImageCheckDone(KivThreadResult* result);

// --- the rules, for the tests ---

// The file's name (with its extension) cut before the first '_' or '-'.
wxString ImageSku(const wxString& fileName);
// "countryCode=CN&SKU=<sku, percent-encoded>&model=".
wxString LatestImageQuery(const wxString& sku);
// The FILE_NAME after the PROJECT of the first IMAGE whose PROJECT is the model; false when the
// reply decides nothing.
bool FindLatestImageName(const wxString& reply, const wxString& model, wxString* latest);
// "Current Version=...\nLatest Version=...\nYour selection isn't the latest version image".
wxString NotLatestMessage(const wxString& name, const wxString& latest);
