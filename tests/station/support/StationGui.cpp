#include "StationGui.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/timer.h>
#include <wx/init.h>
#include <wx/toplevel.h>
#include <wx/window.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

// One application object per process, made when the tests start (never while they are listed).
class StationGuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        wxApp::SetInstance(new KivApp);
        static char name[] = "station_gui_tests";
        static char* argv[] = {name, nullptr};
        int argc = 1;
        ASSERT_TRUE(wxEntryStart(argc, argv));
    }
    void TearDown() override {
        if (wxTheApp) {
            wxTheApp->OnExit();
            wxEntryCleanup();
        }
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new StationGuiEnvironment);

}  // namespace

void StationGui::SetUp() {
    std::filesystem::path base = ZELK_TEST_WORK_DIR;
    std::filesystem::create_directories(base);
    std::string pattern = (base / "gui-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    workDir = pattern;
    ASSERT_EQ(chdir(workDir.c_str()), 0);

    KivSetDialogHandlerForTesting([this](const KivDialogRequest& request) {
        dialogs.push_back(request);
        KivDialogAnswer reply;
        reply.button = answer;
        return reply;
    });
    if (realStartup)
        KivFrame::SetStartupForTesting(nullptr);
    else
        KivFrame::SetStartupForTesting([](KivFrame& f) { f.Show(); });

    ASSERT_NE(wxTheApp, nullptr);
    ASSERT_TRUE(wxTheApp->CallOnInit());
    frame = wxGetApp().frame;
    ASSERT_NE(frame, nullptr);
    Pump();
}

void StationGui::TearDown() {
    if (FrameAlive()) {
        answer = wxYES;
        frame->Close(true);
    }
    Pump();
    KivFrame::SetStartupForTesting(nullptr);
    KivSetDialogHandlerForTesting(nullptr);
}

void StationGui::Pump(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        wxTheApp->ProcessPendingEvents();
        wxYield();
        wxTheApp->ProcessIdle();
    }
}

void StationGui::RunEventLoop(int milliseconds) {
    wxGUIEventLoop loop;
    wxTimer timer;
    timer.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.Exit(); });
    timer.StartOnce(milliseconds);
    loop.Run();
}

bool StationGui::PumpUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Pump(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool StationGui::FrameAlive() const {
    for (wxWindow* window : wxTopLevelWindows) {
        if (window == frame)
            return true;
    }
    return false;
}
