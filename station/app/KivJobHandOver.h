// The job arms of the device-change handler: what a device's return or departure does to a record
// whose job is running (it moves the job on and starts its next worker). They run on the GUI thread
// with the main window's arrayLock held, take the record's lock and listLock themselves, show no
// message box and never wait for a worker.
#pragma once
#include "KivDevice.h"

#include <functional>

class KivFrame;

// How the handler found the record of an arrival.
enum class KivJobLookup {
    SameDevice,   // the record has the event's serial, port and hub
    OtherSerial,  // the record is on the event's port and hub under another serial
};

void KivJobArrival(KivFrame& frame, KivDevice& device, KivJobLookup lookup, const DeviceChangeInfo& info);
// The arms alone: moves the record on and starts its next worker. False when that worker's thread
// cannot be made; failureText then holds what the row and the log are to show (the job has not
// been failed yet).
bool KivJobArrivalArm(KivDevice& device, KivJobLookup lookup, const DeviceChangeInfo& info, wxString* failureText);
// The record has the event's serial, port and hub.
void KivJobRemoval(KivFrame& frame, KivDevice& device, const DeviceChangeInfo& info);
void KivJobRemovalArm(KivDevice& device);

// Tests: runs in place of every worker start, under the record's lock, with the slot of the worker
// that would start; its result tells whether the worker's thread could be made. Null: real
// workers again.
void SetWorkerStarterForTesting(std::function<bool(KivDevice&, KivSlot)> starter);
