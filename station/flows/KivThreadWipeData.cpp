#include "KivThreadWipeData.h"

#include "AdbCommander.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivRecoveryFiles.h"
#include "KivTexts.h"
#include "KivThreadDownloadImage.h"
#include "PackageFiles.h"

namespace {

const unsigned kResultPassSleeps = 8;  // between two pulls of the install result: 8 times 2 s

// Failures of an operation that reports no code of its own are logged with this one.
const int kNoCode = ERR_GENERAL;

std::wstring W(const wxString& text) { return text.ToStdWstring(); }

void SetText(wxString* out, const wxString& text) {
    if (out)
        *out = text;
}

}  // namespace

KivThreadWipeData::KivThreadWipeData(KivDevice* device)
    : KivRecoveryWorker(device, KivSlot::Wipe) {}

void KivThreadWipeData::Steps() {
    // Started by the device's return into recovery, directly or once the sideload is ready.
    if (!CancelPredecessor(KivSlot::Download, DEV_RECOVERY_RETURNED | DEV_SIDELOAD_READY))
        return;
    if (sideload) {
        if (!SideloadImage())
            return;
    } else {
        SetState(DEV_WIPE_INSTALL);
    }
    if (!CheckInstallResult())
        return;
    OpeningStep(DEV_WIPE_INSTALL, "Install image Successfully", true);
    if (!device->wipe) {
        RebootIntoAndroid();
        return;
    }
    if (!MakeCommandFile())
        return;
    if (!CopyCommandFile())
        return;
    if (!RebootIntoRecovery())
        return;
    if (!WaitForWipeReboot())
        return;
    if (!WaitForWipe())
        return;
    WaitForAndroid();
}

// --- the steps ---

bool KivThreadWipeData::SideloadImage() {
    OpeningStep(DEV_SIDELOADING, "Image sideloading ...", true);
    std::wstring error;
    RYL::CAdbCommander* adb = Adb();
    if (adb && WithTransferTimeLimit(BytesToSend(W(device->imagePath)),
                                     [&] { return adb->Sideload(W(Serial()), W(device->imagePath), nullptr, &error); }))
        return true;
    FailureStep(wxString::Format("Sideload image failure(%s)", error), ERR_INSTALL);
    return false;
}

bool KivThreadWipeData::CheckInstallResult() {
    ProgressStep("Waiting for install result ...", DEV_WIPE_INSTALL);
    bool passed = false;
    wxString error;
    if (ReadInstallResult(&passed, &error) && passed)
        return true;
    FailureStep(wxString::Format("Check install result file failure(%s)", error), ERR_INSTALL);
    return false;
}

bool KivThreadWipeData::RebootIntoAndroid() {
    const wxString serial = Serial();
    const bool rebooted = RunStep(
        "Reboot",
        [&](int* code, std::wstring* error) {
            std::wstring output;
            return RYL::CAdbCommander::RunAdb(AdbRebootLine(W(serial), false), L"", &output, code, error);
        },
        nullptr, kNoCode);
    if (rebooted)
        FinalStep(wxString::Format(kFlashSucceededFormat, serial));
    return rebooted;
}

bool KivThreadWipeData::MakeCommandFile() {
    ProgressStep("Generate wipe command file ...");
    wxString error;
    if (GenerateCommandFile(&error))
        return true;
    FailureStep(error, ERR_COMMAND_FILE);
    return false;
}

bool KivThreadWipeData::CopyCommandFile() {
    ProgressStep("Copy wipe command file to /cache/recovery ...");
    int code = kNoCode;
    std::wstring error;
    RYL::CAdbCommander* adb = Adb();
    const bool copied = adb && adb->Push(W(Serial()), W(commandFile), kRecoveryCommandPath, &code, &error);
    RemoveCommandFile(nullptr);  // the device has its copy, or the job ends here
    if (copied)
        return true;
    FailureStep(wxString::Format("Copy command to /cache/recovery failure(%s)", error), code);
    return false;
}

bool KivThreadWipeData::RebootIntoRecovery() {
    ProgressStep("Reboot recovery ...");
    int code = kNoCode;
    std::wstring output, error;
    if (RYL::CAdbCommander::RunAdb(AdbRebootLine(W(Serial()), true), L"", &output, &code, &error))
        return true;
    FailureStep(wxString::Format("Reboot recovery Failure(%s)", error), code);
    return false;
}

bool KivThreadWipeData::WaitForWipeReboot() {
    ProgressStep("Wait device reboot for wiping ...");
    wxString error;
    if (WaitRebootForWiping(&error))
        return true;
    FailureStep(wxString::Format(kWaitDeviceFailureFormat, error), ERR_DEVICE_WAIT);
    return false;
}

bool KivThreadWipeData::WaitForWipe() {
    ProgressStep("Wait device wiping ...");
    wxString error;
    if (WaitWiping(&error))
        return true;
    FailureStep(wxString::Format("Wait device wiping failure(%s)", error), ERR_DEVICE_WAIT);
    return false;
}

void KivThreadWipeData::WaitForAndroid() {
    ProgressStep("Wait device reboot into android ...");
    wxString error;
    if (!WaitRebootIntoAndroid(&error))
        FailureStep(wxString::Format("Wait device reboot into android failure(%s)", error), ERR_DEVICE_WAIT);
}

// --- the operations ---

bool KivThreadWipeData::ReadInstallResult(bool* passed, wxString* error) {
    *passed = false;
    const uint32_t limit = Settings().Timeout.InstallTimeout;
    const KivDeadline deadline(limit);
    std::wstring local;
    MakeTempFileName(&local, W(Serial()), L"");
    RYL::CAdbCommander* adb = Adb();
    for (;;) {
        std::wstring pullError;
        if (!adb || !adb->Pull(W(Serial()), kLastInstallPath, local, nullptr, &pullError)) {
            DeleteLocalFile(local);
            if (deadline.Passed()) {
                SetText(error, pullError);
                return false;
            }
        } else {
            std::wstring text;
            const bool opened = ReadTextFile(local, &text);
            DeleteLocalFile(local);
            if (!opened) {
                SetText(error, "Open temp install result file failure");
                return false;
            }
            switch (ParseLastInstall(text)) {
            case InstallResult::Passed:
                *passed = true;
                return true;
            case InstallResult::Failed:
                return true;
            case InstallResult::Invalid:
                SetText(error, "Invalid install result file format");
                return false;
            case InstallResult::NotYet:
                if (deadline.Passed()) {
                    SetText(error, KivTimeoutText(limit));
                    return false;
                }
                break;
            }
        }
        for (unsigned i = 0; i < kResultPassSleeps; ++i) {
            if (TestDestroy()) {
                SetText(error, kUserAbortText);
                return false;
            }
            SleepSeconds(2);
        }
    }
}

bool KivThreadWipeData::GetCommandText(wxString* text) {
    *text = WipeCommandText(ModelListHolds(FullFillModels, device->model.wc_str()));
    return true;
}

bool KivThreadWipeData::WaitPasses(unsigned sleepSeconds, uint32_t limit, const std::function<bool()>& done,
                                   wxString* error) {
    const KivDeadline deadline(limit);
    for (;;) {
        const bool slept = SleepSeconds(sleepSeconds);
        if (done())
            return true;
        if (!slept) {
            SetText(error, kUserAbortText);
            return false;
        }
        if (deadline.Passed()) {
            SetText(error, KivTimeoutText(limit));
            return false;
        }
    }
}

// Each wait also takes a later point of the wipe as reached: the device may return and leave
// within one pass, or even be back in Android, which starts the result check that cancels this
// worker.
bool KivThreadWipeData::WaitRebootForWiping(wxString* error) {
    return WaitPasses(2, Settings().Timeout.RebootTimeout,
                      [this] { return (State() & (DEV_WIPE_REBOOTED | DEV_WIPE_LEFT)) != 0 || TestDestroy(); }, error);
}

bool KivThreadWipeData::WaitWiping(wxString* error) {
    return WaitPasses(16, Settings().Timeout.WipeTimeout, [this] { return State() == DEV_WIPE_LEFT || TestDestroy(); },
                      error);
}

bool KivThreadWipeData::WaitRebootIntoAndroid(wxString* error) {
    return WaitPasses(2, Settings().Timeout.RebootTimeout, [this] { return TestDestroy(); }, error);
}
