// The result-check workers: the last worker of each flashing flow. Started when the flashed device
// comes back into Android, each cancels its predecessor, checks the detected serial number, waits
// for the software version and, for a report model whose job wiped data, reads the IMEI and reports
// the result as the settings ask (XML log, FTP upload, Tavio). It ends with Pass or Fail.
#pragma once
#include <functional>
#include "KivCheckRules.h"
#include "KivDeviceWorker.h"

#include <wx/string.h>

#include <cstdint>

// The body the three classes share; the flow decides where they differ.
class KivCheckResultWorker : public KivDeviceWorker {
public:
    KivCheckFlow flow() const { return flow_; }

    // The steps of the check, each false with a code and an error text.
    bool CheckSerialNumber(uint32_t* code, wxString* error);
    // ro.build.display.id, read until Android answers or IntoAndroidTimeout has passed.
    bool ReadSoftwareVersion(wxString* version, uint32_t* code, wxString* error);
    // The IMEI from the device's helper, its property or the flow's companion app, tried in turn
    // until one answers or IntoAndroidTimeout has passed; each route's failure is logged.
    bool ReadImei(wxString* imei, uint32_t* code, wxString* error);
    // Writes the flow's companion package to a temporary file, once per worker.
    bool ExportPhoneInfoApk(uint32_t* code, wxString* error);
    // com.zelk.phoneinfo: install, start its activity, run the helper it leaves behind.
    bool InstallAndRunPhoneInfo(wxString* imei, uint32_t* code, wxString* error);
    // com.example.getimei: install, start its activity, read the property it sets.
    bool InstallAndRunGetImei(wxString* imei, uint32_t* code, wxString* error);
    // Removes the companion package when this worker installed it.
    bool UninstallPhoneInfo(uint32_t* code, wxString* error);

    bool installed = false;  // this worker installed its companion package
    wxString packageFile;    // the temporary package file, once written

protected:
    KivCheckResultWorker(KivDevice* device, KivCheckFlow flow);
    // Removes the companion package and the package file that this worker left, then the frame's
    // slot clearing.
    ~KivCheckResultWorker() override;

    void Steps() override;

private:
    // Steps 5 to 9: the IMEI, the XML log, its upload and the Tavio report; true when the check
    // passed. A failing step sets Fail and the later ones still run.
    bool ReportResult(const wxString& version, uint32_t* code);
    bool ReadVersionOnce(wxString* version, uint32_t* code, wxString* error);
    // 16 waits of 2 s, each after a cancellation test; false ("User abort") when cancelled.
    bool WaitBeforeNextTry(uint32_t* code, wxString* error);
    // Tries until one try succeeds or IntoAndroidTimeout has passed ("%u seconds timeout, %s").
    bool RetryUntilIntoAndroidTimeout(const std::function<bool()>& attempt, uint32_t* code, wxString* error);
    // The routes of one IMEI try: the helper the device may carry, persist.radio.device.imei, the
    // flow's companion app.
    bool ImeiFromHelper(wxString* imei, uint32_t* code, wxString* error);
    bool ImeiFromProperty(wxString* imei, uint32_t* code, wxString* error);
    bool ImeiFromCompanion(wxString* imei, uint32_t* code, wxString* error);
    // Install and start: the first three steps of both companion routes.
    bool InstallAndStartCompanion(uint32_t* code, wxString* error);
    // Logs the failure of a companion route (tag serial, error level) and returns false.
    bool CompanionFailure(uint32_t code, const wxString& error);
    wxString DetectedSerial();
    void RemoveLeftovers();

    KivCheckFlow flow_;
};

// After the recovery install and its wipe (follows KivThreadWipeData).
class KivThreadCheckResult : public KivCheckResultWorker {
public:
    explicit KivThreadCheckResult(KivDevice* device);
};

// After a fastboot flash (follows KivThreadDownloadImageForIntel).
class KivThreadCheckResultForIntel : public KivCheckResultWorker {
public:
    explicit KivThreadCheckResultForIntel(KivDevice* device);
};

// After a script flash (follows KivThreadDownloadImageForScript).
class KivThreadCheckResultForScript : public KivCheckResultWorker {
public:
    explicit KivThreadCheckResultForScript(KivDevice* device);
};
