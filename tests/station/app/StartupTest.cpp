// Start-up services and checks: a fake adb in the program directory, a device setup the test fills.
#include "AdbCommander.h"
#include "Errors.h"
#include "FakeDeviceSetup.h"
#include "InternetAgent.h"
#include "KivDeviceRows.h"
#include "KivHwDetector.h"
#include "KivSharedServices.h"
#include "Paths.h"
#include "StationGui.h"
#include "StationLog.h"
#include "Text.h"

#include <wx/msgdlg.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char kDaemonStarted[] = "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n";

// Counts every time the main window is shown.
class ShowWatch : public wxEventFilter {
public:
    int FilterEvent(wxEvent& event) override {
        if (event.GetEventType() == wxEVT_SHOW && dynamic_cast<KivFrame*>(event.GetEventObject()) &&
            static_cast<wxShowEvent&>(event).IsShown())
            ++shown;
        return Event_Skip;
    }
    int shown = 0;
};

class Startup : public StationGui {
protected:
    // Each test fills the fake adb's replies and the device setup, then starts the program.
    void SetUp() override { realStartup = true; }

    void Start(const std::string& startServerReply) {
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = (fs::path(ZELK_TEST_WORK_DIR) / "programs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        programDir = pattern;
        google = programDir / "Google";
        fs::create_directories(google);
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", google / "adb");
        fs::permissions(google / "adb", fs::perms::owner_all);
        std::ofstream(google / "reply-2", std::ios::binary) << startServerReply;
        plat::SetProgramDirForTesting(plat::WideFromNarrow(programDir.string()));
        KIV::SetDeviceSetupForTesting(&fake);
        wxEvtHandler::AddFilter(&watch);
        StationGui::SetUp();
    }

    void TearDown() override {
        StationGui::TearDown();
        wxEvtHandler::RemoveFilter(&watch);
        KIV::SetDeviceSetupForTesting(nullptr);
        plat::SetProgramDirForTesting(L"");
        std::error_code ignored;
        fs::remove_all(programDir, ignored);
    }

    // The first argument of every adb call so far.
    std::vector<std::string> AdbCalls() {
        std::vector<std::string> calls;
        std::ifstream in(google / "calls.log", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) calls.push_back(line.substr(0, line.find('\x1f')));
        return calls;
    }

    void ExpectFailure(const wxString& text, uint32_t code) {
        Pump();
        EXPECT_FALSE(FrameAlive());
        EXPECT_EQ(watch.shown, 0);
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].message, text);
        EXPECT_EQ(dialogs[0].caption, "Error");
        EXPECT_EQ(dialogs[0].style, wxOK | wxICON_ERROR);
        EXPECT_EQ(dialogs[0].parent, nullptr);
        wchar_t codeText[32];
        std::swprintf(codeText, 32, L"(0x%08X)\t", code);
        const auto lines = LogFileLines(workDir);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(codeText + text.ToStdWstring()), std::wstring::npos) << wxString(lines[0]);
        EXPECT_NE(lines[1].find(L"(0x00000000)\tUser close tool"), std::wstring::npos) << wxString(lines[1]);
    }

    // Pumps events until the main window's list shows the rows, or a minute has passed.
    bool WaitForRows(const std::vector<std::string>& expected) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < until) {
            Pump(1);
            std::vector<std::string> rows;
            for (const auto& row : DeviceRowsOf(frame->deviceList)->Rows())
                rows.push_back((row.serial + "|" + row.state).utf8_string());
            if (rows == expected) return true;
        }
        return false;
    }

    FakeDeviceSetup fake;
    ShowWatch watch;
    fs::path programDir, google;
};

const std::wstring kPath = L"\\\\?\\USB#VID_18D1&PID_4EE7#R58M1234#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

}  // namespace

TEST_F(Startup, AdbThatNeverStartsItsDaemonClosesTheProgramWithOneMessage) {
    Start("adb server version (41) doesn't match this client (39); killing...\n");
    ExpectFailure("Can't build adb commander!", 0x5001);
    EXPECT_EQ(AdbCalls(), (std::vector<std::string>{"kill-server", "start-server"}));
}

TEST_F(Startup, OnlyTheFirstMissingServiceIsReported) {
    fake.registrationFailure = plat::kErrorAccessDenied;
    Start("nothing\n");
    ExpectFailure("Can't build adb commander!", 0x5001);
}

TEST_F(Startup, ADetectorThatCannotRegisterClosesTheProgram) {
    fake.registrationFailure = plat::kErrorAccessDenied;
    Start(kDaemonStarted);
    ExpectFailure("Can't build hardware detector!", 0x4018);
    // The adb client was made, then deleted with the window, stopping its server.
    EXPECT_EQ(AdbCalls(), (std::vector<std::string>{"kill-server", "start-server", "kill-server"}));
}

TEST_F(Startup, WorkingServicesShowTheWindowAndListDevicesThatComeAndGo) {
    Start(kDaemonStarted);
    ASSERT_TRUE(FrameAlive());
    EXPECT_TRUE(frame->IsShown());
    EXPECT_GE(watch.shown, 1);
    EXPECT_TRUE(frame->IsEnabled());
    EXPECT_TRUE(dialogs.empty());

    // Made once; later calls return the same objects.
    RYL::CAdbCommander* adb = GetSharedAdbCommander();
    ASSERT_NE(adb, nullptr);
    EXPECT_TRUE(adb->IsStarted());
    EXPECT_EQ(GetSharedAdbCommander(), adb);
    RYL::CInternetAgent* agent = GetSharedInternetAgent();
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(GetSharedInternetAgent(), agent);
    KIV::CKivHwDetector* detector = frame->GetSharedHwDetector();
    ASSERT_NE(detector, nullptr);
    EXPECT_EQ(frame->GetSharedHwDetector(), detector);
    EXPECT_EQ(detector->owner, frame);
    EXPECT_EQ(wxWindow::FindWindowByName("CKivHwDetector", frame), detector);
    EXPECT_EQ(AdbCalls(), (std::vector<std::string>{"kill-server", "start-server"}));

    // Notices reach the detector through the window's event loop, and the list follows them.
    fake.present = {{L"USB\\VID_18D1&PID_4EE7\\R58M1234", L"Port_#0002.Hub_#0001"}};
    fake.Notify(plat::DBT_DEVICEARRIVAL, plat::DBT_DEVTYP_DEVICEINTERFACE, kPath);
    EXPECT_TRUE(WaitForRows({"R58M1234|Connected"}));
    fake.departed = fake.present;
    fake.present.clear();
    fake.Notify(plat::DBT_DEVICEREMOVECOMPLETE, plat::DBT_DEVTYP_DEVICEINTERFACE, kPath);
    EXPECT_TRUE(WaitForRows({"R58M1234|Disconnected"}));

    frame->Close(true);
    Pump();
    EXPECT_FALSE(FrameAlive());
    EXPECT_EQ(AdbCalls(), (std::vector<std::string>{"kill-server", "start-server", "kill-server"}));
}
