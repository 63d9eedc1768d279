// Start: the model and image choice, the check of the operator's choices, the latest-image check
// and the dispatch of one download worker per selected Connected device.
#include "KivApp.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivDialogs.h"
#include "KivDispatch.h"
#include "KivEvents.h"
#include "KivFrame.h"
#include "KivImageCheck.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivOsVersionReport.h"

#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/textctrl.h>

#include <memory>
#include <vector>

namespace {

const wchar_t kNoCheckThread[] = L"Cannot create the thread of project image checking";
const wchar_t kNoDownloadThread[] = L"Cannot create download image thread";

wxString SelectedModel(const wxComboBox* combo) { return JobModelAt(combo->GetSelection()); }

bool Holds(const wchar_t* list, const wxString& model) { return ModelListHolds(list, model.wc_str()); }

void ErrorBox(const wxString& text) { KivMessageBox(text, "Error", wxICON_ERROR, nullptr); }

// The key of the topmost selected row of the device list.
bool FirstSelectedKey(KivFrame& frame, wxString* serial) {
    wxCriticalSectionLocker locker(frame.listLock);
    const long row = frame.deviceList ? frame.deviceList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED) : -1;
    if (row < 0)
        return false;
    *serial = frame.deviceList->GetItemText(row, KIV_COLUMN_SERIAL);
    return true;
}

// Only the proof that the device is there; nothing of the record is read.
bool HasConnectedRecord(KivFrame& frame, const wxString& serial) {
    wxCriticalSectionLocker locker(frame.arrayLock);
    KivDevice* device = nullptr;
    return FindDevice(&device, frame.devices, &serial, nullptr, nullptr, DEV_CONNECTED);
}

}  // namespace

bool KivFrame::ReportOsVersionBeforeFlash(const wxString& model) {
    return ::ReportOsVersionBeforeFlash(
        model, {this, deviceList, &listLock}, [this](wxString* serial) { return FirstSelectedKey(*this, serial); },
        [this](const wxString& serial) { return HasConnectedRecord(*this, serial); });
}

void KivFrame::OnModelSelected(wxCommandEvent&) {
    const wxString model = SelectedModel(modelCombo);
    if (model.empty())
        return;
    if (Holds(WipeForcedModels, model)) {
        wipeYes->Disable();
        wipeNo->Disable();
        wipeYes->SetValue(true);
    } else if (Holds(WipeBarredModels, model)) {
        wipeYes->Disable();
        wipeNo->Disable();
        wipeNo->SetValue(true);
    } else {
        wipeYes->Enable();
        wipeNo->Enable();
        wipeNo->SetValue(true);
    }
    imagePathText->Clear();  // a new model needs its image chosen again
}

void KivFrame::OnBrowseImage(wxCommandEvent&) {
    const wxString model = SelectedModel(modelCombo);
    if (model.empty()) {
        ErrorBox("Please select the model.");
        return;
    }
    const wxString filter = Holds(RawImageModels, model) ? "image file (*.raw)|*.raw" : "image file (*.zip)|*.zip";
    wxString path;
    if (KivChooseFile(this, "Open image file", filter, wxFD_OPEN | wxFD_FILE_MUST_EXIST, &path))
        imagePathText->SetValue(path);
}

void KivFrame::StartFlash() {
    const wxString model = SelectedModel(modelCombo);
    if (model.empty()) {
        ErrorBox("Please select the model.");
        startGate.Unlock();
        return;
    }
    bool wipe = false;
    if (wipeYes->GetValue()) {
        if (KivMessageBox("Are you sure to wipe data?", "Question", wxYES_NO | wxICON_QUESTION, this) != wxYES) {
            startGate.Unlock();
            return;
        }
        wipe = true;
    } else if (wipeNo->GetValue()) {
        wipe = false;
    } else {
        ErrorBox("Please sure whether to wipe data.");
        startGate.Unlock();
        return;
    }
    const wxString imagePath = imagePathText->GetValue();
    if (imagePath.empty()) {
        ErrorBox("Please select the image file.");
        startGate.Unlock();
        return;
    }
    if (!IsAcceptedImagePath(imagePath)) {
        ErrorBox(kImagePathRefused);
        startGate.Unlock();
        return;
    }
    wxString error;
    if (StartImageCheck(model, wipe, imagePath, &error))
        return;  // the gate is released when the result arrives
    // Asked as for an image that is not the latest; the gate is released there.
    PostImageCheckDone(new KivThreadResult(KivThreadInput(model, wipe, imagePath), false, error));
}

bool KivFrame::StartImageCheck(const wxString& model, bool wipe, const wxString& imagePath, wxString* error) {
    auto* thread = new KivThread(KivThread::ImageCheck, new KivThreadInput(model, wipe, imagePath));
    // A thread that does not run would never post its result and keep the gate held.
    if (thread->Create() != wxTHREAD_NO_ERROR || thread->Run() != wxTHREAD_NO_ERROR) {
        delete thread;
        if (error)
            *error = kNoCheckThread;
        return false;
    }
    return true;
}

void KivFrame::OnImageCheckDone(wxCommandEvent& event) {
    startGate.Unlock();
    std::unique_ptr<KivThreadResult> result(static_cast<KivThreadResult*>(event.GetClientData()));
    if (!result)
        return;
    const bool ok = result->ok;
    const wxString message = result->message;
    const wxString model = result->input.model;
    const bool wipe = result->input.wipe;
    const wxString imagePath = result->input.imagePath;
    result.reset();

    if (!ok && KivMessageBox(wxString::Format("%s\nContinue to flash?", message),
                             "The function is for user image only (Please ignore if factory image)",
                             wxYES_NO | wxICON_QUESTION, this) != wxYES)
        return;
    if (!ReportOsVersionBeforeFlash(model))
        return;

    const wxString jobModel = ApplyFactoryModelVariant(model, imagePath);
    const KivDownloadFlow flow = ChooseDownloadFlow(jobModel, wipe);
    const wxString fastbootPath = FastbootPathFor(jobModel);

    std::vector<wxString> keys;
    {
        wxCriticalSectionLocker locker(listLock);
        for (long row = deviceList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row != -1;
             row = deviceList->GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
            keys.push_back(deviceList->GetItemText(row, KIV_COLUMN_SERIAL));
    }

    for (const wxString& key : keys) {
        wxCriticalSectionLocker arrayLocker(arrayLock);
        KivDevice* device = nullptr;
        if (!FindDevice(&device, devices, &key, nullptr, nullptr, DEV_CONNECTED))
            continue;  // busy, finished or unplugged: skipped without a word
        bool started = false;
        {
            wxCriticalSectionLocker recordLocker(device->lock);
            device->model = jobModel;
            device->wipe = wipe;
            device->imagePath = imagePath;
            // The worker waits for this lock in its first step, so it finds its slot set.
            KivDeviceWorker* worker = MakeDownloadWorker(flow, device, imagePath, fastbootPath);
            started = worker && worker->Launch() == wxTHREAD_NO_ERROR;
            if (!started) {
                delete static_cast<wxThread*>(worker);  // never ran: still the caller's
                device->state = DEV_FAIL;
            }
        }
        if (started)
            continue;
        const wxString text = kNoDownloadThread;
        {
            wxCriticalSectionLocker listLocker(listLock);
            SetDeviceRowState(deviceList, key, &text, DEV_FAIL, nullptr);
        }
        if (KivApp* app = KivApp::Get())
            app->Log(key, ERR_THREAD_CREATE, LOG_LEVEL_ERROR, text.wc_str());
    }
}
