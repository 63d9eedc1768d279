#include "KivFlashWorkers.h"

#include "Errors.h"
#include "FastbootCommands.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivTexts.h"
#include "PackageFiles.h"
#include "Paths.h"
#include "Process.h"
#include "ProcessHelpers.h"
#include "Text.h"

#include <mutex>

namespace {

const wchar_t kCommandInterpreter[] = L"/bin/sh";

std::mutex interpreterMutex;
wxString& InterpreterForTesting() {
    static wxString path;
    return path;
}

wxString Interpreter() {
    std::lock_guard<std::mutex> guard(interpreterMutex);
    return InterpreterForTesting().empty() ? wxString(kCommandInterpreter) : InterpreterForTesting();
}

bool Holds(const wchar_t* list, const wxString& model) { return ModelListHolds(list, model.wc_str()); }

void Set(int* code, int value) {
    if (code)
        *code = value;
}
void Set(wxString* error, const wxString& text) {
    if (error)
        *error = text;
}

}  // namespace

bool NeedsResultCheck(const wxString& model, const SettingsData& settings) {
    return Holds(ReportModels, model) && (settings.UploadResult || settings.SaveXmlLog || settings.Tavio);
}

wxString FlashScriptArguments(const wxString& scriptPath, bool wipe, const wxString& serial) {
    return wxString(plat::QuoteArgument(scriptPath.ToStdWstring())) + (wipe ? " 1 " : " 0 ") +
           wxString(plat::CommandLineWord(serial.ToStdWstring())) + " /y";
}

wxString FlashScriptExitText(int exitStatus, const wxString& lastLine) {
    wxString text = wxString::Format("exit status %d", exitStatus);
    if (!lastLine.empty())
        text += ": " + lastLine;
    return text;
}

bool IsZipPackagePath(const wxString& path) { return path.Lower().EndsWith(".zip"); }

void KivFlashWorker::EndFlash(uint32_t waitState) {
    if (!NeedsResultCheck(device->model, Settings())) {
        FinalStep(wxString::Format(kFlashSucceededFormat, Serial()));
        return;
    }
    if (waitState)
        ProgressStepSettingState(waitState, "Wait device reboot ...");
    else
        ProgressStep("Wait device reboot ...");
    wxString error;
    if (!WaitDeviceReboot(&error))
        FailureStep(wxString::Format(kWaitDeviceFailureFormat, error), ERR_GENERAL);
    // Otherwise the result check has taken the device over.
}

KivThreadDownloadImageForScript::KivThreadDownloadImageForScript(KivDevice* device, wxString imagePath,
                                                                 wxString fastbootPath)
    : KivFlashWorker(device, KivSlot::Script), imagePath(std::move(imagePath)),
      fastbootPath(std::move(fastbootPath)) {}

void KivThreadDownloadImageForScript::SetInterpreterForTesting(const wxString& path) {
    std::lock_guard<std::mutex> guard(interpreterMutex);
    InterpreterForTesting() = path;
}

void KivThreadDownloadImageForScript::Steps() {
    OpeningStep(DEV_SCRIPT_FLASHING, kCheckImageModelStep);

    std::wstring directory;
    MakeTempDirName(&directory, Serial().ToStdWstring(), L"");
    if (!UnzipImage(directory))
        return;  // the directory stays with whatever was extracted
    if (RunScript(directory))
        EndFlash(DEV_SCRIPT_WAIT_REBOOT);

    // After the wait: the package stays unpacked until the device is back or the wait failed.
    DeleteDirectoryTree(directory);
}

bool KivThreadDownloadImageForScript::UnzipImage(const std::wstring& directory) {
    return RunStep("Unzip image", [&](int* code, std::wstring* error) {
        return UnzipToDirectory(imagePath.ToStdWstring(), directory, code, error);
    });
}

bool KivThreadDownloadImageForScript::RunScript(const std::wstring& directory) {
    return RunStep("Run flash image script", [&](int* code, std::wstring* error) {
        wxString text;
        const bool ok = WithTransferTimeLimit(BytesToSend(directory), [&] {
            return RunFlashScript(directory, "flashall_KIV.cmd", Serial(), device->wipe, code, &text);
        });
        *error = text.ToStdWstring();
        return ok;
    });
}

bool KivThreadDownloadImageForScript::RunFlashScript(wxString directory, wxString scriptName, wxString serial,
                                                     bool wipe, int* code, wxString* error) {
    const wxString interpreter = Interpreter();
    const wxString script = directory + scriptName;
    const wxString arguments = FlashScriptArguments(script, wipe, serial);
    if (!plat::FileExists(interpreter.ToStdWstring())) {
        Set(code, ERR_NO_CMD_EXE);
        Set(error, wxString::Format("Not found %s", interpreter));
        return false;
    }
    if (!plat::FileExists(script.ToStdWstring())) {
        Set(code, ERR_NO_FLASH_SCRIPT);
        Set(error, "Not found the flash script file");
        return false;
    }

    plat::RunRequest request;
    request.program = plat::NativePath(interpreter.ToStdWstring());
    request.argv.push_back(request.program);
    for (std::string& word : plat::SplitCommandLine(plat::NarrowFromWide(arguments.ToStdWstring())))
        request.argv.push_back(std::move(word));
    request.workDir = plat::NativePath(directory.ToStdWstring());
    // The whole output is judged as it arrives, however long it grows; none of it is kept.
    OutputFailureScan scan;
    request.keepBytes = 0;
    request.onOutput = [&scan](const char* bytes, size_t size) { scan.Add(bytes, size); };
    const plat::RunResult result = plat::RunCaptured(request);
    if (!result.ok) {
        // Stopped at its time limit: say so; any other failure of the runner has no text.
        std::wstring text;
        if (result.code == plat::kWaitTimeout)
            RYL::RunFailureText(scriptName.ToStdWstring(), plat::ThreadTimeLimit(), result.code, text);
        Set(code, static_cast<int>(result.code));
        Set(error, wxString(text));
        return false;
    }

    std::wstring line;
    if (scan.Failure(line)) {
        Set(code, ERR_SCRIPT_OUTPUT);
        Set(error, wxString(line));
        return false;
    }
    // A script that ends with a failure status failed, whatever it printed (a missing tool).
    if (result.exitStatus != 0) {
        Set(code, ERR_SCRIPT_OUTPUT);
        const std::wstring last = scan.LastLine();
        Set(error, FlashScriptExitText(result.exitStatus, last));
        return false;
    }
    return true;
}

KivThreadDownloadImageForIntel::KivThreadDownloadImageForIntel(KivDevice* device, wxString imagePath,
                                                               wxString fastbootPath)
    : KivFlashWorker(device, KivSlot::Fastboot), fastbootPath(std::move(fastbootPath)),
      imagePath(std::move(imagePath)) {}

void KivThreadDownloadImageForIntel::Steps() {
    OpeningStep(DEV_FASTBOOT_FLASHING, kCheckImageModelStep);
    if (!WaitFastbootDevice())
        return;
    wxString rawFile, directory;
    if (LocateRawImage(&rawFile, &directory) && FlashImage(rawFile) && WipeData() && EnableAdb() && Reboot())
        EndFlash(0);  // the state stays DEV_FASTBOOT_FLASHING while the device reboots
    if (!directory.empty())
        DeleteDirectoryTree(directory.ToStdWstring());
}

bool KivThreadDownloadImageForIntel::WaitFastbootDevice() {
    return RunStep(kCheckDetectedSerialStep, [&](int* code, std::wstring* error) {
        return FastbootWaitDevice(fastbootPath.ToStdWstring(), Serial().ToStdWstring(), code, error);
    });
}

bool KivThreadDownloadImageForIntel::FlashImage(const wxString& rawFile) {
    return RunStep("Flash image", [&](int* code, std::wstring* error) {
        return WithTransferTimeLimit(BytesToSend(rawFile.ToStdWstring()), [&] {
            return FastbootFlashAll(fastbootPath.ToStdWstring(), Serial().ToStdWstring(), rawFile.ToStdWstring(), code,
                                    error);
        });
    });
}

bool KivThreadDownloadImageForIntel::WipeData() {
    static const uint32_t kEraseCode = ERR_ERASE_DATA;
    return !device->wipe ||
           RunStep("Erase data", [&](int* code, std::wstring* error) { return EraseData(code, error); }, &kEraseCode);
}

bool KivThreadDownloadImageForIntel::EnableAdb() {
    return RunStep("Enable adb", [&](int* code, std::wstring* error) {
        return FastbootEnableAdb(fastbootPath.ToStdWstring(), Serial().ToStdWstring(), code, error);
    });
}

bool KivThreadDownloadImageForIntel::Reboot() {
    return RunStep("Reboot", [&](int* code, std::wstring* error) {
        return FastbootReboot(fastbootPath.ToStdWstring(), Serial().ToStdWstring(), code, error);
    });
}

bool KivThreadDownloadImageForIntel::LocateRawImage(wxString* rawFile, wxString* directory) {
    if (!IsZipPackagePath(imagePath)) {
        *rawFile = imagePath;
        return true;
    }
    std::wstring unpacked;
    MakeTempDirName(&unpacked, Serial().ToStdWstring(), L"");
    if (!RunStep("Unzip image", [&](int* code, std::wstring* error) {
            return UnzipToDirectory(imagePath.ToStdWstring(), unpacked, code, error);
        }))
        return false;  // the directory stays with whatever was extracted
    *directory = unpacked;
    std::wstring found;
    if (!RunStep("Get .raw file position", [&](int* code, std::wstring* error) {
            return FindSingleFile(unpacked, L"*.raw", &found, code, error);
        }))
        return false;
    *rawFile = found;
    return true;
}

bool KivThreadDownloadImageForIntel::EraseData(int* code, std::wstring* error) {
    const std::wstring exe = fastbootPath.ToStdWstring();
    const std::wstring serial = Serial().ToStdWstring();
    const wxString model = device->model;
    if (Holds(EraseUserdataModels, model)) {
        if (FastbootEraseUserdata(exe, serial, code, error))
            return true;
        return Holds(FastbootWipeModels, model) && FastbootWipe(exe, serial, code, error);
    }
    if (Holds(FastbootWipeModels, model))
        return FastbootWipe(exe, serial, code, error);
    return FastbootEraseData(exe, serial, code, error);
}
