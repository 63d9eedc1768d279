// The recovery flow's second worker: it takes the job over from the recovery install worker, sends
// the package by adb sideload where the job asks for it, waits for recovery's install result, and
// then either reboots into Android and passes the job (no wipe) or has recovery wipe the user data
// and follows the device until it comes back into Android, where the result check takes over.
#pragma once
#include "KivRecoveryWorker.h"

#include <wx/string.h>

#include <functional>

class KivThreadWipeData : public KivRecoveryWorker {
public:
    explicit KivThreadWipeData(KivDevice* device);

    // The worker's operations; each writes its failure text into its last argument.
    bool ReadInstallResult(bool* passed, wxString* error);
    bool GetCommandText(wxString* text) override;
    bool WaitRebootForWiping(wxString* error);
    bool WaitWiping(wxString* error);
    bool WaitRebootIntoAndroid(wxString* error);

private:
    void Steps() override;

    bool SideloadImage();
    bool CheckInstallResult();
    bool RebootIntoAndroid();
    bool MakeCommandFile();
    bool CopyCommandFile();
    bool RebootIntoRecovery();
    bool WaitForWipeReboot();
    bool WaitForWipe();
    void WaitForAndroid();

    // Passes of sleepSeconds, each followed by the test of done, until done or the limit has
    // passed ("%u seconds timeout"). A stop ends the wait with "User abort".
    bool WaitPasses(unsigned sleepSeconds, uint32_t limit, const std::function<bool()>& done, wxString* error);
};
