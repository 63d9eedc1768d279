// Device list arrivals, removals and the Remove tool: not built yet. Until then a device report is
// dropped and Remove does nothing.
#include "KivFrame.h"

#include <memory>

void KivFrame::OnDeviceChangeEvent(wxCommandEvent& event) {
    std::unique_ptr<DeviceChangeInfo> info(static_cast<DeviceChangeInfo*>(event.GetClientData()));
}

bool KivFrame::RemoveSelectedDevices() { return false; }
