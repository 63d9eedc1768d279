#include "KivCheckRules.h"

#include "CompanionModels.h"
#include "KivLog.h"
#include "KivTexts.h"
#include "Process.h"

namespace {

constexpr size_t kImeiLength = 15;
constexpr wchar_t kPhoneInfoPackage[] = L"com.zelk.phoneinfo";
constexpr wchar_t kGetImeiPackage[] = L"com.example.getimei";

// The flow whose check installs a companion package: com.zelk.phoneinfo (160, 165) follows the
// recovery flow, com.example.getimei (167) the script flow.
KivCheckFlow FlowOfPackage(int apkResourceId) {
    return apkResourceId == 167 ? KivCheckFlow::Script : KivCheckFlow::Recovery;
}

template <typename T>
void Store(T* out, const T& value) {
    if (out)
        *out = value;
}

}  // namespace

int ImeiApkResourceId(KivCheckFlow flow, const wxString& model) {
    for (const CompanionModel& entry : kCompanionModels) {
        if (FlowOfPackage(entry.apkResourceId) == flow && model == entry.model)
            return entry.apkResourceId;
    }
    return 0;
}

const wchar_t* CompanionPackage(KivCheckFlow flow) {
    return flow == KivCheckFlow::Script ? kGetImeiPackage : kPhoneInfoPackage;
}

wxString CompanionActivity(KivCheckFlow flow, const wxString& model) {
    if (flow == KivCheckFlow::Script)
        return "com.example.getimei.MainActivity";
    return wxString::Format("com.zelk.phoneinfo.PhoneInfoAPK_%s_Activity", model);
}

wxString TrimTrailingLineEnds(const wxString& text) {
    size_t end = text.length();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' '))
        --end;
    return text.substr(0, end);
}

bool CheckDetectedSerial(const wxString& serial, uint32_t* code, wxString* error) {
    if (!serial.Contains("&"))
        return true;
    Store(code, uint32_t(ERR_INVALID_ID));
    Store(error, wxString::Format("The detected device serial number \"%s\" is invalid", serial));
    return false;
}

bool JudgeImeiOutput(const wxString& output, const wchar_t* notFoundFormat, wxString* imei, uint32_t* code,
                     wxString* error) {
    const wxString trimmed = TrimTrailingLineEnds(output);
    if (trimmed.length() == kImeiLength) {
        Store(imei, trimmed);
        return true;
    }
    if (trimmed.Contains("not found")) {
        Store(code, uint32_t(ERR_IMEI_NOT_FOUND));
        Store(error, wxString::Format(notFoundFormat, trimmed));
    } else {
        Store(code, uint32_t(ERR_INVALID_ID));
        Store(error, wxString::Format(kInvalidImeiFormat, trimmed));
    }
    return false;
}

bool IsImeiPropertyAnswer(const wxString& value) {
    if (value.length() != kImeiLength)
        return false;
    for (wxUniChar c : value) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool IsAcceptedSoftwareVersion(KivCheckFlow flow, const wxString& version) {
    return flow != KivCheckFlow::Fastboot || !version.Contains("error");
}

wxString UninstallCommand(const wxString& serial, const wxString& package) {
    const wxString tail = " uninstall " + wxString(plat::CommandLineWord(package.ToStdWstring()));
    if (serial.empty())
        return tail;
    return " -s " + wxString(plat::QuoteArgument(serial.ToStdWstring())) + tail;
}

bool JudgeUninstallOutput(const wxString& output, uint32_t* code, wxString* error) {
    const wxString trimmed = TrimTrailingLineEnds(output);
    if (trimmed == "Success")
        return true;
    Store(code, uint32_t(ERR_UNINSTALL));
    Store(error, wxString::Format("ADB response: %s", trimmed));
    return false;
}

wxString CheckTimeoutText(uint32_t limitSeconds, const wxString& lastError) {
    return wxString::Format("%u seconds timeout, %s", limitSeconds, lastError);
}
