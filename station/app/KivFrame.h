// The main window: tool bar, model and wipe choice, image chooser, device list and busy gauge.
#pragma once
#include "KivDevice.h"
#include "KivThreadRemoveUIDevice.h"

#include <wx/frame.h>
#include <wx/thread.h>
#include <wx/timer.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class wxBoxSizer;
class wxComboBox;
class wxGauge;
class wxImageList;
class wxListCtrl;
class wxRadioButton;
class wxTextCtrl;
class KivFrameSettings;
namespace KIV {
class CKivHwDetector;
}

// Control and tool ids.
enum {
    ID_MODEL_COMBO = 100,
    ID_IMAGE_BUTTON = 101,
    ID_TOOL_START = 103,
    ID_TOOL_REMOVE = 104,
    ID_TOOL_SETTINGS = 105,
};

class KivFrame : public wxFrame {
public:
    explicit KivFrame(const wxString& title);
    ~KivFrame() override;

    bool BuildToolBar();
    bool CreateControls();
    bool CreateStateImageList();
    // Under arrayLock: true when any record has a worker attached.
    bool IsAnyDeviceBusy();

    void OnToolClicked(wxCommandEvent& event);
    void OnBusyChange(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    // Start, image check and dispatch (KivFrameStart.cpp).
    void OnModelSelected(wxCommandEvent& event);
    void OnBrowseImage(wxCommandEvent& event);
    void StartFlash();
    // Starts the latest-image check; false with the error text when its thread cannot be made.
    bool StartImageCheck(const wxString& model, bool wipe, const wxString& imagePath, wxString* error);
    void OnImageCheckDone(wxCommandEvent& event);
    // The OS-version report before the flash, for the first selected device (KivFrameStart.cpp);
    // false: do not flash.
    bool ReportOsVersionBeforeFlash(const wxString& model);
    // Device list arrivals, removals and the Remove tool (KivFrameDeviceList.cpp).
    void OnDeviceChangeEvent(wxCommandEvent& event);
    bool RemoveSelectedDevices();

    // The shared USB detector with this window as its owner, made and registered on first use;
    // null when it cannot be registered (KivFrameServices.cpp).
    KIV::CKivHwDetector* GetSharedHwDetector();
    // The device-change message of the detector's registration: handed to the detector.
    void OnDeviceChangeMessage(wxCommandEvent& event);

    // Start-up failure: an error box, the log record, then a close request; the window is never
    // shown.
    void FailStartup(uint32_t code, const wxString& text);

    // Tests: runs instead of the start-up services at the end of the constructor (null: the
    // services again).
    static void SetStartupForTesting(std::function<void(KivFrame&)> startup);

    wxMutex startGate;
    wxBoxSizer* mainSizer = nullptr;
    KivFrameSettings* settings = nullptr;
    wxComboBox* modelCombo = nullptr;
    wxRadioButton* wipeYes = nullptr;
    wxRadioButton* wipeNo = nullptr;
    wxTextCtrl* imagePathText = nullptr;
    wxCriticalSection listLock;
    wxListCtrl* deviceList = nullptr;
    wxImageList* stateImages = nullptr;
    wxCriticalSection arrayLock;
    KivArrayDevice devices;
    wxGauge* busyGauge = nullptr;
    // The Remove tool's workers; the destructor waits until none is left before it deletes records.
    KivRemovalWorkers removalWorkers;

private:
    // The settings window (KivFrameSettings.cpp).
    KivFrameSettings* CreateSettingsWindow(const wxString& title);
    void ShowSettingsWindow();
    // The shared services: made, checked and the window shown at the end of the constructor;
    // deleted by the destructor (KivFrameServices.cpp).
    void RunStartupServices();
    void DeleteSharedServices();

    // The device-change handler decides each report under arrayLock and shows its message boxes
    // after releasing it; reports that arrive meanwhile wait here and are handled in order.
    struct DeviceChangeOutcome;
    void HandleDeviceChange(const DeviceChangeInfo& info, DeviceChangeOutcome& outcome);
    void HandleArrival(const DeviceChangeInfo& info, DeviceChangeOutcome& outcome);
    void HandleRemoval(const DeviceChangeInfo& info);
    std::deque<std::unique_ptr<DeviceChangeInfo>> pendingDeviceChanges;
    bool handlingDeviceChanges = false;

    void OnPulseTimer(wxTimerEvent& event);

    // The shared USB detector, once made.
    KIV::CKivHwDetector* hwDetector = nullptr;

    wxTimer pulseTimer;  // the gauge moves once per Pulse() call on GTK

    wxDECLARE_EVENT_TABLE();
};
