// Starts the station's application object and main window under the test's display.
#pragma once
#include "KivApp.h"
#include "KivDialogs.h"
#include "KivFrame.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

class StationGui : public ::testing::Test {
public:
    // Runs pending events and idle processing (deferred deletions included) a few times.
    void Pump(int rounds = 5);
    // Runs a real event loop for that long (painting included).
    void RunEventLoop(int milliseconds);
    // Pumps events until the condition holds; false when it still does not after 30 s.
    bool PumpUntil(const std::function<bool()>& condition);
    // True while the main window exists.
    bool FrameAlive() const;

protected:
    void SetUp() override;
    void TearDown() override;

    KivFrame* frame = nullptr;
    std::string workDir;                      // the current directory while the test runs
    std::vector<KivDialogRequest> dialogs;    // every dialog the station asked for
    int answer = wxNO;                        // the button every message box gets
    bool realStartup = false;                 // set before SetUp: the start-up services run
};
