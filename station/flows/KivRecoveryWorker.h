// What both workers of the recovery flow share: the job's sideload rule and the recovery command
// file that each of them makes, copies to the device and removes again.
#pragma once
#include "KivDeviceWorker.h"

#include <wx/string.h>

// A job of a sideload model without wipe sends its package by adb sideload instead of copying it.
bool IsSideloadJob(const wxString& model, bool wipe);

class KivRecoveryWorker : public KivDeviceWorker {
public:
    wxString commandFile;  // the local command file while it exists
    bool sideload;         // a sideload model without wipe: recovery waits for an adb sideload

    // Each writes its failure text into its last argument.
    bool GenerateCommandFile(wxString* error);  // a new local file holding GetCommandText
    virtual bool GetCommandText(wxString* text) = 0;
    bool RemoveCommandFile(wxString* error);

protected:
    KivRecoveryWorker(KivDevice* device, KivSlot slot);
};
