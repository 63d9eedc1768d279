#include "KivStationHost.h"

#include <wx/app.h>

KivStationHost* KivStationHost::Get() { return dynamic_cast<KivStationHost*>(wxApp::GetInstance()); }
