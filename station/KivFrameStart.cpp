// Start, latest-image check and dispatch: not built yet. Until then the model choice changes
// nothing, the image button does nothing and Start only releases its gate.
#include "KivFrame.h"

void KivFrame::OnModelSelected(wxCommandEvent&) {}

void KivFrame::OnBrowseImage(wxCommandEvent&) {}

void KivFrame::StartFlash() { startGate.Unlock(); }

void KivFrame::OnImageCheckDone(wxCommandEvent&) {}
