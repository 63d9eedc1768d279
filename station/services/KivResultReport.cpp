#include "KivResultReport.h"

#include "Clock.h"
#include "Errors.h"
#include "Internet.h"
#include "InternetAgent.h"
#include "KivDevice.h"
#include "KivSharedServices.h"
#include "KivTexts.h"
#include "KivVersion.h"
#include "markup/MarkupDocument.h"
#include "markup/MarkupText.h"
#include "OleDateTime.h"
#include "Paths.h"
#include "Process.h"
#include "UrlText.h"

#include <wx/file.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include <algorithm>

namespace {

constexpr int kFtpTries = 5;
constexpr uint32_t kFtpRetryWaitMs = 2000;
constexpr int kTavioTries = 3;

wxString QueryValue(const wxString& value) { return RYL::PercentEncode(value.ToStdWstring()); }

wxString Now(const wchar_t* format) { return RYL::COleDateTime::GetCurrentTime().Format(format); }

void SetText(wxString* out, const wxString& text) {
    if (out)
        *out = text;
}

// Sleeps through the station clock; false when the calling worker is asked to stop meanwhile.
bool SleepUnlessStopped(uint32_t milliseconds) {
    const std::shared_ptr<plat::StopSignal> stop = plat::ThreadStopSignal();
    const uint64_t end = plat::NowMs() + milliseconds;
    for (;;) {
        if (stop && stop->StopRequested())
            return false;
        const uint64_t now = plat::NowMs();
        if (now >= end)
            return true;
        plat::SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, 50)));
    }
}

}  // namespace

wxString MakeXmlLogText(const wxString& ssn, const wxString& imei, const wxString& stamp,
                        const wxString& softwareVersion) {
    const auto escaped = [](const wxString& value) { return wxString(RYL::EscapeText(value.ToStdWstring(), 0)); };
    wxString text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<REFLASH>\n"
         << "<UNIT>\n"
         << "<SSN>" << escaped(ssn) << "</SSN>\n"
         << "<ESN>" << escaped(imei) << "</ESN>\n"
         << "<TIMESTAMP>" << escaped(stamp) << "</TIMESTAMP>\n"
         << "<RESULT>PASS</RESULT>\n"
         << "<WIPEDATA>SUCCESS</WIPEDATA>\n"
         << "<SOFTWARE_NAME>" << kProductName << " " << kProductVersion << "</SOFTWARE_NAME>\n"
         << "<SOFTWARE_VER>" << escaped(softwareVersion) << "</SOFTWARE_VER>\n"
         << "<OEM_NAME>ZELK</OEM_NAME>\n"
         << "</UNIT>\n"
         << "</REFLASH>\n";
    return text;
}

wxString MakeXmlLogPath(const wxString& resultPath, const wxString& imei, const wxString& stamp, int nameTry) {
    wxString path = wxString::Format("%s/%s_%s_%s", resultPath, "ZELK", imei, stamp);
    if (nameTry > 1)
        path << "_" << nameTry;
    return path;
}

wxString MakeFtpRemotePath(const wxString& uploadPath, const wxString& localPath) {
    wxString remote = uploadPath;
    if (!remote.empty() && !remote.EndsWith("/") && !remote.EndsWith("\\"))
        remote += "/";
    return remote + wxFileNameFromPath(localPath);
}

bool IsFtpRetryable(const wxString& error) { return error.Contains("timed out"); }

wxString MakeTavioUploadQuery(const wxString& serial, bool testPassed, const wxString& date,
                              const wxString& time, const wxString& imei, bool dataCleaned) {
    return wxString::Format(
        "action=ndss_upload&serial_no=%s&product_type=%s&test_result=%s&test_id=%s&test_date=%s&test_time=%s"
        "&imei=%s&cleanData=%s",
        QueryValue(serial), "AT", testPassed ? "PASS" : "FAIL", "Zelk_Flash_Tool", QueryValue(date),
        QueryValue(time), QueryValue(imei), dataCleaned ? "Y" : "N");
}

wxString MakeTavioViewQuery(const wxString& serial) {
    return wxString::Format("action=ndss_upload&serial_no=%s&view=view", QueryValue(serial));
}

bool ReadTavioViewReply(const wxString& reply, wxString* serialNo, wxString* testTime) {
    SetText(serialNo, wxString());
    SetText(testTime, wxString());
    RYL::MarkupDocument document;
    document.SetDocument(reply.ToStdWstring());  // a lenient parse: only the elements found count
    if (!document.FindElement(L"RM_WTP_TEST_RESULT") || !document.StepInto())
        return false;
    // Each search moves forward from the element found before it.
    if (document.FindElement(L"SERIAL_NO"))
        SetText(serialNo, document.GetText());
    if (document.FindElement(L"TEST_TIME"))
        SetText(testTime, document.GetText());
    return true;
}

KivResultReport::KivResultReport(KivDevice* device, const SettingsValues* settings)
    : device_(device), settings_(settings) {}

bool KivResultReport::GenerateXmlLog(wxString ssn, wxString* logPath, wxString imei, wxString softwareVersion,
                                     wxString* error) {
    const wxString stamp = Now(L"%Y%m%d%H%M%S");
    const wxString text = MakeXmlLogText(ssn, imei, stamp, softwareVersion);
    const wxString resultPath = settings_ ? wxString(settings_->Copy().ResultPath) : wxString();
    SetText(logPath, MakeXmlLogPath(resultPath, imei, stamp));

    // Never at the root of the file system, nor in a directory made up on the way.
    if (resultPath.empty()) {
        SetText(error, "The XML log location is not set");
        return false;
    }
    if (!wxDirExists(resultPath)) {
        SetText(error, "The XML log location doesn't exist");
        return false;
    }
    // The IMEI comes from the device: a separator in it must not put the log outside ResultPath.
    if (imei.find_first_of("/\\") != wxString::npos) {
        SetText(error, "Create xml log file failure");
        return false;
    }
    wxLogNull quiet;  // failures are reported to the caller, never in a box of wx's own
    const wxScopedCharBuffer utf8 = text.utf8_str();
    // Phones that lost their IMEI share a default one, and are checked in the same second: a log
    // whose name is taken, with or without its extension, takes the next name. An existing file is
    // never replaced.
    for (int nameTry = 1;; ++nameTry) {
        const wxString path = MakeXmlLogPath(resultPath, imei, stamp, nameTry);
        SetText(logPath, path);
        const bool lastName = nameTry == kXmlLogNames;
        bool taken = false;
        const int fd = plat::CreateNewFile(path.ToStdWstring(), &taken);
        if (fd < 0) {
            if (taken && !lastName)
                continue;
            SetText(error, "Create xml log file failure");
            return false;
        }
        wxFile file(fd);
        const bool written = file.Write(utf8.data(), utf8.length()) == utf8.length();
        if (!file.Close() || !written) {
            wxRemoveFile(path);  // no partial log is kept or uploaded
            SetText(error, "Write xml log file failure");
            return false;
        }
        if (plat::RenameNoReplace(path.ToStdWstring(), (path + ".xml").ToStdWstring(), &taken)) {
            if (logPath)
                *logPath += ".xml";
            return true;
        }
        wxRemoveFile(path);  // neither the operator nor the upload finds a log without its name
        if (!taken || lastName) {
            SetText(error, "Rename xml log file failure");
            return false;
        }
    }
}

bool KivResultReport::UploadXmlLog(wxString logPath, uint32_t* code, wxString* error) {
    const FtpSettings ftp = settings_ ? settings_->Copy().Ftp : FtpSettings();
    const wxString remotePath = MakeFtpRemotePath(ftp.UploadPath, logPath);
    RYL::CInternetAgent* agent = GetSharedInternetAgent();
    uint32_t lastCode = plat::kEFail;
    std::wstring lastError = L"Can't build internet agent!";
    for (int attempt = 1; agent && attempt <= kFtpTries; ++attempt) {
        if (!SleepUnlessStopped(kFtpRetryWaitMs)) {
            if (attempt == 1) {
                lastCode = plat::kErrorCancelled;
                lastError = kUserAbortText;
            }
            break;
        }
        if (agent->FtpUpload(ftp.Host, ftp.Port, remotePath.ToStdWstring(), logPath.ToStdWstring(), ftp.User,
                             ftp.Password, ftp.TransforMode, plat::kFtpTransferTypeBinary, &lastCode,
                             &lastError)) {
            if (code)
                *code = lastCode;
            SetText(error, lastError);
            return true;
        }
        if (!IsFtpRetryable(lastError))
            break;
    }
    if (code)
        *code = lastCode;
    SetText(error, lastError);
    return false;
}

bool KivResultReport::ReturnResultToTavio(wxString imei, bool testPassed, bool dataCleaned, wxString* error) {
    SetText(error, wxString());
    // One time for every try, so that the check compares with what was sent.
    const RYL::COleDateTime now = RYL::COleDateTime::GetCurrentTime();
    const wxString date = now.Format(L"%d/%m/%Y");
    const wxString time = now.Format(L"%H:%M:%S");
    wxString serial;
    if (device_) {
        wxCriticalSectionLocker locker(device_->lock);
        serial = device_->detectedSerial;
    }
    const std::wstring host = settings_ ? settings_->Copy().GetTavioHost() : SettingsData().GetTavioHost();
    const std::wstring upload = MakeTavioUploadQuery(serial, testPassed, date, time, imei, dataCleaned).ToStdWstring();
    const std::wstring view = MakeTavioViewQuery(serial).ToStdWstring();

    RYL::CInternetAgent* agent = GetSharedInternetAgent();
    wxString reason = "sent failure";
    for (int attempt = 0; agent && attempt < kTavioTries; ++attempt) {
        std::wstring reply;
        if (!agent->HttpGet(host, kTavioPath, upload, &reply, nullptr, true, nullptr)) {
            reason = "sent failure";
            continue;
        }
        if (reply != L"SUCCESS") {
            SetText(error, reply);
            return false;
        }
        if (!agent->HttpGet(host, kTavioPath, view, &reply, nullptr, true, nullptr)) {
            reason = "request check failure";
            continue;
        }
        wxString serialNo, testTime;
        if (!ReadTavioViewReply(reply, &serialNo, &testTime)) {
            reason = "Invalid response format: No find the element \"RM_WTP_TEST_RESULT\"";
            continue;
        }
        if (serialNo == serial && testTime == time)
            return true;
        reason = "check failure";
    }
    SetText(error, reason);
    return false;
}
