#include "KivThreadCheckResult.h"

#include "AdbCommander.h"
#include "Errors.h"
#include "KivLog.h"
#include "KivModels.h"
#include "KivOsVersionReport.h"
#include "KivResultReport.h"
#include "KivTexts.h"
#include "PackageFiles.h"
#include "Process.h"
#include "ProcessHelpers.h"

#include <wx/file.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned kRetryWaits = 16;          // waits of 2 s between two tries of a read
constexpr unsigned kRetryWaitSeconds = 2;
constexpr unsigned kActivitySettleMs = 2000;  // after "am start", before the companion app is read
constexpr unsigned kPackageBufferSize = 280000;

constexpr wchar_t kHelper[] = L"PhoneInfoTest";
constexpr wchar_t kHelperArguments[] = L"1 0";
constexpr wchar_t kPackageText[] = L"Create PhoneInfoTest apk file failure";

struct FlowTraits {
    KivSlot predecessor;
    uint32_t handOverState;  // the state in which the device's return starts this check
    KivSlot own;
    uint32_t runningState;
    bool reportsOsVersion;  // just before Pass
};

FlowTraits TraitsOf(KivCheckFlow flow) {
    switch (flow) {
    case KivCheckFlow::Recovery: return {KivSlot::Wipe, DEV_WIPE_LEFT, KivSlot::Check, DEV_CHECKING, false};
    case KivCheckFlow::Fastboot:
        return {KivSlot::Fastboot, DEV_FASTBOOT_FLASHING, KivSlot::FastbootCheck, DEV_FASTBOOT_CHECKING, true};
    case KivCheckFlow::Script:
        return {KivSlot::Script, DEV_SCRIPT_WAIT_REBOOT, KivSlot::ScriptCheck, DEV_SCRIPT_CHECKING, true};
    }
    return {KivSlot::Wipe, DEV_WIPE_LEFT, KivSlot::Check, DEV_CHECKING, false};
}

void Store(uint32_t* code, wxString* error, uint32_t codeValue, const wxString& text) {
    if (code)
        *code = codeValue;
    if (error)
        *error = text;
}

// A failure's text with what failed before it.
void PrefixError(wxString* error, const wxString& prefix) {
    if (error)
        *error = prefix + *error;
}

// Runs a call that reports the adb client's way, through int and std::wstring: on failure its
// code (the caller's when it wrote none) and its text (empty when it gave none).
bool AdbReport(uint32_t* code, wxString* error, const std::function<bool(int*, std::wstring*)>& call) {
    int adbCode = code ? static_cast<int>(*code) : 0;
    std::wstring adbError;
    if (call(&adbCode, &adbError))
        return true;
    Store(code, error, static_cast<uint32_t>(adbCode), adbError);
    return false;
}

// One operation of the shared adb client, as AdbReport reports it.
template <typename Operation>
bool AdbCall(RYL::CAdbCommander* adb, uint32_t* code, wxString* error, Operation operation) {
    if (!adb) {
        Store(code, error, ERR_NO_ADB_COMMANDER, "Can't build adb commander!");
        return false;
    }
    return AdbReport(code, error, [&](int* c, std::wstring* e) { return operation(*adb, c, e); });
}

}  // namespace

KivCheckResultWorker::KivCheckResultWorker(KivDevice* device, KivCheckFlow flow)
    : KivDeviceWorker(device, TraitsOf(flow).own), flow_(flow) {}

KivCheckResultWorker::~KivCheckResultWorker() {
    if (device)
        RemoveLeftovers();
}

KivThreadCheckResult::KivThreadCheckResult(KivDevice* device) : KivCheckResultWorker(device, KivCheckFlow::Recovery) {}

KivThreadCheckResultForIntel::KivThreadCheckResultForIntel(KivDevice* device)
    : KivCheckResultWorker(device, KivCheckFlow::Fastboot) {}

KivThreadCheckResultForScript::KivThreadCheckResultForScript(KivDevice* device)
    : KivCheckResultWorker(device, KivCheckFlow::Script) {}

void KivCheckResultWorker::Steps() {
    const FlowTraits traits = TraitsOf(flow_);
    // 1. Opening: the predecessor hands over, or there is nothing to do.
    if (!CancelPredecessor(traits.predecessor, traits.handOverState))
        return;
    OpeningStep(traits.runningState, "Check device serial number ...", true);

    uint32_t code = 0;
    wxString error;
    // 2. The serial number the device reported when it came back.
    if (!CheckSerialNumber(&code, &error)) {
        FailureStep(wxString::Format("Check device serial number failure(%s)", error), code);
        return;
    }

    // 3. Android is up once it answers with its software version.
    ProgressStep("Waiting for reading software version ...");
    wxString version;
    if (!ReadSoftwareVersion(&version, &code, &error)) {
        FailureStep(wxString::Format("Read software version failure(%s)", error), code);
        return;
    }
    ProgressStep("Read software version " + version);

    // 4. to 9. Only a report model whose job wiped data reports its result.
    if (ModelListHolds(ReportModels, device->model.wc_str()) && device->wipe) {
        if (!ReportResult(version, &code))
            return;  // the failing step has set Fail
    }

    // 10. Pass, after the OS-version report for the serial the device is detected under now (its
    // bootloader may have reported another one).
    if (traits.reportsOsVersion) {
        const wxString detected = DetectedSerial();
        ReportOsVersionAfterFlash(device->model, detected.empty() ? Serial() : detected);
    }
    FinalStep(wxString::Format(kFlashSucceededFormat, DetectedSerial()));
}

bool KivCheckResultWorker::ReportResult(const wxString& version, uint32_t* code) {
    const SettingsData settings = Settings();
    const bool upload = settings.UploadResult;
    const bool saveLog = settings.SaveXmlLog;
    const bool tavio = settings.Tavio;
    KivResultReport report(device, SettingsRecord());

    // A failing step sets Fail and the later steps still run; their progress is logged, but the
    // row keeps showing the failure.
    bool failed = false;
    auto progress = [&](const wxString& text) {
        if (failed)
            Log(0, LOG_LEVEL_INFO, text);
        else
            ProgressStep(text);
    };
    auto failure = [&](const wxString& text, uint32_t failureCode) {
        FailureStep(text, failureCode);
        failed = true;
    };

    wxString imei;
    wxString error;
    wxString logPath;
    bool logWritten = false;
    // 5. The IMEI, the companion package removed again, the XML log.
    if (upload || saveLog) {
        progress("Reading IMEI ...");
        if (!ReadImei(&imei, code, &error)) {
            failure(wxString::Format("Read IMEI failure(%s)", error), *code);
        } else {
            progress("Read IMEI " + imei);
            if (!UninstallPhoneInfo(code, &error)) {
                failure(wxString::Format("Uninstall PhoneInfoTest failure(%s)", error), *code);
            } else {
                progress("Generate xml log ...");
                if (report.GenerateXmlLog(device->listKey, &logPath, imei, version, &error))
                    logWritten = true;
                else
                    failure(wxString::Format("Generate xml log failure(%s)", error), ERR_XML_LOG);
            }
        }
    }

    // 6. The upload.
    bool uploaded = false;
    if (upload && logWritten) {
        progress("Upload xml log to FTP ...");
        if (report.UploadXmlLog(logPath, code, &error)) {
            uploaded = true;
            progress("Upload xml log to FTP successfully");
        } else {
            failure(wxString::Format("Upload xml log to FTP failure(%s)", error), *code);
        }
    }

    // 7. A log that was written only for the upload goes again, whatever the upload gave.
    if (logWritten && !saveLog && wxFileExists(logPath)) {
        wxLogNull quiet;
        wxRemoveFile(logPath);
    }

    // 8. Passed as far as the log and the upload go.
    const bool passed = (!saveLog || logWritten) && (!upload || uploaded);

    // 9. The Tavio report, also for a check that has failed (it then reports FAIL).
    bool reported = false;
    if (tavio) {
        progress("Return result to Tavio ...");
        if (report.ReturnResultToTavio(imei, passed, device->wipe, &error))
            reported = true;
        else  // the report gives no code: the one that the earlier calls left
            failure(wxString::Format("Return result to Tavio failure(%s)", error), *code ? *code : ERR_GENERAL);
    }
    return passed && (!tavio || reported);
}

bool KivCheckResultWorker::CheckSerialNumber(uint32_t* code, wxString* error) {
    return CheckDetectedSerial(DetectedSerial(), code, error);
}

bool KivCheckResultWorker::ReadSoftwareVersion(wxString* version, uint32_t* code, wxString* error) {
    return RetryUntilIntoAndroidTimeout([&] { return ReadVersionOnce(version, code, error); }, code, error);
}

bool KivCheckResultWorker::RetryUntilIntoAndroidTimeout(const std::function<bool()>& attempt, uint32_t* code,
                                                        wxString* error) {
    const uint32_t limit = Settings().Timeout.IntoAndroidTimeout;
    const KivDeadline deadline(limit);
    for (;;) {
        if (attempt())
            return true;
        if (deadline.Passed()) {
            if (error)
                *error = CheckTimeoutText(limit, *error);
            return false;
        }
        if (!WaitBeforeNextTry(code, error))
            return false;
    }
}

bool KivCheckResultWorker::ReadVersionOnce(wxString* version, uint32_t* code, wxString* error) {
    const std::wstring serial = DetectedSerial().ToStdWstring();
    std::wstring value;
    if (!AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
            return adb.GetProp(serial, L"ro.build.display.id", value, c, e);
        }))
        return false;
    // A device still starting up answers an error text: a failed try like any other.
    if (!IsAcceptedSoftwareVersion(flow_, value)) {
        Store(code, error, static_cast<uint32_t>(plat::kErrorInstallFailure), value);  // as a failure in adb's reply
        return false;
    }
    if (version)
        *version = value;
    return true;
}

bool KivCheckResultWorker::WaitBeforeNextTry(uint32_t* code, wxString* error) {
    for (unsigned i = 0; i < kRetryWaits; ++i) {
        if (TestDestroy()) {
            Store(code, error, ERR_USER_ABORT, kUserAbortText);
            return false;
        }
        SleepSeconds(kRetryWaitSeconds);
    }
    return true;
}

bool KivCheckResultWorker::ReadImei(wxString* imei, uint32_t* code, wxString* error) {
    // No failure ends the read before its limit: a phone's radio may publish the IMEI well after
    // adb answers, and the companion app may answer on a later try.
    return RetryUntilIntoAndroidTimeout(
        [&] {
            return ImeiFromHelper(imei, code, error) || ImeiFromProperty(imei, code, error) ||
                   ImeiFromCompanion(imei, code, error);
        },
        code, error);
}

bool KivCheckResultWorker::ImeiFromHelper(wxString* imei, uint32_t* code, wxString* error) {
    const std::wstring serial = DetectedSerial().ToStdWstring();
    std::wstring output;
    bool ok = AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
        return adb.Shell(serial, kHelper, kHelperArguments, L"/data/data", &output, c, e);
    });
    if (ok)
        ok = JudgeImeiOutput(output, L"Read IMEI: %s", imei, code, error);
    if (!ok)
        Log(code ? *code : 0, LOG_LEVEL_ERROR, error ? *error : wxString());
    return ok;
}

bool KivCheckResultWorker::ImeiFromProperty(wxString* imei, uint32_t* code, wxString* error) {
    std::wstring value;
    const std::wstring serial = DetectedSerial().ToStdWstring();
    if (!AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
            return adb.GetProp(serial, L"persist.radio.device.imei", value, c, e);
        })) {
        Log(code ? *code : 0, LOG_LEVEL_ERROR, error ? *error : wxString());
        return false;
    }
    if (IsImeiPropertyAnswer(value)) {
        if (imei)
            *imei = value;
        return true;
    }
    // Unset (empty) is no answer yet; anything else is refused, and logged.
    if (!value.empty()) {
        Store(code, error, ERR_INVALID_ID, wxString::Format(kInvalidImeiFormat, value));
        Log(ERR_INVALID_ID, LOG_LEVEL_ERROR, error ? *error : wxString());
    }
    return false;
}

bool KivCheckResultWorker::ImeiFromCompanion(wxString* imei, uint32_t* code, wxString* error) {
    return flow_ == KivCheckFlow::Script ? InstallAndRunGetImei(imei, code, error)
                                         : InstallAndRunPhoneInfo(imei, code, error);
}

bool KivCheckResultWorker::ExportPhoneInfoApk(uint32_t* code, wxString* error) {
    if (!packageFile.empty())
        return true;
    std::vector<unsigned char> buffer(kPackageBufferSize, 0);
    const unsigned size = RYL::LoadResourceBytes(RYL::GetThisModule(), ImeiApkResourceId(flow_, device->model),
                                                 L"APK", kPackageBufferSize, buffer.data());
    if (size == 0) {
        Store(code, error, ERR_APK_RESOURCE, "Load PhoneInfoTest apk resource failure");
        return false;
    }
    wxLogNull quiet;  // failures are reported, not shown
    std::wstring name;
    wxFile file;
    if (!MakeTempFileName(&name, DetectedSerial().ToStdWstring(), L".apk") || !file.Create(name, true)) {
        Store(code, error, ERR_FILE_OPEN, kPackageText);
        return false;
    }
    const size_t written = file.Write(buffer.data(), size);
    file.Close();
    if (written < size) {
        // A short package would only fail every install after it: the next try writes it anew.
        wxRemoveFile(name);
        Store(code, error, ERR_APK_WRITE, kPackageText);
        return false;
    }
    packageFile = name;
    return true;
}

bool KivCheckResultWorker::InstallAndStartCompanion(uint32_t* code, wxString* error) {
    if (!ExportPhoneInfoApk(code, error)) {
        PrefixError(error, "Export PhoneInfoTest.apk: ");
        return false;
    }
    const std::wstring serial = DetectedSerial().ToStdWstring();
    if (!installed) {
        const std::wstring path = packageFile.ToStdWstring();
        if (!AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
                return adb.Install(serial, path, true, c, e);
            })) {
            PrefixError(error, "Install PhoneInfoTest.apk: ");
            return false;
        }
        installed = true;
        Log(0, LOG_LEVEL_ERROR, "Install PhoneInfo.apk successfully");
    }
    const std::wstring package = CompanionPackage(flow_);
    const std::wstring activity = CompanionActivity(flow_, device->model).ToStdWstring();
    if (!AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
            return adb.AmStart(serial, package, activity, c, e);
        })) {
        PrefixError(error, "Start PhoneInfoTest activity: ");
        return false;
    }
    Log(code ? *code : 0, LOG_LEVEL_ERROR, "Start PhoneInfo.apk activity successfully");
    SleepMilliseconds(kActivitySettleMs);
    return true;
}

bool KivCheckResultWorker::InstallAndRunPhoneInfo(wxString* imei, uint32_t* code, wxString* error) {
    if (!InstallAndStartCompanion(code, error))
        return CompanionFailure(code ? *code : 0, error ? *error : wxString());
    const std::wstring serial = DetectedSerial().ToStdWstring();
    std::wstring output;
    bool ok = AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
        return adb.Shell(serial, kHelper, kHelperArguments, L"/data/data/com.zelk.phoneinfo", &output, c, e);
    });
    if (ok)
        ok = JudgeImeiOutput(output, L"Read IMEI from apk: %s", imei, code, error);
    return ok || CompanionFailure(code ? *code : 0, error ? *error : wxString());
}

bool KivCheckResultWorker::InstallAndRunGetImei(wxString* imei, uint32_t* code, wxString* error) {
    if (!InstallAndStartCompanion(code, error))
        return CompanionFailure(code ? *code : 0, error ? *error : wxString());
    const std::wstring serial = DetectedSerial().ToStdWstring();
    std::wstring value;
    bool ok = AdbCall(Adb(), code, error, [&](RYL::CAdbCommander& adb, int* c, std::wstring* e) {
        return adb.GetProp(serial, L"ril.device_imei", value, c, e);
    });
    if (ok)
        ok = JudgeImeiOutput(value, L"Read IMEI from apk: %s", imei, code, error);
    return ok || CompanionFailure(code ? *code : 0, error ? *error : wxString());
}

bool KivCheckResultWorker::CompanionFailure(uint32_t code, const wxString& error) {
    Log(code, LOG_LEVEL_ERROR, error);
    return false;
}

bool KivCheckResultWorker::UninstallPhoneInfo(uint32_t* code, wxString* error) {
    if (!installed)
        return true;
    std::wstring output;
    const wxString command = UninstallCommand(DetectedSerial(), CompanionPackage(flow_));
    if (!AdbReport(code, error, [&](int* c, std::wstring* e) {
            return RYL::CAdbCommander::RunAdb(command.ToStdWstring(), L"", &output, c, e);
        }))
        return false;
    return JudgeUninstallOutput(output, code, error);
}

wxString KivCheckResultWorker::DetectedSerial() {
    wxCriticalSectionLocker locker(device->lock);
    return device->detectedSerial;
}

void KivCheckResultWorker::RemoveLeftovers() {
    if (!installed && packageFile.empty())
        return;
    // Runs after Entry: a stop request of the record still cuts the uninstall short, and the
    // tools' time limit still holds.
    const std::shared_ptr<plat::StopSignal> previous = plat::ThreadStopSignal();
    plat::SetThreadStopSignal(control()->stopSignal());
    {
        const plat::ThreadTimeLimitScope limit(KivToolTimeLimitMs(Settings()));
        UninstallPhoneInfo(nullptr, nullptr);
    }
    plat::SetThreadStopSignal(previous);
    wxLogNull quiet;
    if (!packageFile.empty() && wxFileExists(packageFile))
        wxRemoveFile(packageFile);
}
