// A station for worker tests without a display: a list of rows that the GUI never shows, a log
// that keeps every record, and a settings record. Installed for every worker while it lives.
#pragma once
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "SettingsValues.h"

#include <wx/string.h>
#include <wx/thread.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct LoggedRecord {
    std::wstring tag;
    uint32_t code;
    int32_t level;
    std::wstring text;
};

class WorkerStation {
public:
    explicit WorkerStation(RYL::CAdbCommander* adb = nullptr) {
        // Only a key of the rows' registry: never shown, so never used as a control.
        list = reinterpret_cast<wxListCtrl*>(&listKeyObject);
        AttachDeviceRows(list);
        KivWorkerStation station;
        station.list = list;
        station.listLock = &listLock;
        station.settings = &settings;
        station.adb = adb;
        station.log = [this](const wxString& tag, uint32_t code, int32_t level, const wxString& text) {
            std::lock_guard<std::mutex> guard(logMutex);
            log.push_back({tag.ToStdWstring(), code, level, text.ToStdWstring()});
        };
        SetWorkerStationForTesting(&station);
    }
    ~WorkerStation() {
        SetWorkerStationForTesting(nullptr);
        DetachDeviceRows(list);
    }
    WorkerStation(const WorkerStation&) = delete;
    WorkerStation& operator=(const WorkerStation&) = delete;

    // A row for the serial, as the device list adds it when the device arrives.
    void AddRow(const wxString& serial, uint32_t state = 0) {
        DeviceRowsOf(list)->Add(serial, 0, nullptr);
        if (state)
            DeviceRowsOf(list)->SetState(serial, nullptr, state, nullptr, nullptr);
    }
    KivDeviceRows::Row Row(const wxString& serial) const {
        for (const KivDeviceRows::Row& row : DeviceRowsOf(list)->Rows())
            if (row.serial == serial)
                return row;
        return {};
    }
    int32_t BusyCount() const { return DeviceRowsOf(list)->BusyCount(); }
    std::vector<LoggedRecord> Log() const {
        std::lock_guard<std::mutex> guard(logMutex);
        return log;
    }
    std::vector<std::wstring> LogTexts() const {
        std::vector<std::wstring> texts;
        for (const LoggedRecord& record : Log())
            texts.push_back(record.text);
        return texts;
    }
    // Forgets the records and the shown texts so far.
    void ClearLog() {
        {
            std::lock_guard<std::mutex> guard(logMutex);
            log.clear();
        }
        DeviceRowsOf(list)->TakeChanges();
        descriptions.clear();
    }
    // Every text the Description column showed, in order (log or not).
    std::vector<std::wstring> Descriptions() {
        for (const KivRowChange& change : DeviceRowsOf(list)->TakeChanges())
            if (change.kind == KivRowChange::SetCell && change.column == KIV_COLUMN_DESCRIPTION)
                descriptions.push_back(change.text.ToStdWstring());
        return descriptions;
    }

    SettingsValues settings;
    wxCriticalSection listLock;
    wxListCtrl* list;

private:
    int listKeyObject = 0;
    mutable std::mutex logMutex;
    std::vector<LoggedRecord> log;
    std::vector<std::wstring> descriptions;
};
