// A forced close of the whole program, to the end of its application object: the log file must
// hold the last steps of the workers that the close stopped. The test makes and ends the one
// application object of its process itself.
#include "KivApp.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivDialogs.h"
#include "KivFrame.h"
#include "KivLog.h"
#include "StationLog.h"

#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/toplevel.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include <unistd.h>

namespace {

// Installs until it is stopped, then says so.
class StoppedWorker : public KivDeviceWorker {
public:
    StoppedWorker(KivDevice* device, std::promise<void>& started)
        : KivDeviceWorker(device, KivSlot::Download), started(started) {}
    void Steps() override {
        OpeningStep(DEV_RECOVERY_FLASHING, "Install image ...", true);
        started.set_value();
        if (!SleepSeconds(600))
            FailureStep("Install image failure(stopped)", ERR_USER_ABORT);
    }
    std::promise<void>& started;
};

}  // namespace

TEST(ForcedClose, TheLastStepsOfTheWorkersItStoppedAreInTheLogFile) {
    std::filesystem::create_directories(ZELK_TEST_WORK_DIR);
    std::string dir = (std::filesystem::path(ZELK_TEST_WORK_DIR) / "close-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    KivSetDialogHandlerForTesting([](const KivDialogRequest&) {
        KivDialogAnswer yes;
        yes.button = wxYES;
        return yes;
    });
    KivFrame::SetStartupForTesting([](KivFrame& frame) { frame.Show(); });

    wxApp::SetInstance(new KivApp);
    static char name[] = "station_close_tests";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    ASSERT_TRUE(wxEntryStart(argc, argv));
    ASSERT_TRUE(wxTheApp->CallOnInit());
    KivFrame* frame = wxGetApp().frame;
    ASSERT_NE(frame, nullptr);

    auto* device = new KivDevice("JOB1", "0001", "0001", DEV_CONNECTED);
    {
        wxCriticalSectionLocker arrayLocker(frame->arrayLock);
        frame->devices.Add(device);
        wxCriticalSectionLocker listLocker(frame->listLock);
        AddDeviceRow(frame->deviceList, "JOB1", 0, nullptr);
    }
    std::promise<void> started;
    auto* worker = new StoppedWorker(device, started);
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    started.get_future().wait();

    frame->Close();  // asks, answered Yes: saves, then the window's end stops the worker
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!wxTopLevelWindows.empty() && std::chrono::steady_clock::now() < until) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
    }
    ASSERT_TRUE(wxTopLevelWindows.empty());
    wxEntryCleanup();  // the application object ends here
    KivSetDialogHandlerForTesting(nullptr);
    KivFrame::SetStartupForTesting(nullptr);

    std::vector<std::wstring> texts;
    for (const std::wstring& line : LogFileLines(dir)) texts.push_back(line.substr(line.find(L'\t') + 1));
    const auto closed = std::find(texts.begin(), texts.end(), L"User close tool");
    ASSERT_NE(closed, texts.end());
    EXPECT_NE(std::find(closed, texts.end(), L"[JOB1] Install image failure(stopped)"), texts.end())
        << "the stopped worker's last step is missing from the log files";
}
