// The process-wide adb client and internet agent that the workers share. Each getter makes its
// object on first use; the main window makes both at start-up and deletes them at its end.
#pragma once

namespace RYL {
class CAdbCommander;
class CInternetAgent;
}  // namespace RYL

// Made and started with an adb server restart; null when the start fails (a later call tries
// again from the start).
RYL::CAdbCommander* GetSharedAdbCommander();
// Null only when it cannot be allocated.
RYL::CInternetAgent* GetSharedInternetAgent();

// Delete the object and clear the pointer; no worker may use it any more.
void DeleteSharedAdbCommander();
void DeleteSharedInternetAgent();
