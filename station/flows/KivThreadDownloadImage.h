// The recovery flow's download worker: from fastboot mode it flashes the model's recovery image
// (and formats the data partition of a wiping sideload model), reboots into recovery, checks the
// device over adb, copies the package (unless it is sideloaded later), leaves recovery its command
// file and an empty install result, reboots into recovery once more and waits for the wipe worker
// to take the job over.
#pragma once
#include "KivRecoveryWorker.h"

#include <wx/string.h>

// The recovery image that a model gets flashed before the install, relative to the program
// directory; null for a model without one.
const wchar_t* RecoveryImageFor(const wxString& model);

class KivThreadDownloadImage : public KivRecoveryWorker {
public:
    KivThreadDownloadImage(KivDevice* device, wxString imagePath, wxString fastbootPath);

    wxString fastbootPath;
    wxString imagePath;
    wxString dataDirectory;  // "/data" for a sideload model, else "/data/media"

    // The worker's operations; each writes its failure text into its last argument.
    bool ReadBatteryCapacity(int* capacity, wxString* error);
    bool TestDataDirectory(wxString* error);
    bool GetCommandText(wxString* text) override;
    bool PushWithPermissionRetry(wxString serial, wxString localPath, wxString remotePath, int* code,
                                 wxString* error);
    bool CleanLastInstall(int* code, wxString* error);
    bool WaitRecoveryMode(wxString* error);

private:
    void Steps() override;

    bool WaitFastbootDevice();
    bool FlashRecoveryImage();
    bool FormatDataPartition();
    bool FastbootRebootIntoRecovery();
    bool WaitForRecovery();
    bool CheckAdbDevice();
    bool CheckBattery();
    bool CopyImageToDataDirectory();
    bool MakeCommandFile();
    bool CopyCommandFile();
    bool CleanLastInstallFile();
    bool AdbRebootIntoRecovery();
    void WaitForWipeWorker();
};
