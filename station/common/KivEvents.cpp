#include "KivEvents.h"

wxDEFINE_EVENT(EVT_DEVICE_CHANGE, wxCommandEvent);
wxDEFINE_EVENT(EVT_IMAGE_CHECK_DONE, wxCommandEvent);
wxDEFINE_EVENT(EVT_BUSY_CHANGE, wxCommandEvent);
