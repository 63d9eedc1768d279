#include "KivOsVersionReport.h"

#include "AdbCommander.h"
#include "FastbootCommands.h"
#include "Internet.h"
#include "KivDeviceRows.h"
#include "KivDialogs.h"
#include "KivLog.h"
#include "KivSettingsFile.h"
#include "KivSharedServices.h"
#include "KivStationHost.h"
#include "ProcessHelpers.h"
#include "Text.h"
#include "UrlText.h"

#include <wx/ffile.h>
#include <wx/utils.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/tokenzr.h>
#include <wx/window.h>

#include <memory>
#include <string>

namespace {

constexpr size_t kBuildVersionChars = 50;
// The longest a report request may take, whatever the server does: before the flash it blocks
// the window.
constexpr uint32_t kReportRequestLimitMs = 25000;
// What an old adb printed before the reply when it restarted its server (CR LF pairs removed).
const wchar_t kGettingOsVersion[] = L"Getting OS version...";
const wchar_t kGetOsVersionFailed[] = L"Get OS version failed!!";
const wchar_t kOldAdbRestartNotice[] = L"adb server is out of date.  killing...* daemon started successfully *";

void Log(const wxString& serial, uint32_t code, const wxString& text) {
    if (KivStationHost* host = KivStationHost::Get())
        host->Log(serial, code, LOG_LEVEL_INFO, text.wc_str());
}

// A plain OK box; off the GUI thread it waits until the operator has closed it.
void ShowBox(const wxString& text) { KivMessageBoxAndWait(text, wxMessageBoxCaptionStr, wxOK | wxCENTRE); }

OsVersionRows MainWindowRows() {
    KivStationHost* host = KivStationHost::Get();
    if (!host || !host->MainWindow())
        return {};
    return {host->MainWindow(), host->DeviceList(), host->ListLock()};
}

// The Description of the device's row, then a repaint with no lock held. Off the GUI thread the
// GUI thread is free and paints the change by itself.
void ShowRowText(const OsVersionRows& rows, const wxString& serial, const wxString& text) {
    if (!rows.window)
        return;
    {
        wxCriticalSectionLocker locker(*rows.lock);
        SetDeviceRowState(rows.list, serial, &text, 0, nullptr);
    }
    if (wxThread::IsMain())
        rows.window->Update();
}

// On the GUI thread the window cannot answer while fastboot or the request runs: the operator
// sees the busy cursor meanwhile.
std::unique_ptr<wxBusyCursor> BusyOnGuiThread() {
    return std::unique_ptr<wxBusyCursor>(wxThread::IsMain() ? new wxBusyCursor : nullptr);
}

enum class FileRead { Missing, Unreadable, Read };

// The whole file as text: UTF-8 unless a byte-order mark says otherwise. Read in pieces, since
// the length of what was opened (a directory, say) need not be known.
FileRead ReadConfigFile(wxString* text) {
    wxLogNull quiet;  // failures are told by the caller's boxes
    wxFFile file;
    if (!file.Open(kOsVersionFile, "rb"))
        return FileRead::Missing;
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const size_t read = file.Read(buffer, sizeof buffer);
        bytes.append(buffer, read);
        if (read < sizeof buffer)
            break;
    }
    if (file.Error())
        return FileRead::Unreadable;
    *text = wxString(bytes.data(), wxConvAuto(), bytes.size());
    return bytes.empty() || !text->empty() ? FileRead::Read : FileRead::Unreadable;
}

enum class ConfigCheck { Refused, Skip, Report };

// Reads the file anew; Refused has shown its box.
ConfigCheck CheckConfig(const wxString& model, OsVersionConfig* config) {
    wxString text;
    switch (ReadConfigFile(&text)) {
    case FileRead::Missing:
        ShowBox("Can't find Get_OS_version.txt, please check the file");
        return ConfigCheck::Refused;
    case FileRead::Unreadable:
        ShowBox("Get_OS_version.txt error, please check the file content");
        return ConfigCheck::Refused;
    case FileRead::Read:
        break;
    }
    *config = ParseOsVersionConfig(text);
    if (config->enable == 0)
        return ConfigCheck::Skip;
    if (config->enable != 1) {
        ShowBox("Get_OS_version.txt error, please check the file content");
        return ConfigCheck::Refused;
    }
    return OsVersionModelListed(config->models, model) ? ConfigCheck::Report : ConfigCheck::Skip;
}

bool Connected(const wxString& serial) {
    uint32_t flags = 0;
    if (plat::InternetGetConnectedState(&flags))
        return true;
    Log(serial, 0, "No Internet Connection");
    ShowBox("No Internet Connection!! Please check it");
    return false;
}

// The status and the body of a GET through a session of its own; false when the request could not
// be made or its reply not be read within kReportRequestLimitMs.
bool FetchUrl(const wxString& url, uint32_t* status, std::string* body) {
    const plat::InternetTimeLimit limit(kReportRequestLimitMs);
    const auto busy = BusyOnGuiThread();
    plat::InternetHandle session =
        plat::InternetOpen(L"", plat::kInternetOpenTypePreconfig, plat::kInternetFlagDontCache);
    if (!session)
        return false;
    bool ok = false;
    if (plat::InternetHandle file =
            plat::InternetOpenUrl(session, url.ToStdWstring(), L"", plat::kInternetFlagTransferAscii)) {
        uint32_t length = sizeof *status;
        ok = plat::HttpQueryInfo(file, plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber, status, &length);
        char buffer[4096];
        for (uint32_t read = 0; ok;) {
            ok = plat::InternetReadFile(file, buffer, sizeof buffer, &read);
            if (!ok || read == 0)
                break;
            body->append(buffer, read);
        }
        plat::InternetCloseHandle(file);
    }
    plat::InternetCloseHandle(session);
    return ok;
}

void UploadOsVersion(const OsVersionRows& rows, const wxString& host, const wxString& serial, const wxString& version,
                     bool afterFlash) {
    Log(serial, ERR_OS_VERSION, "Uploading OS Version...");
    ShowRowText(rows, serial, "Uploading OS Version...");

    uint32_t status = 0;
    std::string body;
    const bool fetched = FetchUrl(MakeOsVersionUrl(host, serial, version), &status, &body);
    if (fetched && status == 200) {
        const wxString text = plat::WideFromNarrow(body);
        if (OsVersionUploadAccepted(status, text)) {
            if (afterFlash)
                ShowBox(version);
            Log(serial, 0, "Upload OS version to " + host + " successfully");
        } else {
            Log(serial, ERR_OS_VERSION_UPLOAD, "Upload to " + host + " failed!! Server response: " + text);
        }
    } else {
        // Another status, or no reply at all.
        const wxString text = "Unknown Server error!!  Upload OS version to " + host + " failed!!";
        Log(serial, ERR_OS_VERSION_UPLOAD, text);
        ShowBox(text);
    }
    ShowRowText(rows, serial, wxString());
}

// fastboot's "oem get_build_version", logged; false when no version came out of it.
bool ReadBuildVersion(const wxString& fastboot, const wxString& serial, wxString* version) {
    const auto busy = BusyOnGuiThread();
    std::wstring reply;
    if (!FastbootGetBuildVersion(fastboot.ToStdWstring(), serial.ToStdWstring(), &reply, nullptr, nullptr)) {
        Log(serial, ERR_OS_VERSION, kGetOsVersionFailed);
        return false;
    }
    const wxString text = reply;
    const bool shaped = ShapeBuildVersion(text, version);
    if (!shaped) {
        Log(serial, ERR_OS_VERSION, kGetOsVersionFailed);
        *version = text;
    }
    Log(serial, 0, "Get the OS Version: " + *version);
    return shaped;
}

}  // namespace

OsVersionConfig ParseOsVersionConfig(const wxString& text) {
    OsVersionConfig config;
    const wxArrayString lines = wxStringTokenize(text, "\n", wxTOKEN_RET_EMPTY_ALL);
    const auto line = [&lines](size_t n) { return n < lines.size() ? lines[n] : wxString(); };
    config.enable = SettingsWtoi(line(0).ToStdWstring());
    config.host = line(1);
    config.host.Replace("\r", "");
    config.models = line(2);
    return config;
}

bool OsVersionModelListed(const wxString& models, const wxString& model) { return models.Contains(model + ","); }

bool ShapeBuildVersion(const wxString& text, wxString* version) {
    // The fastboot layer has already dropped the prefix of a reply's single "(bootloader)" line.
    size_t at = text.find("(bootloader)");
    if (at == wxString::npos)
        at = 0;
    wxString shaped = text.substr(at, kBuildVersionChars);
    shaped.Replace("\t", "");
    shaped.Replace("(bootloader) ", "");
    if (wxString(shaped).Strip(wxString::both).empty())
        return false;
    *version = shaped;
    return true;
}

wxString ShapeCscVersion(const wxString& value) {
    if (!value.Contains("successfully"))
        return value;
    wxString version = value;
    version.Replace("\r\n", "");
    version.Replace(kOldAdbRestartNotice, "");
    // The current adb's notice has lines of its own ("* daemon not running; starting now at tcp:N",
    // "* daemon started successfully").
    wxString kept;
    for (const wxString& line : wxStringTokenize(version, "\n", wxTOKEN_RET_EMPTY_ALL)) {
        if (line.StartsWith("* daemon "))
            continue;
        if (!kept.empty())
            kept += "\n";
        kept += line;
    }
    return kept;
}

wxString MakeOsVersionUrl(const wxString& host, const wxString& serial, const wxString& version) {
    return "https://" + host + "/remote/RemoteConnection?action=upload_os_ver&serial_no=" +
           RYL::PercentEncode(serial.ToStdWstring()) + "&org_os_version=" + RYL::PercentEncode(version.ToStdWstring());
}

bool OsVersionUploadAccepted(uint32_t status, const wxString& body) {
    return status == 200 && body.Contains("SUCCESS");
}

bool ReportOsVersionBeforeFlash(const wxString& model, const OsVersionRows& rows,
                                const std::function<bool(wxString*)>& selectedSerial,
                                const std::function<bool(const wxString&)>& hasConnectedRecord) {
    OsVersionConfig config;
    switch (CheckConfig(model, &config)) {
    case ConfigCheck::Refused:
        return false;
    case ConfigCheck::Skip:
        return true;
    case ConfigCheck::Report:
        break;
    }
    wxString serial;
    if (!selectedSerial(&serial)) {
        ShowBox("Please select a device");
        return false;
    }
    if (!hasConnectedRecord(serial)) {
        ShowBox("Connection error of the selected device");
        return false;
    }
    std::wstring programDir;
    RYL::GetModuleDir(RYL::GetThisModule(), programDir);
    const wxString fastboot = wxString(programDir) + "/Google/fastboot1";
    if (!Connected(serial))
        return false;

    ShowRowText(rows, serial, kGettingOsVersion);
    Log(serial, 0, kGettingOsVersion);
    wxString version;
    const bool read = ReadBuildVersion(fastboot, serial, &version);
    ShowRowText(rows, serial, wxString());
    if (read)
        UploadOsVersion(rows, config.host, serial, version, false);
    return true;
}

bool ReportOsVersionAfterFlash(wxString model, wxString serial) {
    OsVersionConfig config;
    switch (CheckConfig(model, &config)) {
    case ConfigCheck::Refused:
        return false;
    case ConfigCheck::Skip:
        return true;
    case ConfigCheck::Report:
        break;
    }
    if (!Connected(serial))
        return false;

    const OsVersionRows rows = MainWindowRows();
    ShowRowText(rows, serial, kGettingOsVersion);
    Log(serial, 0, kGettingOsVersion);
    RYL::CAdbCommander* adb = GetSharedAdbCommander();
    const std::wstring device = serial.ToStdWstring();
    wxString version;
    bool read = false;
    if (!adb || !adb->WaitForDevice(device, 2500, 90)) {
        Log(serial, ERR_OS_VERSION, "Wait in to Android time out or can not find the device, Get OS version failed!!");
    } else {
        std::wstring value;
        read = adb->GetProp(device, L"ro.build.csc.version", value, nullptr, nullptr);
        if (read) {
            version = ShapeCscVersion(value);
            Log(serial, 0, "Get the OS Version: " + version);
        } else {
            Log(serial, ERR_OS_VERSION, kGetOsVersionFailed);
        }
    }
    ShowRowText(rows, serial, wxString());
    if (read)
        UploadOsVersion(rows, config.host, serial, version, true);
    return true;
}
