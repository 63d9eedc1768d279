// The job arms of the device-change handler: which return or departure of a device moves its job on
// and which next worker it starts, driven through the main window's handler.
#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivEvents.h"
#include "KivJobHandOver.h"
#include "KivLog.h"
#include "KivSharedServices.h"
#include "KivThreadDownloadImage.h"
#include "Clock.h"
#include "Internet.h"
#include "Paths.h"
#include "StationGui.h"
#include "StationLog.h"
#include "Text.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Sits in a slot until it is cancelled or stopped, as a worker waiting for its device does.
class ParkedWorker : public KivDeviceWorker {
public:
    ParkedWorker(KivDevice* device, KivSlot slot) : KivDeviceWorker(device, slot) {}
    void Steps() override {
        while (!TestDestroy())
            SleepMilliseconds(10);
    }
};

const char* SlotName(std::optional<KivSlot> slot) {
    if (!slot)
        return "none";
    switch (*slot) {
    case KivSlot::Download: return "download";
    case KivSlot::Wipe: return "wipe";
    case KivSlot::Check: return "check";
    case KivSlot::Fastboot: return "fastboot";
    case KivSlot::FastbootCheck: return "fastboot check";
    case KivSlot::Script: return "script";
    case KivSlot::ScriptCheck: return "script check";
    }
    return "?";
}

class JobHandOver : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        SetWorkerStarterForTesting([this](KivDevice& device, KivSlot slot) {
            started.push_back(slot);
            detectedAtStart = device.detectedSerial;
            return startSucceeds;
        });
        Fresh();
    }
    void TearDown() override {
        Drop();
        SetWorkerStarterForTesting(nullptr);
        StationGui::TearDown();  // the window's end stops the shared adb client, still on the fake
        plat::SetProgramDirForTesting(L"");
    }

    // A new record for SER1, listed and Connected, in place of the last one.
    void Fresh() {
        Drop();
        Send("SER1", "0001", true);
        record = Record("SER1");
        ASSERT_NE(record, nullptr);
        started.clear();
        detectedAtStart.clear();
    }
    // The record goes with its row; its parked workers are stopped.
    void Drop() {
        if (!record)
            return;
        if (download) {
            {
                wxCriticalSectionLocker locker(record->lock);
                record->SetWorker(KivSlot::Download, nullptr);
            }
            delete download;  // never ran
            download = nullptr;
        }
        wxCriticalSectionLocker locker(frame->arrayLock);
        {
            wxCriticalSectionLocker list(frame->listLock);
            RemoveDeviceRow(frame->deviceList, record->listKey, nullptr);
        }
        frame->devices.Remove(record);
        delete record;
        record = nullptr;
    }

    void Send(const wxString& serial, const wxString& port, bool arrived) {
        wxCommandEvent event(EVT_DEVICE_CHANGE, 0);
        event.SetClientData(new DeviceChangeInfo("18D1", "4EE7", serial, port, "0001", arrived));
        frame->GetEventHandler()->ProcessEvent(event);
    }

    KivDevice* Record(const wxString& key) {
        wxCriticalSectionLocker locker(frame->arrayLock);
        for (size_t i = 0; i < frame->devices.GetCount(); ++i)
            if (frame->devices[i]->listKey == key)
                return frame->devices[i];
        return nullptr;
    }

    // The record in a job state, its row showing the running job.
    void Enter(uint32_t state) {
        {
            wxCriticalSectionLocker locker(record->lock);
            record->state = state;
        }
        wxCriticalSectionLocker locker(frame->listLock);
        SetDeviceRowState(frame->deviceList, record->listKey, nullptr, DEV_RECOVERY_FLASHING, nullptr);
    }

    void Park(KivSlot slot) {
        auto* worker = new ParkedWorker(record, slot);
        ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    }

    // A recovery install worker in its slot that never runs, with the job's sideload choice.
    void DownloadWorker(bool sideload) {
        download = new KivThreadDownloadImage(record, "image.zip", "fastboot");
        download->sideload = sideload;
        wxCriticalSectionLocker locker(record->lock);
        record->SetWorker(KivSlot::Download, download);
    }

    uint32_t State() {
        wxCriticalSectionLocker locker(record->lock);
        return record->state;
    }

    KivDevice* record = nullptr;
    KivThreadDownloadImage* download = nullptr;
    std::vector<KivSlot> started;
    wxString detectedAtStart;
    bool startSucceeds = true;
};

// One arrival of SER1 on its own port and hub.
TEST_F(JobHandOver, ArrivalOfTheSameDevice) {
    struct Case {
        uint32_t state;
        std::optional<KivSlot> occupied;  // a worker sits in this slot
        bool sideloadJob;                 // a recovery install worker of a sideload job is in its slot
        uint32_t after;
        std::optional<KivSlot> starts;
    } cases[] = {
        {DEV_RECOVERY_FLASHING, {}, false, DEV_RECOVERY_RETURNED, {}},
        {DEV_RECOVERY_RETURNED, {}, true, DEV_SIDELOAD_READY, {}},
        {DEV_RECOVERY_RETURNED, {}, false, DEV_RECOVERY_RETURNED, KivSlot::Wipe},
        {DEV_RECOVERY_RETURNED, KivSlot::Wipe, false, DEV_RECOVERY_RETURNED, {}},
        {DEV_SIDELOAD_READY, {}, false, DEV_SIDELOAD_READY, KivSlot::Wipe},
        {DEV_SIDELOAD_READY, KivSlot::Wipe, false, DEV_SIDELOAD_READY, {}},
        {DEV_SIDELOADING, {}, false, DEV_WIPE_INSTALL, {}},
        {DEV_WIPE_INSTALL, {}, false, DEV_WIPE_REBOOTED, {}},
        {DEV_WIPE_REBOOTED, {}, false, DEV_WIPE_REBOOTED, {}},
        {DEV_WIPE_LEFT, {}, false, DEV_WIPE_LEFT, KivSlot::Check},
        {DEV_WIPE_LEFT, KivSlot::Check, false, DEV_WIPE_LEFT, {}},
        {DEV_FASTBOOT_FLASHING, {}, false, DEV_FASTBOOT_FLASHING, KivSlot::FastbootCheck},
        {DEV_FASTBOOT_FLASHING, KivSlot::FastbootCheck, false, DEV_FASTBOOT_FLASHING, {}},
        {DEV_SCRIPT_WAIT_REBOOT, {}, false, DEV_SCRIPT_WAIT_REBOOT, KivSlot::ScriptCheck},
        {DEV_SCRIPT_WAIT_REBOOT, KivSlot::ScriptCheck, false, DEV_SCRIPT_WAIT_REBOOT, {}},
        {DEV_SCRIPT_FLASHING, {}, false, DEV_SCRIPT_FLASHING, {}},
        {DEV_CHECKING, {}, false, DEV_CHECKING, {}},
        {DEV_SCRIPT_CHECKING, {}, false, DEV_SCRIPT_CHECKING, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(wxString::Format("state %X, occupied %s", c.state, SlotName(c.occupied)).utf8_string());
        Fresh();
        Enter(c.state);
        if (c.occupied)
            Park(*c.occupied);
        if (c.sideloadJob)
            DownloadWorker(true);
        Send("SER1", "0001", true);
        EXPECT_EQ(State(), c.after);
        ASSERT_EQ(started.size(), c.starts ? 1u : 0u);
        if (c.starts) {
            EXPECT_EQ(started[0], *c.starts);
            if (*c.starts != KivSlot::Wipe) {
                EXPECT_EQ(detectedAtStart, "SER1") << "the check starts with the serial the device reported";
            }
        }
        EXPECT_TRUE(dialogs.empty());
    }
}

// SER1's port and hub, another serial: the device came back under a new serial.
TEST_F(JobHandOver, ArrivalOfAnotherSerialOnThePort) {
    struct Case {
        uint32_t state;
        uint32_t after;
        bool takesSerial;
        std::optional<KivSlot> starts;
    } cases[] = {
        {DEV_RECOVERY_FLASHING, DEV_RECOVERY_RETURNED, true, {}},
        {DEV_WIPE_INSTALL, DEV_WIPE_REBOOTED, true, {}},
        {DEV_WIPE_LEFT, DEV_WIPE_LEFT, false, KivSlot::Check},
        {DEV_FASTBOOT_FLASHING, DEV_FASTBOOT_FLASHING, false, KivSlot::FastbootCheck},
        {DEV_SCRIPT_WAIT_REBOOT, DEV_SCRIPT_WAIT_REBOOT, false, KivSlot::ScriptCheck},
        {DEV_RECOVERY_RETURNED, DEV_RECOVERY_RETURNED, false, {}},
        {DEV_SIDELOAD_READY, DEV_SIDELOAD_READY, false, {}},
        {DEV_SIDELOADING, DEV_SIDELOADING, false, {}},
        {DEV_WIPE_REBOOTED, DEV_WIPE_REBOOTED, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(wxString::Format("state %X", c.state).utf8_string());
        Fresh();
        Enter(c.state);
        Send("NEW2", "0001", true);
        EXPECT_EQ(State(), c.after);
        {
            wxCriticalSectionLocker locker(record->lock);
            EXPECT_EQ(record->serial, c.takesSerial ? "NEW2" : "SER1");
            EXPECT_EQ(record->listKey, "SER1") << "the row keeps its serial";
        }
        ASSERT_EQ(started.size(), c.starts ? 1u : 0u);
        if (c.starts) {
            EXPECT_EQ(started[0], *c.starts);
            EXPECT_EQ(detectedAtStart, "NEW2");
        }
        Pump(2);
        EXPECT_EQ(DeviceRowsOf(frame->deviceList)->Rows().size(), 1u) << "no row for the new serial";
    }
}

TEST_F(JobHandOver, OnlyTheWipesOwnRebootLeavingCounts) {
    for (uint32_t state : {DEV_WIPE_REBOOTED, DEV_WIPE_INSTALL, DEV_WIPE_LEFT, DEV_RECOVERY_FLASHING,
                           DEV_FASTBOOT_FLASHING, DEV_SCRIPT_WAIT_REBOOT}) {
        SCOPED_TRACE(wxString::Format("state %X", state).utf8_string());
        Fresh();
        Enter(state);
        Send("SER1", "0001", false);
        EXPECT_EQ(State(), state == DEV_WIPE_REBOOTED ? DEV_WIPE_LEFT : state);
        EXPECT_TRUE(started.empty());
    }
}

// The wipe's reboot: back, away, back again: one result check starts, with the serial reported.
TEST_F(JobHandOver, TheWipeChainEndsInOneCheck) {
    Enter(DEV_WIPE_INSTALL);
    Send("SER1", "0001", true);
    EXPECT_EQ(State(), DEV_WIPE_REBOOTED);
    Send("SER1", "0001", true);
    EXPECT_EQ(State(), DEV_WIPE_REBOOTED) << "a return changes nothing";
    Send("SER1", "0001", false);
    EXPECT_EQ(State(), DEV_WIPE_LEFT);
    Send("SER1", "0001", true);
    ASSERT_EQ(started, std::vector<KivSlot>{KivSlot::Check});
    EXPECT_EQ(detectedAtStart, "SER1");
}

TEST_F(JobHandOver, AWorkerThatCannotStartFailsTheJob) {
    struct Case {
        uint32_t state;
        const wchar_t* text;
    } cases[] = {
        {DEV_RECOVERY_RETURNED, L"Cannot create wipe data thread"},
        {DEV_WIPE_LEFT, L"Cannot create check result thread"},
        {DEV_FASTBOOT_FLASHING, L"Cannot create check result thread"},
        {DEV_SCRIPT_WAIT_REBOOT, L"Cannot create check result thread"},
    };
    startSucceeds = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(wxString::Format("state %X", c.state).utf8_string());
        Fresh();
        Enter(c.state);
        ASSERT_EQ(DeviceRowsOf(frame->deviceList)->BusyCount(), 1);
        Send("SER1", "0001", true);
        EXPECT_EQ(State(), uint32_t(DEV_FAIL));
        Pump(2);
        const auto rows = DeviceRowsOf(frame->deviceList)->Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].state, "Fail");
        EXPECT_EQ(rows[0].description, c.text);
        EXPECT_EQ(DeviceRowsOf(frame->deviceList)->BusyCount(), 0) << "the job is off the counter";
        // The job's end wrote the log file (and emptied the store).
        bool found = false;
        for (const std::wstring& line : LogFileLines(workDir))
            found |= line.find(std::wstring(L"[SER1] ") + c.text) != std::wstring::npos &&
                     line.find(L"(0x00004010)") != std::wstring::npos;
        EXPECT_TRUE(found) << "the failure is logged with ERR_THREAD_CREATE";
        wxCriticalSectionLocker locker(record->lock);
        EXPECT_FALSE(record->IsBusy()) << "the slot stays empty";
    }
}

// The whole hand-over of a fastboot job: the device's return starts the real result check, which
// cancels the waiting flash worker and passes the device (a model that reports nothing).
TEST_F(JobHandOver, TheReturnOfAFlashedDeviceStartsItsCheck) {
    SetWorkerStarterForTesting(nullptr);
    const fs::path google = fs::path(workDir) / "Google";
    fs::create_directories(google / "device" / "prop");
    fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_android.sh", google / "adb");
    std::ofstream(google / "device" / "prop" / "ro.build.display.id") << "ZK_V2";
    fs::create_directories(fs::path(workDir) / "Extra");
    std::ofstream(fs::path(workDir) / "Extra" / "Get_OS_version.txt") << "0\n";
    plat::SetProgramDirForTesting(plat::WideFromNarrow(workDir));

    {
        wxCriticalSectionLocker locker(record->lock);
        record->model = "NOTAMODEL";
    }
    Enter(DEV_FASTBOOT_FLASHING);
    Park(KivSlot::Fastboot);
    Send("SER1", "0001", true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (State() != DEV_PASS && State() != DEV_FAIL && std::chrono::steady_clock::now() < until) {
        Pump(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(State(), uint32_t(DEV_PASS));
    {
        wxCriticalSectionLocker locker(record->lock);
        EXPECT_EQ(record->detectedSerial, "SER1");
    }
    // The check's end cleared its slot; the flash worker was cancelled and cleared its own.
    for (int i = 0; i < 400; ++i) {
        {
            wxCriticalSectionLocker locker(record->lock);
            if (!record->IsBusy())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        wxCriticalSectionLocker locker(record->lock);
        EXPECT_FALSE(record->IsBusy());
    }
    Pump(2);
    const auto rows = DeviceRowsOf(frame->deviceList)->Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, "Pass");
    EXPECT_EQ(rows[0].description, "Flash image successfully (SER1)");
    DeleteSharedAdbCommander();
}

}  // namespace
