// The device list's rows as the station holds them, and the list-row operations through which
// every part of the station shows a device's state.
//
// An operation decides its result at once on the rows held here and queues the change of the list
// control; the GUI thread applies queued changes in the order they were decided (at once when the
// operation runs on the GUI thread, soon after otherwise). So a worker never waits for the GUI thread.
#pragma once
#include <wx/string.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class wxListCtrl;

// Indexes of the list's pictures.
enum KivStateImage { KIV_IMAGE_USB, KIV_IMAGE_BLUE, KIV_IMAGE_BLUED, KIV_IMAGE_YELLOW, KIV_IMAGE_GREEN, KIV_IMAGE_RED };

// The list's columns.
enum { KIV_COLUMN_SERIAL, KIV_COLUMN_STATE, KIV_COLUMN_DESCRIPTION };

// The State text, the picture and the busy-counter change that a state code shows; false for a
// code that shows none (0 among them).
struct KivStateLook {
    const wchar_t* text;
    int image;
    int busyChange;  // +1 starts a job; -1 ends the counted job of the row, if it has one
};
bool LookUpState(uint32_t code, KivStateLook* look);

struct KivRowChange {
    enum Kind { Insert, Delete, SetCell } kind;
    long row;
    int column = 0;
    wxString text;
    int image = -1;  // SetCell: -1 keeps no picture
};

class KivDeviceRows {
public:
    struct Row {
        wxString serial;
        wxString state;
        int stateImage = -1;
        wxString description;
        bool jobCounted = false;  // the busy counter holds this row's running job
    };

    bool Add(const wxString& serial, int position, wxString* error);
    bool Remove(const wxString& serial, wxString* error);
    // busyChanged: set when the busy counter moved.
    bool SetState(const wxString& key, const wxString* description, uint32_t code, wxString* error,
                  bool* busyChanged);

    int32_t BusyCount() const;
    std::vector<Row> Rows() const;
    // The changes decided since the last call, oldest first.
    std::vector<KivRowChange> TakeChanges();
    // Marks that the GUI thread has been asked to apply; false when it already was.
    bool ScheduleApply();

private:
    long FindRow(const wxString& serial) const;  // exact text, letter case ignored; -1: none

    mutable std::mutex mutex_;
    std::vector<Row> rows_;
    std::vector<KivRowChange> pending_;
    bool applyScheduled_ = false;
    int32_t busyCount_ = 0;
};

// The rows of a list control: the main window attaches its list when it builds it and detaches it
// before the control goes. Null for a list that is not attached.
void AttachDeviceRows(wxListCtrl* list);
void DetachDeviceRows(wxListCtrl* list);
std::shared_ptr<KivDeviceRows> DeviceRowsOf(wxListCtrl* list);
// Applies the queued changes to the control (GUI thread).
void ApplyDeviceRowChanges(wxListCtrl* list);

bool AddDeviceRow(wxListCtrl* list, const wxString& serial, int position, wxString* error);
bool RemoveDeviceRow(wxListCtrl* list, const wxString& serial, wxString* error);
// Callers hold the main window's listLock.
bool SetDeviceRowState(wxListCtrl* list, const wxString& key, const wxString* description, uint32_t code,
                       wxString* error);
// Posts EVT_BUSY_CHANGE to the main window: true while the busy counter is not 0.
bool PostBusyState();
