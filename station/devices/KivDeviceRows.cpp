#include "KivDeviceRows.h"

#include "KivDevice.h"
#include "KivEvents.h"
#include "KivStationHost.h"

#include <wx/app.h>
#include <wx/listctrl.h>
#include <wx/window.h>

#include <algorithm>
#include <map>
#include <memory>

namespace {

const wchar_t kInstalling[] = L"Installing";
const wchar_t kWiping[] = L"Wiping";
const wchar_t kChecking[] = L"Checking";

struct StateEntry {
    uint32_t code;
    KivStateLook look;
};

const StateEntry kStates[] = {
    {DEV_CONNECTED, {L"Connected", KIV_IMAGE_BLUE, 0}},
    {DEV_DISCONNECTED, {L"Disconnected", KIV_IMAGE_BLUED, 0}},
    {DEV_RECOVERY_FLASHING, {kInstalling, KIV_IMAGE_YELLOW, +1}},
    {DEV_RECOVERY_RETURNED, {kInstalling, KIV_IMAGE_YELLOW, +1}},
    {DEV_FASTBOOT_FLASHING, {kInstalling, KIV_IMAGE_YELLOW, +1}},
    {DEV_SCRIPT_FLASHING, {kInstalling, KIV_IMAGE_YELLOW, +1}},
    {DEV_WIPE_INSTALL, {kWiping, KIV_IMAGE_YELLOW, 0}},
    {DEV_WIPE_REBOOTED, {kWiping, KIV_IMAGE_YELLOW, 0}},
    {DEV_WIPE_LEFT, {kWiping, KIV_IMAGE_YELLOW, 0}},
    {DEV_SIDELOAD_READY, {kWiping, KIV_IMAGE_YELLOW, 0}},
    {DEV_SIDELOADING, {kWiping, KIV_IMAGE_YELLOW, 0}},
    {DEV_CHECKING, {kChecking, KIV_IMAGE_YELLOW, 0}},
    {DEV_FASTBOOT_CHECKING, {kChecking, KIV_IMAGE_YELLOW, 0}},
    {DEV_SCRIPT_CHECKING, {kChecking, KIV_IMAGE_YELLOW, 0}},
    {DEV_PASS, {L"Pass", KIV_IMAGE_GREEN, -1}},
    {DEV_FAIL, {L"Fail", KIV_IMAGE_RED, -1}},
};

void SetError(wxString* error, const wchar_t* text) {
    if (error)
        *error = text;
}

std::mutex registryMutex;
std::map<wxListCtrl*, std::shared_ptr<KivDeviceRows>>& Registry() {
    static std::map<wxListCtrl*, std::shared_ptr<KivDeviceRows>> registry;
    return registry;
}

// Applies at once on the GUI thread; from any other thread asks the GUI thread to do so.
void Show(wxListCtrl* list, KivDeviceRows& rows) {
    if (wxThread::IsMain()) {
        ApplyDeviceRowChanges(list);
        return;
    }
    // The application object may be a console one (no display), which wxTheApp must not name.
    wxAppConsole* app = wxAppConsole::GetInstance();
    if (rows.ScheduleApply() && app)
        app->CallAfter([list] { ApplyDeviceRowChanges(list); });
}

}  // namespace

bool LookUpState(uint32_t code, KivStateLook* look) {
    for (const StateEntry& entry : kStates) {
        if (entry.code == code) {
            *look = entry.look;
            return true;
        }
    }
    return false;
}

long KivDeviceRows::FindRow(const wxString& serial) const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].serial.IsSameAs(serial, false))
            return static_cast<long>(i);
    }
    return -1;
}

bool KivDeviceRows::Add(const wxString& serial, int position, wxString* error) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (FindRow(serial) >= 0) {
        SetError(error, L"The serial number already exists in the list control.");
        return false;
    }
    if (position < 0) {
        SetError(error, L"Insert item to list control failure.");
        return false;
    }
    const long row = std::min<long>(position, static_cast<long>(rows_.size()));
    Row added;
    added.serial = serial;
    rows_.insert(rows_.begin() + row, added);
    pending_.push_back({KivRowChange::Insert, row, KIV_COLUMN_SERIAL, serial, -1});
    return true;
}

bool KivDeviceRows::Remove(const wxString& serial, wxString* error) {
    std::lock_guard<std::mutex> guard(mutex_);
    const long row = FindRow(serial);
    if (row < 0) {
        SetError(error, L"Can not find the device in the list.");
        return false;
    }
    rows_.erase(rows_.begin() + row);
    pending_.push_back({KivRowChange::Delete, row, KIV_COLUMN_SERIAL, wxString(), -1});
    return true;
}

bool KivDeviceRows::SetState(const wxString& key, const wxString* description, uint32_t code,
                             wxString* error, bool* busyChanged) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (busyChanged)
        *busyChanged = false;
    const long index = FindRow(key);
    if (index < 0) {
        SetError(error, L"The serial number doesn't exists in the list control.");
        return false;
    }
    Row& row = rows_[index];
    KivStateLook look;
    if (code != 0 && LookUpState(code, &look)) {
        // Only a job that was counted is counted off, so the counter never drops below 0, whatever
        // order the codes come in (a Pass after a Fail, a Checking row whose job already failed).
        int change = look.busyChange;
        if (change < 0 && !row.jobCounted)
            change = 0;
        if (change != 0)
            row.jobCounted = change > 0;
        busyCount_ += change;
        if (busyChanged)
            *busyChanged = change != 0;
        row.state = look.text;
        row.stateImage = look.image;
        pending_.push_back({KivRowChange::SetCell, index, KIV_COLUMN_STATE, row.state, row.stateImage});
    }
    if (description) {
        row.description = *description;
        pending_.push_back({KivRowChange::SetCell, index, KIV_COLUMN_DESCRIPTION, row.description, -1});
    }
    return true;
}

int32_t KivDeviceRows::BusyCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return busyCount_;
}

std::vector<KivDeviceRows::Row> KivDeviceRows::Rows() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return rows_;
}

std::vector<KivRowChange> KivDeviceRows::TakeChanges() {
    std::lock_guard<std::mutex> guard(mutex_);
    applyScheduled_ = false;
    std::vector<KivRowChange> changes;
    changes.swap(pending_);
    return changes;
}

bool KivDeviceRows::ScheduleApply() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (applyScheduled_)
        return false;
    applyScheduled_ = true;
    return true;
}

void AttachDeviceRows(wxListCtrl* list) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Registry()[list] = std::make_shared<KivDeviceRows>();
}

void DetachDeviceRows(wxListCtrl* list) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Registry().erase(list);
}

std::shared_ptr<KivDeviceRows> DeviceRowsOf(wxListCtrl* list) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto it = Registry().find(list);
    return it == Registry().end() ? nullptr : it->second;
}

void ApplyDeviceRowChanges(wxListCtrl* list) {
    std::shared_ptr<KivDeviceRows> rows = DeviceRowsOf(list);
    if (!rows)
        return;  // the list has gone
    for (const KivRowChange& change : rows->TakeChanges()) {
        switch (change.kind) {
        case KivRowChange::Insert:
            list->InsertItem(change.row, change.text);
            break;
        case KivRowChange::Delete:
            if (change.row < list->GetItemCount())
                list->DeleteItem(change.row);
            break;
        case KivRowChange::SetCell:
            if (change.row < list->GetItemCount())
                list->SetItem(change.row, change.column, change.text, change.image);
            break;
        }
    }
}

bool AddDeviceRow(wxListCtrl* list, const wxString& serial, int position, wxString* error) {
    std::shared_ptr<KivDeviceRows> rows = DeviceRowsOf(list);
    if (!rows) {
        SetError(error, L"Insert item to list control failure.");
        return false;
    }
    if (!rows->Add(serial, position, error))
        return false;
    Show(list, *rows);
    return true;
}

bool RemoveDeviceRow(wxListCtrl* list, const wxString& serial, wxString* error) {
    std::shared_ptr<KivDeviceRows> rows = DeviceRowsOf(list);
    if (!rows) {
        SetError(error, L"Can not find the device in the list.");
        return false;
    }
    if (!rows->Remove(serial, error))
        return false;
    Show(list, *rows);
    return true;
}

bool SetDeviceRowState(wxListCtrl* list, const wxString& key, const wxString* description, uint32_t code,
                       wxString* error) {
    std::shared_ptr<KivDeviceRows> rows = DeviceRowsOf(list);
    if (!rows) {
        SetError(error, L"The serial number doesn't exists in the list control.");
        return false;
    }
    bool busyChanged = false;
    if (!rows->SetState(key, description, code, error, &busyChanged))
        return false;
    Show(list, *rows);
    if (busyChanged)
        PostBusyState();
    return true;
}

bool PostBusyState() {
    KivStationHost* host = KivStationHost::Get();
    wxWindow* frame = host ? host->MainWindow() : nullptr;
    std::shared_ptr<KivDeviceRows> rows = frame ? DeviceRowsOf(host->DeviceList()) : nullptr;
    if (!rows)
        return true;
    // The event and its bool are made when the call is run: a call still pending when the window
    // goes (a forced close stops running jobs) leaves nothing behind.
    const bool busy = rows->BusyCount() != 0;
    frame->CallAfter([frame, busy] {
        wxCommandEvent event(EVT_BUSY_CHANGE, 0);
        event.SetClientData(new bool(busy));
        frame->GetEventHandler()->ProcessEvent(event);
    });
    return true;
}
