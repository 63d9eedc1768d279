// The download workers of the script and fastboot flows. Both end a successful flash the same
// way: Pass at once, or, when a result check follows (the report gate), a wait for the device to
// come back, which its check worker ends by cancelling this one.
#pragma once
#include "KivDeviceWorker.h"
#include "SettingsValues.h"

#include <wx/string.h>

#include <functional>
#include <string>

class KivFlashWorker : public KivDeviceWorker {
protected:
    using KivDeviceWorker::KivDeviceWorker;

    // After a flash: Pass, or "Wait device reboot ..." (setting waitState when not 0) and the wait.
    void EndFlash(uint32_t waitState);
};

class KivThreadDownloadImageForScript : public KivFlashWorker {
public:
    // fastbootPath is kept but not used: the package's script brings its own tools.
    KivThreadDownloadImageForScript(KivDevice* device, wxString imagePath, wxString fastbootPath);

    // Runs the package's script through the command interpreter in the directory (which ends
    // with '/') with the wipe flag (1 or 0), the serial and "/y"; false when it cannot run or its
    // output tells of a failure.
    bool RunFlashScript(wxString directory, wxString scriptName, wxString serial, bool wipe, int* code,
                        wxString* error);

    // Tests: the interpreter to run ("/bin/sh"; empty: that again).
    static void SetInterpreterForTesting(const wxString& path);

protected:
    void Steps() override;

private:
    // The steps; the directory ends with '/'.
    bool UnzipImage(const std::wstring& directory);
    bool RunScript(const std::wstring& directory);

    wxString imagePath;
    wxString fastbootPath;
};

class KivThreadDownloadImageForIntel : public KivFlashWorker {
public:
    // imagePath: a zip package holding one raw image, or the raw image itself.
    KivThreadDownloadImageForIntel(KivDevice* device, wxString imagePath, wxString fastbootPath);

protected:
    void Steps() override;

private:
    // The steps.
    bool WaitFastbootDevice();
    // The raw image: the package unpacked into a new directory (set once it holds the package,
    // for deletion at the end) and searched, or the image path itself.
    bool LocateRawImage(wxString* rawFile, wxString* directory);
    bool FlashImage(const wxString& rawFile);
    // Only when the job wipes data.
    bool WipeData();
    bool EnableAdb();
    bool Reboot();

    // The erase command of the model, with the fallback to "-w".
    bool EraseData(int* code, std::wstring* error);

    wxString fastbootPath;
    wxString imagePath;
};

// --- the rules, for the tests ---

// The job waits for a result check: a model of ReportModels with a report switched on.
bool NeedsResultCheck(const wxString& model, const SettingsData& settings);
// The interpreter's arguments for the script: the script, then $1..$3, each one argument.
wxString FlashScriptArguments(const wxString& scriptPath, bool wipe, const wxString& serial);
// The failure text of a script that ended with a failure status: "exit status N", then the last
// line it printed, if any.
wxString FlashScriptExitText(int exitStatus, const wxString& lastLine);
// A zip package rather than a raw image: the name ends in ".zip", in any letter case (the file
// systems the station's design comes from ignore it).
bool IsZipPackagePath(const wxString& path);
