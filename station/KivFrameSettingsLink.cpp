// The settings window: not built yet. Until then there is none and the Settings tool does nothing.
#include "KivFrame.h"

KivFrameSettings* KivFrame::CreateSettingsWindow(const wxString&) { return nullptr; }

void KivFrame::ShowSettingsWindow() {}
