#include "KivRecoveryWorker.h"

#include "KivDevice.h"
#include "KivModels.h"
#include "KivRecoveryFiles.h"

#include <string>

bool IsSideloadJob(const wxString& model, bool wipe) { return ModelListHolds(SideloadModels, model.wc_str()) && !wipe; }

KivRecoveryWorker::KivRecoveryWorker(KivDevice* device, KivSlot slot)
    : KivDeviceWorker(device, slot), sideload(device && IsSideloadJob(device->model, device->wipe)) {}

bool KivRecoveryWorker::GenerateCommandFile(wxString* error) {
    wxString text;
    GetCommandText(&text);
    std::wstring file = commandFile.ToStdWstring(), failure;
    const bool made = ::GenerateCommandFile(file, Serial().ToStdWstring(), text.ToStdWstring(), &failure);
    commandFile = file;
    if (!made && error)
        *error = failure;
    return made;
}

bool KivRecoveryWorker::RemoveCommandFile(wxString* error) {
    std::wstring file = commandFile.ToStdWstring(), failure;
    const bool removed = ::RemoveCommandFile(file, &failure);
    commandFile = file;
    if (!removed && error)
        *error = failure;
    return removed;
}
