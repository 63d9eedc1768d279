// The OS-version report with the main window: before the flash for the first selected row (fake
// fastboot as Google/fastboot1), after the flash from a worker thread whose boxes wait for the
// operator (fake adb as Google/adb); the report host is a scripted loopback server.
#include "StationGui.h"

#include "TestDir.h"
#include "AwkwardValues.h"
#include "Clock.h"
#include "FakeServers.h"
#include "Internet.h"
#include "KivDeviceRows.h"
#include "KivOsVersionReport.h"
#include "KivSharedServices.h"
#include "LogStore.h"
#include "StationLog.h"
#include "Paths.h"
#include "Process.h"
#include "Text.h"

#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char kHost[] = "osver.zelk-service.invalid";
const std::string kEnabled = std::string("1\r\n") + kHost + "\r\nT11,A2,\r\n";
// "oem get_build_version" of a device with two lines of build information.
const char kBuildReply[] = "...\n(bootloader) 1.2.3.4\n(bootloader) \tZLK-B7\nOKAY [  0.010s]\nFinished. Total time: 0.010s\n";

class OsVersionReport : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        fs::create_directories(fs::path(workDir) / "Extra");
        std::ofstream(fs::path(workDir) / "Extra/Get_OS_version.txt", std::ios::binary) << kEnabled;
        fs::create_directories(program / "Google");
        for (const char* name : {"fastboot1", "adb"}) {
            fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", fs::path(program / "Google") / name);
            fs::permissions(fs::path(program / "Google") / name, fs::perms::owner_all);
        }
        plat::SetProgramDirForTesting(plat::WideFromNarrow(program.path()));
        plat::SetTimeScaleForTesting(20);
        ASSERT_TRUE(server.ok());
        plat::SetConnectedStateForTesting(true);
        plat::RedirectHostForTesting(plat::WideFromNarrow(kHost), 443, server.port());
        plat::SetExtraCaFileForTesting(server.caFile());
        server.Reply(200, "SUCCESS");
        answer = wxOK;
        wxGetApp().logStore->Clear();  // the window's own records
    }
    void TearDown() override {
        DeleteSharedAdbCommander();
        StationGui::TearDown();
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
    }

    // A listed device: its row (the newest on top) and its record.
    void AddDevice(const wxString& serial, uint32_t state) {
        ASSERT_TRUE(AddDeviceRow(frame->deviceList, serial, 0, nullptr));
        wxCriticalSectionLocker locker(frame->arrayLock);
        frame->devices.Add(new KivDevice(serial, "1", "1", state));
    }
    void Select(const wxString& serial) {
        const long row = frame->deviceList->FindItem(-1, serial);
        ASSERT_GE(row, 0);
        frame->deviceList->SetItemState(row, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    }
    wxString Description(const wxString& serial) {
        for (const auto& row : DeviceRowsOf(frame->deviceList)->Rows())
            if (row.serial == serial)
                return row.description;
        return "no row";
    }
    void Reply(const std::string& name, const std::string& text) {
        std::ofstream(fs::path(program / "Google") / name, std::ios::binary) << text;
    }
    std::vector<std::wstring> Texts() {
        std::vector<std::wstring> texts = LoggedTexts();
        wxGetApp().logStore->Clear();
        return texts;
    }
    std::vector<wxString> Boxes() const {
        std::vector<wxString> boxes;
        for (const KivDialogRequest& request : dialogs) {
            EXPECT_EQ(request.style & (wxOK | wxYES_NO), wxOK) << request.message;
            boxes.push_back(request.message);
        }
        return boxes;
    }

    TestDir program, serverDir;
    fakes::ReplyServer server{serverDir.path(), 0, {kHost}};
};

TEST_F(OsVersionReport, BeforeTheFlashTheTopmostSelectedDeviceIsReported) {
    AddDevice("SERB", DEV_CONNECTED);
    AddDevice("SERA", DEV_CONNECTED);  // the top row
    Select("SERA");
    Select("SERB");
    Reply("reply", kBuildReply);
    Pump();
    EXPECT_TRUE(frame->ReportOsVersionBeforeFlash("T11"));

    std::ifstream calls(program / "Google/calls.log");
    std::string call;
    std::getline(calls, call);
    EXPECT_EQ(call, "-s\x1fSERA\x1foem\x1fget_build_version\x1f");
    EXPECT_FALSE(std::getline(calls, call)) << "one fastboot run";
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{
                  "/remote/RemoteConnection?action=upload_os_ver&serial_no=SERA&org_os_version=ZLK-B7"});
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{
                           L"[SERA] Getting OS version...",
                           L"[SERA] Get the OS Version: ZLK-B7",
                           L"[SERA] Uploading OS Version...",
                           L"[SERA] Upload OS version to osver.zelk-service.invalid successfully",
                       }));
    EXPECT_TRUE(Boxes().empty()) << "no box before the flash";
    EXPECT_EQ(Description("SERA"), "");
}

TEST_F(OsVersionReport, BeforeTheFlashASingleBuildVersionLineIsUploaded) {
    AddDevice("SERA", DEV_CONNECTED);
    Select("SERA");
    Reply("reply", "(bootloader) 1.2.3.4\nOKAY [  0.010s]\n");  // the layer drops the single prefix
    EXPECT_TRUE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{
                           L"[SERA] Getting OS version...",
                           L"[SERA] Get the OS Version: 1.2.3.4",
                           L"[SERA] Uploading OS Version...",
                           L"[SERA] Upload OS version to osver.zelk-service.invalid successfully",
                       }));
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{
                  "/remote/RemoteConnection?action=upload_os_ver&serial_no=SERA&org_os_version=1.2.3.4"});

    Reply("reply", "FAILED (remote: 'unknown command')\n");
    EXPECT_TRUE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"[SERA] Getting OS version...", L"[SERA] Get OS version failed!!"}));
    EXPECT_EQ(server.requests().size(), 1u) << "nothing more uploaded";
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Description("SERA"), "");
}

// A report host that never finishes its answer. Before the flash the request runs on the GUI
// thread: it ends at its own limit (25 s) whatever the server does, with the busy cursor shown
// meanwhile. Without the limit these servers held the window 60 s, 90 s and for good.
class StallingReportHost : public OsVersionReport {
protected:
    void ReportAgainst(uint16_t port, const std::function<bool()>& serverHasTheRequest) {
        plat::SetTimeScaleForTesting(1);  // only real limits
        plat::RedirectHostForTesting(plat::WideFromNarrow(kHost), 443, port);
        AddDevice("SERA", DEV_CONNECTED);
        Select("SERA");
        Reply("reply", kBuildReply);
        Pump();
        std::atomic<bool> done{false};
        std::atomic<int> busyDuringTheRequest{-1};
        std::thread watcher([&] {
            while (!done && !serverHasTheRequest())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!done)
                busyDuringTheRequest = wxIsBusy() ? 1 : 0;  // the GUI thread is blocked in the request
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(frame->ReportOsVersionBeforeFlash("T11"));
        const auto took = std::chrono::steady_clock::now() - start;
        done = true;
        watcher.join();
        EXPECT_LT(took, std::chrono::seconds(45));
        EXPECT_EQ(busyDuringTheRequest, 1);
        EXPECT_FALSE(wxIsBusy());
        const std::wstring failed = L"Unknown Server error!!  Upload OS version to osver.zelk-service.invalid failed!!";
        EXPECT_EQ(Texts().back(), L"[SERA] " + failed);
        EXPECT_EQ(Boxes(), std::vector<wxString>{failed});
        EXPECT_EQ(Description("SERA"), "");
    }
};

TEST_F(StallingReportHost, AcceptsAndIsSilent) {
    fakes::Listener silent(true);
    ReportAgainst(silent.port(), [&] { return silent.connections() > 0; });
}

TEST_F(StallingReportHost, CompletesTlsAndIsSilent) {
    TestDir quietDir;
    fakes::ReplyServer quiet(quietDir.path(), 600, {kHost});
    ASSERT_TRUE(quiet.ok());
    plat::SetExtraCaFileForTesting(quiet.caFile());
    ReportAgainst(quiet.port(), [&] { return !quiet.requests().empty(); });
}

TEST_F(StallingReportHost, TricklesItsAnswer) {
    TestDir trickleDir;
    fakes::ReplyServer trickle(trickleDir.path(), 0, {kHost}, 2);
    ASSERT_TRUE(trickle.ok());
    plat::SetExtraCaFileForTesting(trickle.caFile());
    ReportAgainst(trickle.port(), [&] { return !trickle.requests().empty(); });
}

// Serial and version holding characters that mean something in a query arrive whole. (fastboot's
// reply is read byte by byte: its versions are ASCII.)
TEST_F(OsVersionReport, AwkwardValuesReachTheReportServiceWhole) {
    for (const std::string& value : kAwkwardValues) {
        SCOPED_TRACE(value);
        const bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return (c & 0x80) == 0; });
        const std::string version = ascii ? value : "V1";
        AddDevice(wxString::FromUTF8(value), DEV_CONNECTED);  // the new top row
        Select(wxString::FromUTF8(value));
        Pump();
        Reply("reply", "(bootloader) " + version + "\nOKAY [  0.010s]\n");
        EXPECT_TRUE(frame->ReportOsVersionBeforeFlash("T11"));
        const auto fields = server.fields();
        ASSERT_FALSE(fields.empty());
        EXPECT_EQ(fields.back().at("serial_no"), value);
        EXPECT_EQ(fields.back().at("org_os_version"), version);
        EXPECT_EQ(fields.back().size(), 3u);
        EXPECT_EQ(Texts().back(), L"[" + plat::WideFromNarrow(value) +
                                      L"] Upload OS version to osver.zelk-service.invalid successfully");
    }
    EXPECT_EQ(server.fields().size(), kAwkwardValues.size());
}

TEST_F(OsVersionReport, BeforeTheFlashRefusals) {
    AddDevice("SERB", DEV_CONNECTED);
    AddDevice("SERA", DEV_FASTBOOT_FLASHING);

    EXPECT_FALSE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Boxes(), std::vector<wxString>{"Please select a device"});

    dialogs.clear();
    Select("SERB");
    Select("SERA");  // the topmost selected row is not Connected; the other one is
    EXPECT_FALSE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Boxes(), std::vector<wxString>{"Connection error of the selected device"});

    dialogs.clear();
    {
        wxCriticalSectionLocker locker(frame->arrayLock);
        frame->devices[1]->state = DEV_CONNECTED;
    }
    plat::SetConnectedStateForTesting(false);
    EXPECT_FALSE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Boxes(), std::vector<wxString>{"No Internet Connection!! Please check it"});

    dialogs.clear();
    std::ofstream(fs::path(workDir) / "Extra/Get_OS_version.txt", std::ios::binary) << "2\n";
    EXPECT_FALSE(frame->ReportOsVersionBeforeFlash("T11"));
    EXPECT_EQ(Boxes(), std::vector<wxString>{"Get_OS_version.txt error, please check the file content"});

    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"[SERA] No Internet Connection"});
    EXPECT_FALSE(fs::exists(program / "Google/calls.log")) << "fastboot never ran";
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(OsVersionReport, AfterTheFlashTheWorkerWaitsForTheVersionBox) {
    Reply("reply-1", "");  // kill-server, start-server, devices, getprop
    Reply("reply-2", "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n");
    Reply("reply-3", "List of devices attached\nSER1\tdevice\n\n");
    Reply("reply-4", "ZLK1CSC\r\n");
    AddDevice("SER1", DEV_FASTBOOT_CHECKING);
    Pump();

    std::atomic<bool> done{false};
    bool result = false;
    wxString rowAtTheBox;
    bool doneAtTheBox = true;
    KivSetDialogHandlerForTesting([&](const KivDialogRequest& request) {
        dialogs.push_back(request);
        rowAtTheBox = Description("SER1");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        doneAtTheBox = done;
        KivDialogAnswer reply;
        reply.button = wxOK;
        return reply;
    });
    std::thread worker([&] {
        result = ReportOsVersionAfterFlash("A2", "SER1");
        done = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < end)
        Pump(1);
    worker.join();
    Pump();

    EXPECT_TRUE(result);
    EXPECT_EQ(Boxes(), std::vector<wxString>{"ZLK1CSC"});
    EXPECT_FALSE(doneAtTheBox) << "the worker goes on only once the box is closed";
    EXPECT_EQ(rowAtTheBox, "Uploading OS Version...");
    EXPECT_EQ(Description("SER1"), "");
    EXPECT_EQ(Texts().back(), L"[SER1] Upload OS version to osver.zelk-service.invalid successfully");
}

TEST_F(OsVersionReport, AWaitingBoxEndsWithTheWorkersStopRequest) {
    auto stop = std::make_shared<plat::StopSignal>();
    std::atomic<int> button{0};
    std::thread worker([&] {
        plat::SetThreadStopSignal(stop);
        button = KivMessageBoxAndWait("Never answered", wxMessageBoxCaptionStr, wxOK);
        plat::SetThreadStopSignal(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(button, 0) << "still waiting";
    stop->RequestStop();
    worker.join();
    EXPECT_EQ(button, wxCANCEL);
    Pump();  // the box is still shown, by nobody's wait
    EXPECT_EQ(Boxes(), std::vector<wxString>{"Never answered"});
}

}  // namespace
