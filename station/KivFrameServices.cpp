// Start-up services and checks: not built yet. Until then the window is shown without them,
// followed by the settings window's result-location check.
#include "KivFrame.h"
#include "KivFrameSettings.h"

void KivFrame::RunStartupServices() {
    Show();
    if (settings) {
        settings->ShowSettings();
        settings->HideSettings();
    }
}

void KivFrame::DeleteSharedServices() {}
