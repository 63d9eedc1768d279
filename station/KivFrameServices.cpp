// Start-up services and checks: not built yet. Until then the window is shown without them.
#include "KivFrame.h"

void KivFrame::RunStartupServices() { Show(); }

void KivFrame::DeleteSharedServices() {}
