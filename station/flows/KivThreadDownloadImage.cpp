#include "KivThreadDownloadImage.h"

#include "AdbCommander.h"
#include "FastbootCommands.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivRecoveryFiles.h"
#include "KivTexts.h"
#include "PackageFiles.h"

namespace {

struct RecoveryImage {
    const wchar_t* model;
    const wchar_t* file;
};

const RecoveryImage RecoveryImageTable[] = {
    {L"ZK500KL", L"Extra/recovery_ZK500KL.img"},
    {L"ZK501KL", L"Extra/recovery_ZK501KL.img"},
    {L"ZK500KG", L"Extra/recovery_ZK500KG.img"},
};

const uint32_t kPushRetrySeconds = 16;
const wchar_t kPermissionDenied[] = L"Permission denied";

// Failures of an operation that reports no code of its own are logged with this one.
const int kNoCode = ERR_GENERAL;

std::wstring W(const wxString& text) { return text.ToStdWstring(); }

void SetText(wxString* out, const std::wstring& text) {
    if (out)
        *out = text;
}

}  // namespace

const wchar_t* RecoveryImageFor(const wxString& model) {
    for (const RecoveryImage& entry : RecoveryImageTable) {
        if (model == entry.model)
            return entry.file;
    }
    return nullptr;
}

KivThreadDownloadImage::KivThreadDownloadImage(KivDevice* device, wxString imagePath, wxString fastbootPath)
    : KivRecoveryWorker(device, KivSlot::Download), fastbootPath(fastbootPath), imagePath(imagePath) {
    const bool sideloadModel = device && ModelListHolds(SideloadModels, device->model.wc_str());
    dataDirectory = sideloadModel ? "/data" : "/data/media";
}

void KivThreadDownloadImage::Steps() {
    OpeningStep(DEV_RECOVERY_FLASHING, kCheckImageModelStep);
    RowOnlyStep(wxString(kCheckDetectedSerialStep) + " ...");
    if (!WaitFastbootDevice())
        return;
    if (!FlashRecoveryImage())
        return;
    if (!FormatDataPartition())
        return;
    if (!FastbootRebootIntoRecovery())
        return;
    if (!WaitForRecovery())
        return;
    if (!CheckAdbDevice())
        return;
    if (!CheckBattery())
        return;
    if (!sideload && !CopyImageToDataDirectory())
        return;
    if (!MakeCommandFile())
        return;
    if (!CopyCommandFile())
        return;
    if (!CleanLastInstallFile())
        return;
    if (!AdbRebootIntoRecovery())
        return;
    WaitForWipeWorker();
}

// --- the steps ---

bool KivThreadDownloadImage::WaitFastbootDevice() {
    int code = kNoCode;
    std::wstring error;
    if (FastbootWaitDevice(W(fastbootPath), W(Serial()), &code, &error))
        return true;
    FailureStep(wxString::Format("%s failure(%s)", kCheckDetectedSerialStep, error), code);
    return false;
}

bool KivThreadDownloadImage::FlashRecoveryImage() {
    const wchar_t* file = RecoveryImageFor(device->model);
    if (!file)
        return true;
    return RunStep(
        "Flash recovery",
        [&](int* code, std::wstring* error) {
            return WithTransferTimeLimit(BytesToSend(RecoveryImagePath(file)), [&] {
                return FastbootFlashRecovery(W(fastbootPath), W(Serial()), file, code, error);
            });
        },
        nullptr, kNoCode);
}

bool KivThreadDownloadImage::FormatDataPartition() {
    if (dataDirectory != "/data" || !device->wipe)
        return true;
    ProgressStep("Format data...");
    int code = kNoCode;
    std::wstring error;
    const bool formatted = ModelListHolds(FormatUserdataModels, device->model.wc_str())
                               ? FastbootFormatUserdata(W(fastbootPath), W(Serial()), &code, &error)
                               : FastbootFormatData(W(fastbootPath), W(Serial()), &code, &error);
    if (formatted)
        return true;
    FailureStep(wxString::Format("Format data failure(%s)", error), code);
    return false;
}

bool KivThreadDownloadImage::FastbootRebootIntoRecovery() {
    static const uint32_t kRebootCode = ERR_REBOOT_RECOVERY;
    return RunStep(
        "Fastboot reboot to recovery",
        [&](int*, std::wstring* error) { return FastbootRebootRecovery(W(fastbootPath), W(Serial()), nullptr, error); },
        &kRebootCode);
}

bool KivThreadDownloadImage::WaitForRecovery() {
    ProgressStep("Waiting for reboot device to recovery ...");
    wxString error;
    if (WaitRecoveryMode(&error))
        return true;
    FailureStep(wxString::Format("Waiting for reboot device to recovery failure(%s)", error), ERR_DEVICE_WAIT);
    return false;
}

bool KivThreadDownloadImage::CheckAdbDevice() {
    return RunStep(
        kCheckDetectedSerialStep,
        [&](int* code, std::wstring* error) { return AdbWaitDevice(W(Serial()), code, error); }, nullptr, kNoCode);
}

bool KivThreadDownloadImage::CheckBattery() {
    RowOnlyStep("Check battery capacity ...");
    int capacity = 0;
    wxString error;
    if (!ReadBatteryCapacity(&capacity, &error)) {
        FailureStep(wxString::Format("Check battery capacity failure(%s)", error), ERR_BATTERY);
        return false;
    }
    ProgressStep(wxString::Format("Check battery capacity ... %d", capacity));
    return true;
}

bool KivThreadDownloadImage::CopyImageToDataDirectory() {
    ProgressStep(wxString::Format("Check the directory %s ...", dataDirectory));
    wxString testError;
    if (!TestDataDirectory(&testError)) {
        FailureStep(wxString::Format("Check the directory %s failure(%s)", dataDirectory, testError),
                    ERR_DATA_DIRECTORY);
        return false;
    }
    ProgressStep(wxString::Format("Copy image to %s ...", dataDirectory));
    int code = kNoCode;
    std::wstring error;
    RYL::CAdbCommander* adb = Adb();
    if (adb && WithTransferTimeLimit(BytesToSend(W(imagePath)), [&] {
            return adb->Push(W(Serial()), W(imagePath), W(dataDirectory), &code, &error);
        }))
        return true;
    FailureStep(wxString::Format("Copy image to %s failure(%s)", dataDirectory, error), code);
    return false;
}

bool KivThreadDownloadImage::MakeCommandFile() {
    ProgressStep(sideload ? "Generate sideload command file ..." : "Generate install command file ...");
    wxString error;
    if (GenerateCommandFile(&error))
        return true;
    FailureStep(error, ERR_COMMAND_FILE);
    return false;
}

bool KivThreadDownloadImage::CopyCommandFile() {
    ProgressStep(sideload ? "Copy sideload command file to /cache/recovery/ ..."
                          : "Copy install command file to /cache/recovery/ ...");
    int code = kNoCode;
    wxString error;
    const bool copied = PushWithPermissionRetry(Serial(), commandFile, kRecoveryCommandPath, &code, &error);
    RemoveCommandFile(nullptr);  // the device has its copy, or the job ends here
    if (copied)
        return true;
    FailureStep(wxString::Format(sideload ? "Copy sideload command to /cache/recovery failure(%s)"
                                          : "Copy install command to /cache/recovery failure(%s)",
                                 error),
                code);
    return false;
}

bool KivThreadDownloadImage::CleanLastInstallFile() {
    ProgressStep("Clean last install file ...");
    int code = kNoCode;
    wxString error;
    if (CleanLastInstall(&code, &error))
        return true;
    FailureStep(wxString::Format("Clean last install file failure(%s)", error), code);
    return false;
}

bool KivThreadDownloadImage::AdbRebootIntoRecovery() {
    return RunStep(
        "Reboot recovery",
        [&](int* code, std::wstring* error) {
            std::wstring output;
            return RYL::CAdbCommander::RunAdb(AdbRebootLine(W(Serial()), true), L"", &output, code, error);
        },
        nullptr, kNoCode);
}

void KivThreadDownloadImage::WaitForWipeWorker() {
    ProgressStep("Wait device reboot for installing ...");
    wxString error;
    if (!WaitDeviceReboot(&error))
        FailureStep(wxString::Format(kWaitDeviceFailureFormat, error), ERR_DEVICE_WAIT);
}

// --- the operations ---

bool KivThreadDownloadImage::ReadBatteryCapacity(int* capacity, wxString* error) {
    std::wstring local;
    MakeTempFileName(&local, W(Serial()), L"");
    RYL::CAdbCommander* adb = Adb();
    std::wstring pullError;
    if (!adb || !adb->Pull(W(Serial()), kBatteryCapacityPath, local, nullptr, &pullError)) {
        DeleteLocalFile(local);
        SetText(error, pullError);
        return false;
    }
    std::wstring text, checkError;
    const bool opened = ReadTextFile(local, &text);
    DeleteLocalFile(local);
    if (!opened) {
        SetText(error, L"Open temp battery capacity file failure");
        return false;
    }
    int level = 0;
    const bool charged = CheckBatteryCapacity(text, &level, &checkError);
    if (capacity)
        *capacity = level;
    if (!charged)
        SetText(error, checkError);
    return charged;
}

bool KivThreadDownloadImage::TestDataDirectory(wxString* error) {
    wxString detected;
    {
        wxCriticalSectionLocker record(device->lock);
        detected = device->detectedSerial;
    }
    std::wstring local;
    MakeTempFileName(&local, W(detected), L"");
    if (!WriteTextFile(local, W(wxString::Format("Test the directory %s", dataDirectory)))) {
        DeleteLocalFile(local);
        SetText(error, L"Create test file failure");
        return false;
    }
    const KivDeadline deadline(kPushRetrySeconds);
    RYL::CAdbCommander* adb = Adb();
    for (;;) {
        if (adb && adb->Push(W(Serial()), local, W(dataDirectory)))
            break;
        if (deadline.Passed() || !SleepSeconds(1)) {
            DeleteLocalFile(local);
            SetText(error, W(KivTimeoutText(kPushRetrySeconds)));
            return false;
        }
    }
    DeleteLocalFile(local);
    return true;
}

bool KivThreadDownloadImage::GetCommandText(wxString* text) {
    *text = sideload ? SideloadCommandText() : InstallCommandText(W(dataDirectory), W(imagePath));
    return true;
}

bool KivThreadDownloadImage::PushWithPermissionRetry(wxString serial, wxString localPath, wxString remotePath,
                                                     int* code, wxString* error) {
    const KivDeadline deadline(kPushRetrySeconds);
    RYL::CAdbCommander* adb = Adb();
    for (;;) {
        std::wstring text;
        if (adb && adb->Push(W(serial), W(localPath), W(remotePath), code, &text))
            return true;
        if (text.find(kPermissionDenied) == std::wstring::npos) {
            SetText(error, text);
            return false;
        }
        if (deadline.Passed() || !SleepMilliseconds(1000)) {
            SetText(error, W(wxString::Format("%s, %u seconds timeout", text, kPushRetrySeconds)));
            return false;
        }
    }
}

bool KivThreadDownloadImage::CleanLastInstall(int* code, wxString* error) {
    std::wstring local;
    MakeTempFileName(&local, W(Serial()), L"");
    if (!WriteTextFile(local, L"")) {
        DeleteLocalFile(local);
        if (code)
            *code = ERR_FILE_OPEN;
        SetText(error, L"Generate the empty file failure!");
        return false;
    }
    std::wstring text;
    RYL::CAdbCommander* adb = Adb();
    const bool pushed = adb && adb->Push(W(Serial()), local, kLastInstallPath, code, &text);
    DeleteLocalFile(local);
    if (!pushed)
        SetText(error, text);
    return pushed;
}

bool KivThreadDownloadImage::WaitRecoveryMode(wxString* error) {
    const uint32_t limit = Settings().Timeout.RebootTimeout;
    const KivDeadline deadline(limit);
    for (;;) {
        if (!SleepSeconds(2)) {
            SetText(error, kUserAbortText);
            return false;
        }
        // A second return into recovery may already have made a sideload job ready.
        if ((State() & (DEV_RECOVERY_RETURNED | DEV_SIDELOAD_READY)) && AdbWaitDevice(W(Serial()), nullptr, nullptr))
            return true;
        if (deadline.Passed()) {
            SetText(error, W(KivTimeoutText(limit)));
            return false;
        }
    }
}
