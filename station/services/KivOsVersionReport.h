// The OS-version report: where "Extra/Get_OS_version.txt" asks for it, a device's OS version and
// serial number go to the report service named in that file. Before the flash the main window
// reports the first selected device's build version (ReportOsVersionBeforeFlash); after
// the flash the fastboot and script check workers report the CSC version (below).
#pragma once
#include <wx/string.h>

#include <cstdint>
#include <functional>

class wxCriticalSection;
class wxListCtrl;
class wxWindow;

inline constexpr const wchar_t* kOsVersionFile = L"Extra/Get_OS_version.txt";

// The file's first three lines (split at LF): the enable flag as _wtoi reads it, the host with
// every CR removed, and the model list.
struct OsVersionConfig {
    int enable = 0;
    wxString host;
    wxString models;
};
OsVersionConfig ParseOsVersionConfig(const wxString& text);
// The model takes part when the list holds its code followed by a comma.
bool OsVersionModelListed(const wxString& models, const wxString& model);

// The version in fastboot's build-version text: the 50 characters from "(bootloader)" on (from the
// start when the fastboot layer has dropped the single prefix), without tabs and without
// "(bootloader) ". False (version unchanged) when nothing but white space is left.
bool ShapeBuildVersion(const wxString& text, wxString* version);
// The CSC property without the notices that adb printed into it when it restarted its server.
wxString ShapeCscVersion(const wxString& value);

// The report URL; serial and version percent-encoded.
wxString MakeOsVersionUrl(const wxString& host, const wxString& serial, const wxString& version);
// The report service has the version: status 200 and "SUCCESS" in the body.
bool OsVersionUploadAccepted(uint32_t status, const wxString& body);

// After the flash, on a check worker's thread holding no lock: reports the version of the device
// listed under serial. Its boxes wait for the operator. False only when the file is missing or bad
// or there is no internet connection; the callers ignore the result.
// Where the report shows what it is doing: the main window's device list (all null: nowhere).
struct OsVersionRows {
    wxWindow* window = nullptr;
    wxListCtrl* list = nullptr;
    wxCriticalSection* lock = nullptr;  // the list's lock
};

// Before the flash: the device that selectedSerial names (false: none is selected), when
// hasConnectedRecord finds it connected. False stops the flash.
bool ReportOsVersionBeforeFlash(const wxString& model, const OsVersionRows& rows,
                                const std::function<bool(wxString*)>& selectedSerial,
                                const std::function<bool(const wxString&)>& hasConnectedRecord);
bool ReportOsVersionAfterFlash(wxString model, wxString serial);
