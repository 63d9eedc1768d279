// The reports of a passed or failed result check: the XML result log, its upload by FTP and the
// report to the Tavio result service. They run on the calling check worker's thread, copy the
// settings they need under the settings lock and use the shared internet agent.
#pragma once
#include "SettingsValues.h"

#include <wx/string.h>

#include <cstdint>

class KivDevice;

// The path of every Tavio request.
inline constexpr const wchar_t* kTavioPath = L"/remote/RemoteConnection";

// The XML result log's text (LF line ends, values escaped as RYL::EscapeText does, RESULT always
// PASS).
wxString MakeXmlLogText(const wxString& ssn, const wxString& imei, const wxString& stamp,
                        const wxString& softwareVersion);
// "<resultPath>/ZELK_<imei>_<stamp>": the log's path before it gets its ".xml"; from the second
// try of a name on, "_<nameTry>" follows.
wxString MakeXmlLogPath(const wxString& resultPath, const wxString& imei, const wxString& stamp, int nameTry = 1);
// The names a log tries, while they are taken, before it fails.
inline constexpr int kXmlLogNames = 16;
// The upload directory, a "/" unless it is empty or already ends with "/" or "\", and the log's
// file name (without its local directory).
wxString MakeFtpRemotePath(const wxString& uploadPath, const wxString& localPath);
// Whether a failed FTP upload is worth another try: its text says it timed out.
bool IsFtpRetryable(const wxString& error);

// The two Tavio queries; every value percent-encoded.
wxString MakeTavioUploadQuery(const wxString& serial, bool testPassed, const wxString& date,
                              const wxString& time, const wxString& imei, bool dataCleaned);
wxString MakeTavioViewQuery(const wxString& serial);
// SERIAL_NO and then TEST_TIME inside RM_WTP_TEST_RESULT (a missing one stays empty); false when
// the reply has no RM_WTP_TEST_RESULT to step into.
bool ReadTavioViewReply(const wxString& reply, wxString* serialNo, wxString* testTime);

// One result check's reports: the device it checks and the settings record that says how (null:
// the defaults).
class KivResultReport {
public:
    KivResultReport(KivDevice* device, const SettingsValues* settings);

    // Writes the XML result log into ResultPath; true with the final path (ending in ".xml") in
    // logPath. A log whose name is taken (with or without ".xml") takes the next one of
    // MakeXmlLogPath's names; an existing file is never replaced. False with the reason in error:
    // an empty or missing ResultPath, every name taken, a short write or a refused rename (the new
    // file is removed).
    bool GenerateXmlLog(wxString ssn, wxString* logPath, wxString imei, wxString softwareVersion,
                        wxString* error);
    // Puts the log on the FTP server: up to five tries, each 2 s after the last, while a failure
    // says it timed out. False with FtpUpload's code and text of the last try.
    bool UploadXmlLog(wxString logPath, uint32_t* code, wxString* error);
    // Reports the result for the device's detected serial number and checks that the service has
    // stored it: up to three tries. error is emptied first; false with the reason.
    bool ReturnResultToTavio(wxString imei, bool testPassed, bool dataCleaned, wxString* error);

private:
    KivDevice* device_;
    const SettingsValues* settings_;
};
