// Start-up services and checks: the shared adb client, internet agent and USB detector, then the
// window is shown or the program closes.
#include "KivFrame.h"
#include "KivFrameSettings.h"
#include "KivHwDetector.h"
#include "KivLog.h"
#include "KivSharedServices.h"

KIV::CKivHwDetector* KivFrame::GetSharedHwDetector() {
    if (hwDetector)
        return hwDetector;
    auto* detector = new KIV::CKivHwDetector(this, nullptr);
    if (!detector->RegisterDeviceNotify()) {
        delete detector;
        return nullptr;
    }
    hwDetector = detector;
    return detector;
}

void KivFrame::OnDeviceChangeMessage(wxCommandEvent& event) {
    if (hwDetector)
        hwDetector->OnDeviceChange(static_cast<uint32_t>(event.GetInt()),
                                         static_cast<const plat::DeviceBroadcastHeader*>(event.GetClientData()));
    event.Skip();
}

void KivFrame::RunStartupServices() {
    // 1. All three, whatever the earlier ones gave.
    const bool adb = GetSharedAdbCommander() != nullptr;
    const bool agent = GetSharedInternetAgent() != nullptr;
    const bool detector = GetSharedHwDetector() != nullptr;
    // 2. The first one missing is the failure.
    if (!adb) {
        FailStartup(ERR_NO_ADB_COMMANDER, "Can't build adb commander!");
        return;
    }
    if (!agent) {
        FailStartup(ERR_NO_INTERNET_AGENT, "Can't build internet agent!");
        return;
    }
    if (!detector) {
        FailStartup(ERR_NO_HW_DETECTOR, "Can't build hardware detector!");
        return;
    }
    // 3. Shown; the settings window then stays open only when its result-location check fails.
    Show();
    if (settings) {
        settings->ShowSettings();
        settings->HideSettings();
    }
}

void KivFrame::DeleteSharedServices() {
    DeleteSharedAdbCommander();  // stops the adb server it started
    DeleteSharedInternetAgent();
    delete hwDetector;
    hwDetector = nullptr;
}
