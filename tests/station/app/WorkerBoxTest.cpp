// Boxes that workers show and wait for, with the real main window: each a window of its own, so
// that several stand at once, close in any order, each releasing only its own worker, while the
// main window goes on taking input.
#include "KivDeviceRows.h"
#include "KivDialogs.h"
#include "KivWorkerBox.h"
#include "StationGui.h"

#include <wx/listctrl.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

class WorkerBoxes : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        KivSetDialogHandlerForTesting(nullptr);  // real boxes
    }
    void TearDown() override {
        for (KivWorkerBox* box : Open())
            box->Answer(wxID_OK);
        Pump();
        for (std::thread& worker : workers)
            worker.join();
        StationGui::TearDown();
    }

    // A worker thread that shows a box with the text and waits for it; its answer lands in slot.
    void StartWorker(const wxString& text, std::atomic<int>* slot, long style = wxOK) {
        workers.emplace_back([text, slot, style] { *slot = KivMessageBoxAndWait(text, "Worker", style); });
    }
    std::vector<KivWorkerBox*> Open() const {
        std::vector<KivWorkerBox*> boxes;
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* box = dynamic_cast<KivWorkerBox*>(window); box && box->IsShown())
                boxes.push_back(box);
        return boxes;
    }
    KivWorkerBox* Box(const wxString& text) const {
        for (KivWorkerBox* box : Open())
            if (box->Message() == text)
                return box;
        return nullptr;
    }

    std::vector<std::thread> workers;
};

TEST_F(WorkerBoxes, StandAtOnceAndEachCloseReleasesOnlyItsWorker) {
    std::atomic<int> answers[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
        StartWorker(wxString::Format("Box %d", i + 1), &answers[i]);
    // Pumping returns while they stand: no box runs a loop of its own.
    ASSERT_TRUE(PumpUntil([&] { return Open().size() == 3; })) << "all three boxes stand at once";
    EXPECT_TRUE(frame->IsEnabled()) << "no box disables the main window";

    const int order[] = {2, 3, 1};
    std::vector<int> released;
    for (const int n : order) {
        KivWorkerBox* box = Box(wxString::Format("Box %d", n));
        ASSERT_NE(box, nullptr) << n;
        box->Answer(wxID_OK);
        released.push_back(n);
        ASSERT_TRUE(PumpUntil([&] { return answers[n - 1] != 0; })) << "box " << n << " released its worker";
        for (int i = 1; i <= 3; ++i) {
            const bool closed = std::find(released.begin(), released.end(), i) != released.end();
            EXPECT_EQ(answers[i - 1] != 0, closed) << "after closing box " << n << ", worker " << i;
        }
        EXPECT_EQ(Box(wxString::Format("Box %d", n)), nullptr);
    }
    for (const auto& answer : answers)
        EXPECT_EQ(answer, wxOK);
}

TEST_F(WorkerBoxes, AnswersAreTheButtonsOfEachBox) {
    std::atomic<int> yes{0}, no{0}, closedOk{0}, closedQuestion{0};
    StartWorker("Yes?", &yes, wxYES_NO);
    StartWorker("No?", &no, wxYES_NO);
    StartWorker("Closed OK", &closedOk, wxOK);
    StartWorker("Closed question", &closedQuestion, wxYES_NO);
    ASSERT_TRUE(PumpUntil([&] { return Open().size() == 4; }));
    Box("No?")->Answer(wxID_NO);
    Box("Yes?")->Answer(wxID_YES);
    Box("Closed OK")->Close();       // the title bar's close button
    Box("Closed question")->Close();
    ASSERT_TRUE(PumpUntil([&] { return yes && no && closedOk && closedQuestion; }));
    EXPECT_EQ(yes, wxYES);
    EXPECT_EQ(no, wxNO);
    EXPECT_EQ(closedOk, wxOK);
    EXPECT_EQ(closedQuestion, wxNO);
}

TEST_F(WorkerBoxes, TheMainWindowTakesInputWhileABoxStands) {
    ASSERT_TRUE(AddDeviceRow(frame->deviceList, "SER2", 0, nullptr));
    ASSERT_TRUE(AddDeviceRow(frame->deviceList, "SER1", 0, nullptr));
    std::atomic<int> answer{0};
    StartWorker("Waiting", &answer);
    ASSERT_TRUE(PumpUntil([&] { return Open().size() == 1; }));
    KivWorkerBox* box = Open().front();
    EXPECT_TRUE(frame->IsEnabled());
    EXPECT_TRUE(frame->deviceList->IsEnabled());

    // A real click on the second row selects it. The window may still be settling (mapped,
    // maximised) on a busy machine, so the row is looked up anew, and clicked again, until then.
    wxUIActionSimulator input;
    auto nextClick = std::chrono::steady_clock::now();
    EXPECT_TRUE(PumpUntil([&] {
        if (frame->deviceList->GetItemState(1, wxLIST_STATE_SELECTED) != 0)
            return true;
        if (std::chrono::steady_clock::now() < nextClick)
            return false;
        nextClick = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        wxRect row;
        if (!frame->deviceList->GetItemRect(1, row))
            return false;
        const wxPoint at = frame->deviceList->ClientToScreen(row.GetPosition() + wxPoint(20, row.height / 2));
        // Out of the way of the row, so that the click reaches the window beneath.
        if (box->GetScreenRect().Contains(at))
            box->Move(at + wxPoint(0, row.height * 2));
        input.MouseMove(at);
        input.MouseClick();
        return false;
    })) << "a click selected the row";
    EXPECT_EQ(answer, 0) << "the worker still waits for its box";
    box->Answer(wxID_OK);
    ASSERT_TRUE(PumpUntil([&] { return answer != 0; }));
}

TEST_F(WorkerBoxes, ClosingTheMainWindowTakesTheBoxesAway) {
    std::atomic<int> answers[2] = {0, 0};
    StartWorker("First", &answers[0]);
    StartWorker("Second", &answers[1]);
    ASSERT_TRUE(PumpUntil([&] { return Open().size() == 2; }));
    frame->Close(true);
    ASSERT_TRUE(PumpUntil([&] { return answers[0] != 0 && answers[1] != 0; }));
    EXPECT_EQ(answers[0], wxCANCEL);
    EXPECT_EQ(answers[1], wxCANCEL);
    EXPECT_TRUE(Open().empty());
}

}  // namespace
