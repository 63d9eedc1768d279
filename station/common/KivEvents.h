// The program's own events: command events with id 0 whose client data is a heap object that the
// handler deletes on every path.
#pragma once
#include <wx/event.h>

wxDECLARE_EVENT(EVT_DEVICE_CHANGE, wxCommandEvent);     // DeviceChangeInfo*
wxDECLARE_EVENT(EVT_IMAGE_CHECK_DONE, wxCommandEvent);  // KivThreadResult*
wxDECLARE_EVENT(EVT_BUSY_CHANGE, wxCommandEvent);       // bool*: true while any job runs
