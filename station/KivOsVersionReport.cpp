// OS-version report: not built yet. Until then the report before a flash lets every flash go on.
#include "KivFrame.h"

bool KivFrame::ReportOsVersionBeforeFlash(const wxString&) { return true; }
