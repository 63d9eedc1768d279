// The judgements of the result-check workers, apart from any device: which companion package a
// model gets, what counts as an IMEI, a software version or a removed package, and the command
// lines and texts they use.
#pragma once
#include <wx/string.h>

#include <cstdint>

// The three result checks, one per flashing flow.
enum class KivCheckFlow {
    Recovery,  // KivThreadCheckResult, after the recovery install and wipe
    Fastboot,  // KivThreadCheckResultForIntel
    Script,    // KivThreadCheckResultForScript
};

// ImeiApkTable: the id of the "APK" resource that a flow installs to read a model's IMEI, by exact
// comparison of the model code; 0 (no resource has it) for every other model and flow.
int ImeiApkResourceId(KivCheckFlow flow, const wxString& model);

// The companion package that a flow installs and removes.
const wchar_t* CompanionPackage(KivCheckFlow flow);
// "com.zelk.phoneinfo.PhoneInfoAPK_<model>_Activity", or getimei's main activity.
wxString CompanionActivity(KivCheckFlow flow, const wxString& model);

// Trailing CR, LF and blanks removed.
wxString TrimTrailingLineEnds(const wxString& text);

// The detected serial number must not contain "&" (a serial the system made up).
bool CheckDetectedSerial(const wxString& serial, uint32_t* code, wxString* error);

// The output of an IMEI source: exactly 15 characters once trimmed is the IMEI. Otherwise an
// output that says "not found" gives ERR_IMEI_NOT_FOUND with notFoundFormat ("Read IMEI: %s")
// filled with the trimmed output, any other ERR_INVALID_ID.
bool JudgeImeiOutput(const wxString& output, const wchar_t* notFoundFormat, wxString* imei, uint32_t* code,
                     wxString* error);

// The property value of the IMEI: exactly 15 decimal digits ("unknown", "0" or an unset, empty
// property are none).
bool IsImeiPropertyAnswer(const wxString& value);

// A software version read that the fastboot flow takes; its device answers "error" texts while it
// is still starting up. The other flows take every read.
bool IsAcceptedSoftwareVersion(KivCheckFlow flow, const wxString& version);

// The adb command line that removes a package: " -s \"SERIAL\" uninstall PACKAGE", or without the
// serial when it is empty; each value one argument.
wxString UninstallCommand(const wxString& serial, const wxString& package);
// adb's uninstall reply must be "Success" once trimmed; else ERR_UNINSTALL, "ADB response: %s".
bool JudgeUninstallOutput(const wxString& output, uint32_t* code, wxString* error);

// "%u seconds timeout, %s": a read that kept failing until its limit.
wxString CheckTimeoutText(uint32_t limitSeconds, const wxString& lastError);
