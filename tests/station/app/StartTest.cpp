#include "Clock.h"
#include "FakeServers.h"
#include "KivFrameSettings.h"
#include "Paths.h"
#include "ProbeRedirect.h"
#include "Internet.h"
#include "InternetAgent.h"
#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivDeviceWorker.h"
#include "KivDispatch.h"
#include "KivEvents.h"
#include "KivImageCheck.h"
#include "KivModels.h"
#include "StationGui.h"
#include "ThreadCount.h"

#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/textctrl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// One download worker that the dispatch made, as the worker saw its record when it ran.
struct Dispatched {
    KivDownloadFlow flow;
    wxString serial, model, imagePath, fastbootPath;
    bool wipe = false;
    bool inItsSlot = false;
};

struct DispatchLog {
    std::mutex mutex;
    std::vector<Dispatched> made;
    std::vector<wxString> asked;    // serials in the order the dispatch asked for workers
    std::vector<wxString> refused;  // serials for which the factory made nothing
    std::vector<Dispatched> Made() {
        std::lock_guard<std::mutex> guard(mutex);
        return made;
    }
};

KivSlot SlotOf(KivDownloadFlow flow) {
    switch (flow) {
    case KivDownloadFlow::Script: return KivSlot::Script;
    case KivDownloadFlow::Recovery: return KivSlot::Download;
    case KivDownloadFlow::Fastboot: return KivSlot::Fastboot;
    }
    return KivSlot::Fastboot;
}

// Shows its job as started, as a download worker's opening step does, and ends.
class FakeDownloadWorker : public KivDeviceWorker {
public:
    FakeDownloadWorker(KivDevice* device, KivDownloadFlow flow, wxString imagePath, wxString fastbootPath,
                       std::shared_ptr<DispatchLog> log)
        : KivDeviceWorker(device, SlotOf(flow)), flow(flow), imagePath(std::move(imagePath)),
          fastbootPath(std::move(fastbootPath)), log(std::move(log)) {}

    void Steps() override {
        Dispatched seen;
        seen.flow = flow;
        seen.imagePath = imagePath;
        seen.fastbootPath = fastbootPath;
        KivFrame* frame = wxGetApp().frame;
        wxCriticalSectionLocker record(device->lock);
        seen.inItsSlot = device->WorkerIn(slot()) == this;
        seen.serial = device->serial;
        seen.model = device->model;
        seen.wipe = device->wipe;
        device->state = DEV_FASTBOOT_FLASHING;
        {
            wxCriticalSectionLocker list(frame->listLock);
            const wxString text = "Check image model ...";
            SetDeviceRowState(frame->deviceList, device->listKey, &text, DEV_FASTBOOT_FLASHING, nullptr);
        }
        std::lock_guard<std::mutex> guard(log->mutex);
        log->made.push_back(seen);
    }

    KivDownloadFlow flow;
    wxString imagePath, fastbootPath;
    std::shared_ptr<DispatchLog> log;
};

int IndexOf(const wchar_t* code) {
    for (size_t i = 0; i < kModelCount; ++i)
        if (wxString(ModelChoices[i]) == code)
            return static_cast<int>(i);
    return -1;
}

class Start : public StationGui {
protected:
    void SetUp() override {
        StationGui::SetUp();
        threadsBefore = ThreadCount();
        // The OS-version report before the flash is switched off (its file is read from the
        // current directory, the test's own).
        std::filesystem::create_directories("Extra");
        std::ofstream("Extra/Get_OS_version.txt") << "0\n";
        KivSetDialogHandlerForTesting([this](const KivDialogRequest& request) {
            dialogs.push_back(request);
            KivDialogAnswer reply;
            reply.button = answer;
            reply.chosen = !chosenFile.empty();
            reply.path = chosenFile;
            return reply;
        });
        SetDownloadWorkerFactoryForTesting([this](KivDownloadFlow flow, KivDevice* device, const wxString& image,
                                                  const wxString& fastboot) -> KivDeviceWorker* {
            std::lock_guard<std::mutex> guard(log->mutex);
            log->asked.push_back(device->serial);
            if (refuse.count(device->serial)) {
                log->refused.push_back(device->serial);
                return nullptr;
            }
            return new FakeDownloadWorker(device, flow, image, fastboot, log);
        });
        // Only loopback is reached: the connected state is forced and the probes go to a listener.
        plat::SetConnectedStateForTesting(true);
        RedirectProbesTo(probe.port());
        // The latest-image service cannot be reached: the image counts as the latest.
        plat::RedirectHostForTesting(kLatestImageHost, 443, refusing.port());
    }
    // The OS-version report's file in the test's directory.
    void ReportFile(const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(workDir) / "Extra");
        std::ofstream(std::filesystem::path(workDir) / "Extra/Get_OS_version.txt", std::ios::binary) << text;
    }
    void TearDown() override {
        WaitForWorkers();
        StationGui::TearDown();
        SetDownloadWorkerFactoryForTesting(nullptr);
        plat::ClearHostRedirectsForTesting();
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::SetExtraCaFileForTesting("");
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
    }

    // A listed device in that state; selected rows are what Start dispatches.
    KivDevice* AddDevice(const wxString& serial, uint32_t state, bool selected) {
        auto* device = new KivDevice(serial, "1", serial, state);
        {
            wxCriticalSectionLocker locker(frame->arrayLock);
            frame->devices.Add(device);
        }
        EXPECT_TRUE(AddDeviceRow(frame->deviceList, serial, 0, nullptr));
        {
            wxCriticalSectionLocker locker(frame->listLock);
            SetDeviceRowState(frame->deviceList, serial, nullptr, state, nullptr);
        }
        if (selected)
            frame->deviceList->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
        return device;
    }

    void SelectModel(int index) {
        frame->modelCombo->SetSelection(index);
        wxCommandEvent selected(wxEVT_COMBOBOX, ID_MODEL_COMBO);
        frame->GetEventHandler()->ProcessEvent(selected);
    }
    void ClickStart() {
        wxCommandEvent click(wxEVT_TOOL, ID_TOOL_START);
        frame->GetEventHandler()->ProcessEvent(click);
    }
    void ClickImageButton() {
        wxCommandEvent click(wxEVT_BUTTON, ID_IMAGE_BUTTON);
        frame->GetEventHandler()->ProcessEvent(click);
    }
    // Start for ZK450CG with the image ZK450CG_WW_1.0.zip on one selected device, the latest-image
    // service played by the server; a question is answered No.
    void StartZK450CGCheckedBy(const fakes::ReplyServer& server) {
        plat::RedirectHostForTesting(kLatestImageHost, 443, server.port());
        plat::SetExtraCaFileForTesting(server.caFile());
        AddDevice("L1", DEV_CONNECTED, true);
        SelectModel(IndexOf(L"ZK450CG"));
        frame->imagePathText->SetValue("/images/ZK450CG_WW_1.0.zip");
        answer = wxNO;
        ClickStart();
    }
    // The check's answer as the check thread posts it, with the gate held as Start leaves it.
    void CheckDone(const wxString& model, bool wipe, const wxString& image, bool ok, const wxString& message = "") {
        EXPECT_EQ(frame->startGate.TryLock(), wxMUTEX_NO_ERROR);
        wxCommandEvent done(EVT_IMAGE_CHECK_DONE, 0);
        done.SetClientData(new KivThreadResult(KivThreadInput(model, wipe, image), ok, message));
        frame->GetEventHandler()->ProcessEvent(done);
    }
    bool GateFree() {
        if (frame->startGate.TryLock() != wxMUTEX_NO_ERROR)
            return false;
        frame->startGate.Unlock();
        return true;
    }
    // Every worker has left its slot.
    void WaitForWorkers() {
        EXPECT_TRUE(PumpUntil([this] {
            wxCriticalSectionLocker locker(frame->arrayLock);
            for (size_t i = 0; i < frame->devices.GetCount(); ++i) {
                wxCriticalSectionLocker record(frame->devices[i]->lock);
                if (frame->devices[i]->IsBusy())
                    return false;
            }
            return true;
        }));
        WaitForThreadCount(threadsBefore);  // wx's own clean-up of the worker threads
    }
    KivDeviceRows::Row RowOf(const wxString& serial) {
        for (const KivDeviceRows::Row& row : DeviceRowsOf(frame->deviceList)->Rows())
            if (row.serial == serial)
                return row;
        return {};
    }
    std::vector<wxString> Messages() const {
        std::vector<wxString> texts;
        for (const KivDialogRequest& request : dialogs)
            texts.push_back(request.message);
        return texts;
    }

    std::shared_ptr<DispatchLog> log = std::make_shared<DispatchLog>();
    std::set<wxString> refuse;
    wxString chosenFile;
    size_t threadsBefore = 0;
    fakes::Listener probe;
    fakes::RefusingPort refusing;
};


wxString FirstOf(const wchar_t* list) { return wxString(list).AfterFirst(',').BeforeFirst(','); }

TEST_F(Start, ModelChoiceSelectsNoAndClearsTheImage) {
    frame->imagePathText->SetValue("/images/a.zip");
    frame->wipeYes->SetValue(true);
    SelectModel(3);
    EXPECT_TRUE(frame->wipeNo->GetValue());
    EXPECT_TRUE(frame->wipeYes->IsEnabled());
    EXPECT_TRUE(frame->wipeNo->IsEnabled());
    EXPECT_EQ(frame->imagePathText->GetValue(), "");
}

TEST_F(Start, ImageDialogFilterFollowsTheModel) {
    const int raw = IndexOf(FirstOf(RawImageModels).wc_str());
    ASSERT_GE(raw, 0);
    SelectModel(raw);
    chosenFile = "/images/x.raw";
    ClickImageButton();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, KivDialogRequest::OpenFile);
    EXPECT_EQ(dialogs[0].message, "Open image file");
    EXPECT_EQ(dialogs[0].wildcard, "image file (*.raw)|*.raw");
    EXPECT_EQ(dialogs[0].style, wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    EXPECT_EQ(dialogs[0].parent, frame);
    EXPECT_EQ(frame->imagePathText->GetValue(), "/images/x.raw");

    SelectModel(IndexOf(FirstOf(ScriptModels).wc_str()));
    chosenFile.clear();  // cancelled: the text stays
    frame->imagePathText->SetValue("/images/kept.zip");
    ClickImageButton();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[1].wildcard, "image file (*.zip)|*.zip");
    EXPECT_EQ(frame->imagePathText->GetValue(), "/images/kept.zip");
}

TEST_F(Start, RefusedChoicesAnswerWithABoxAndFreeTheGate) {
    AddDevice("R1", DEV_CONNECTED, true);
    ClickStart();  // no image chosen at start-up
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message, "Please select the image file.");
    EXPECT_EQ(dialogs[0].caption, "Error");
    EXPECT_EQ(dialogs[0].style, wxICON_ERROR);
    EXPECT_EQ(dialogs[0].parent, nullptr);
    EXPECT_TRUE(GateFree());

    frame->imagePathText->SetValue("/images/a.zip");
    frame->wipeYes->SetValue(true);
    answer = wxNO;
    ClickStart();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[1].message, "Are you sure to wipe data?");
    EXPECT_EQ(dialogs[1].caption, "Question");
    EXPECT_EQ(dialogs[1].style, wxYES_NO | wxICON_QUESTION);
    EXPECT_EQ(dialogs[1].parent, frame);
    EXPECT_TRUE(GateFree());

    frame->modelCombo->SetSelection(wxNOT_FOUND);
    ClickStart();
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[2].message, "Please select the model.");
    EXPECT_TRUE(GateFree());
    Pump();
    EXPECT_TRUE(log->Made().empty());
}

// A line break in the package's name would become a command line of its own in the recovery
// command file (a wipe the operator did not choose): Start refuses the path before any check.
TEST_F(Start, APathWithAControlCharacterIsRefused) {
    AddDevice("CTL", DEV_CONNECTED, true);
    SelectModel(IndexOf(FirstOf(RecoveryModels).wc_str()));
    for (const char* path : {"/images/a.zip\n--wipe_data", "/images/a.zip\r--wipe_data", "/images/a\tb.zip"}) {
        SCOPED_TRACE(path);
        dialogs.clear();
        frame->imagePathText->SetValue(path);
        frame->wipeNo->SetValue(true);
        ClickStart();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].message, kImagePathRefused);
        EXPECT_EQ(dialogs[0].caption, "Error");
        EXPECT_TRUE(GateFree());
    }
    Pump();
    EXPECT_TRUE(log->Made().empty()) << "nothing is dispatched";
    EXPECT_TRUE(IsAcceptedImagePath(L"/images/\u00e9t\u00e9 1.0.zip"));
}

TEST_F(Start, StartChecksTheImageThenDispatches) {
    KivDevice* device = AddDevice("S1", DEV_CONNECTED, true);
    const int index = IndexOf(FirstOf(ScriptModels).wc_str());
    SelectModel(index);
    frame->imagePathText->SetValue("/images/ZK_1.0.zip");
    frame->wipeYes->SetValue(true);
    answer = wxYES;
    ClickStart();
    ClickStart();  // while the check runs: nothing
    ASSERT_TRUE(PumpUntil([this] { return !log->Made().empty(); }));
    Pump();
    ASSERT_EQ(log->Made().size(), 1u) << "one check, one dispatch";
    EXPECT_EQ(Messages(), std::vector<wxString>{"Are you sure to wipe data?"}) << "a service out of reach asks nothing";
    const Dispatched job = log->Made()[0];
    EXPECT_EQ(job.flow, KivDownloadFlow::Script);
    EXPECT_TRUE(job.inItsSlot);
    EXPECT_EQ(job.model, JobModels[index]);
    EXPECT_TRUE(job.wipe);
    EXPECT_EQ(job.imagePath, "/images/ZK_1.0.zip");
    EXPECT_EQ(job.fastbootPath, FastbootPathFor(JobModels[index]));
    EXPECT_EQ(device->imagePath, "/images/ZK_1.0.zip");
    EXPECT_TRUE(GateFree());
}

TEST_F(Start, OnlySelectedConnectedDevicesGetAWorker) {
    AddDevice("IDLE", DEV_CONNECTED, false);
    AddDevice("GONE", DEV_DISCONNECTED, true);
    AddDevice("DONE", DEV_PASS, true);
    AddDevice("FAILED", DEV_FAIL, true);
    AddDevice("A", DEV_CONNECTED, true);
    AddDevice("B", DEV_CONNECTED, true);
    CheckDone("ZK551ML", false, "/images/fb.zip", true);
    WaitForWorkers();
    for (const Dispatched& job : log->Made()) {
        EXPECT_EQ(job.flow, KivDownloadFlow::Fastboot);
        EXPECT_EQ(job.fastbootPath, FastbootPathFor("ZK551ML"));
        EXPECT_TRUE(job.fastbootPath.EndsWith("/Google/fastboot1"));
    }
    EXPECT_EQ(log->Made().size(), 2u);
    EXPECT_EQ(log->asked, (std::vector<wxString>{"B", "A"})) << "rows from the top";
    EXPECT_EQ(RowOf("GONE").state, "Disconnected");
    EXPECT_EQ(RowOf("IDLE").state, "Connected");
    EXPECT_TRUE(dialogs.empty()) << "skipped devices are skipped silently";
}

TEST_F(Start, AWorkerThatCannotBeMadeFailsOnlyItsDevice) {
    AddDevice("C", DEV_CONNECTED, true);
    AddDevice("B", DEV_CONNECTED, true);
    AddDevice("A", DEV_CONNECTED, true);
    refuse = {"B"};
    CheckDone("ZK551ML", false, "/images/fb.zip", true);
    WaitForWorkers();
    EXPECT_EQ(log->Made().size(), 2u);
    EXPECT_EQ(RowOf("B").state, "Fail");
    EXPECT_EQ(RowOf("B").description, "Cannot create download image thread");
    EXPECT_EQ(RowOf("A").state, "Installing");
    EXPECT_EQ(RowOf("C").state, "Installing");
    EXPECT_EQ(DeviceRowsOf(frame->deviceList)->BusyCount(), 2) << "the refused job never counted";
    wxCriticalSectionLocker locker(frame->arrayLock);
    KivDevice* b = nullptr;
    const wxString serial = "B";
    ASSERT_TRUE(FindDevice(&b, frame->devices, &serial, nullptr, nullptr, DEV_ANY));
    EXPECT_EQ(b->state, DEV_FAIL);
}

TEST_F(Start, AnImageThatIsNotTheLatestAsksFirst) {
    AddDevice("Q", DEV_CONNECTED, true);
    answer = wxNO;
    CheckDone("ZK551ML", false, "/images/old.zip", false, NotLatestMessage("old.zip", "new.zip"));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message, NotLatestMessage("old.zip", "new.zip") + "\nContinue to flash?");
    EXPECT_EQ(dialogs[0].caption, "The function is for user image only (Please ignore if factory image)");
    EXPECT_EQ(dialogs[0].style, wxYES_NO | wxICON_QUESTION);
    EXPECT_EQ(dialogs[0].parent, frame);
    EXPECT_TRUE(GateFree());
    Pump();
    EXPECT_TRUE(log->Made().empty());

    answer = wxYES;
    CheckDone("ZK551ML", false, "/images/old.zip", false, "Cannot create the thread of project image checking");
    EXPECT_EQ(dialogs.back().message, "Cannot create the thread of project image checking\nContinue to flash?");
    WaitForWorkers();
    EXPECT_EQ(log->Made().size(), 1u);
}

TEST_F(Start, ARefusedOsVersionReportStopsTheDispatch) {
    AddDevice("Q", DEV_CONNECTED, true);
    ReportFile("2\n");
    CheckDone("ZK551ML", false, "/images/fb.zip", true);
    EXPECT_EQ(Messages(), std::vector<wxString>{"Get_OS_version.txt error, please check the file content"});
    EXPECT_TRUE(GateFree());
    Pump();
    EXPECT_TRUE(log->Made().empty());

    std::filesystem::remove(std::filesystem::path(workDir) / "Extra/Get_OS_version.txt");
    dialogs.clear();
    CheckDone("ZK551ML", false, "/images/fb.zip", true);
    EXPECT_EQ(Messages(), std::vector<wxString>{"Can't find Get_OS_version.txt, please check the file"});
    Pump();
    EXPECT_TRUE(log->Made().empty());
}

TEST_F(Start, VariantsAndTheFactoryImageOfTheSideloadModel) {
    // A variant entry of the combo: the job carries the code of its entry.
    KivDevice* device = AddDevice("V", DEV_CONNECTED, true);
    SelectModel(6);  // entry 7
    frame->imagePathText->SetValue("/images/v.zip");
    answer = wxYES;
    ClickStart();
    ASSERT_TRUE(PumpUntil([this] { return log->Made().size() == 1; }));
    EXPECT_EQ(log->Made()[0].model, JobModels[5]);
    WaitForWorkers();

    const wxString sideload = SideloadModelCode();
    const struct {
        const char* path;
        bool wipe;
        const wchar_t* model;
        KivDownloadFlow flow;
    } cases[] = {
        {"/images/rotation/s.zip", false, nullptr, KivDownloadFlow::Recovery},
        {"/images/factory/s.zip", false, L"FAC", KivDownloadFlow::Script},
        {"/images/factory/s.zip", true, L"FAC", KivDownloadFlow::Script},
        {"/images/ota/s.zip", true, nullptr, KivDownloadFlow::Recovery},
    };
    size_t made = 1;
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.path);
        {
            wxCriticalSectionLocker locker(device->lock);
            device->state = DEV_CONNECTED;
        }
        CheckDone(sideload, entry.wipe, entry.path, true);
        ASSERT_TRUE(PumpUntil([&] { return log->Made().size() == made + 1; }));
        ++made;
        const Dispatched job = log->Made().back();
        EXPECT_EQ(job.model, entry.model ? sideload + entry.model : sideload);
        EXPECT_EQ(job.flow, entry.flow);
        WaitForWorkers();
    }
}

// The real worker, started by the dispatch, with the program's fastboot and the settings window's
// record: a fastboot job whose device never comes back fails after the window's RebootTimeout.
TEST_F(Start, DispatchedFastbootJobRunsWithTheProgramsFastbootAndSettings) {
    SetDownloadWorkerFactoryForTesting(nullptr);
    namespace fs = std::filesystem;
    const fs::path program = fs::path(workDir) / "program";
    fs::create_directories(program / "Google");
    fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", program / "Google" / "fastboot1");
    fs::permissions(program / "Google" / "fastboot1", fs::perms::owner_all);
    std::ofstream(program / "Google" / "reply-1") << "D1\tfastboot\n";
    plat::SetProgramDirForTesting(program.wstring());
    plat::SetTimeScaleForTesting(50);
    SettingsData settings = frame->settings->values.Copy();
    settings.UploadResult = true;
    settings.Timeout.RebootTimeout = 3;
    frame->settings->values.Assign(settings);

    KivDevice* device = AddDevice("D1", DEV_CONNECTED, true);
    const wxString model = "ZK550KL";
    ASSERT_TRUE(ModelListHolds(Fastboot1Models, model.wc_str()));
    ASSERT_EQ(ChooseDownloadFlow(model, false), KivDownloadFlow::Fastboot);
    CheckDone(model, false, "/images/image.raw", true);
    ASSERT_TRUE(PumpUntil([&] {
        wxCriticalSectionLocker locker(device->lock);
        return device->state == DEV_FAIL && !device->IsBusy();
    }));
    Pump();
    EXPECT_EQ(RowOf("D1").state, "Fail");
    EXPECT_EQ(RowOf("D1").description, "Wait device failure(3 seconds timeout)");
    EXPECT_EQ(frame->deviceList->GetItemText(0, KIV_COLUMN_DESCRIPTION), "Wait device failure(3 seconds timeout)");
    std::ifstream calls(program / "Google" / "calls.log");
    std::string first, second;
    std::getline(calls, first);
    std::getline(calls, second);
    EXPECT_EQ(first, "devices\x1f");
    EXPECT_EQ(second, "-s\x1f" "D1\x1f" "flash\x1f" "all\x1f" "/images/image.raw\x1f");
    EXPECT_FALSE(frame->busyGauge->IsShown()) << "the job has ended";
}

// The latest-image service asked over HTTPS: a newer file for the model asks first; the chosen
// file itself goes on without a word.
TEST_F(Start, LatestImageServiceDecidesTheQuestion) {
    const std::string serverDir = workDir + "/service";
    std::filesystem::create_directories(serverDir);
    fakes::ReplyServer server(serverDir);
    ASSERT_TRUE(server.ok());
    const std::string model = "ZK450CG";
    auto reply = [&](const std::string& latest) {
        return "<?xml version=\"1.0\"?><ZELK><IMAGE_RECORD>"
               "<IMAGE><PROJECT>ZK451CG</PROJECT><FILE_NAME>other.zip</FILE_NAME></IMAGE>"
               "<IMAGE><PROJECT>" + model + "</PROJECT><FILE_NAME>" + latest + "</FILE_NAME></IMAGE>"
               "</IMAGE_RECORD></ZELK>";
    };
    server.Reply(1, 200, reply("ZK450CG_WW_2.0.zip"));
    server.Reply(2, 200, reply("ZK450CG_WW_1.0.zip"));
    StartZK450CGCheckedBy(server);
    ASSERT_TRUE(PumpUntil([&] { return !dialogs.empty() || !log->Made().empty(); }));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message, NotLatestMessage("ZK450CG_WW_1.0.zip", "ZK450CG_WW_2.0.zip") + "\nContinue to flash?");
    EXPECT_TRUE(GateFree());
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "/repairservice/get_ecn_list.asmx/GetECNListInfo?countryCode=CN&SKU=ZK450CG&model=");

    ClickStart();
    ASSERT_TRUE(PumpUntil([this] { return !log->Made().empty(); }));
    EXPECT_EQ(dialogs.size(), 1u) << "the latest image asks nothing";
}

// The application lets its agent go when it ends (~KivApp) while a check may still be inside its
// request: the check keeps the agent until the request is done.
TEST_F(Start, TheImageCheckKeepsItsAgentWhenTheApplicationLetsItGo) {
    const std::string serverDir = workDir + "/slow-service";
    std::filesystem::create_directories(serverDir);
    fakes::ReplyServer server(serverDir, 1.0);  // answers after a second
    ASSERT_TRUE(server.ok());
    server.Reply(200, "<ZELK><IMAGE_RECORD><IMAGE><PROJECT>ZK450CG</PROJECT><FILE_NAME>ZK450CG_WW_2.0.zip"
                      "</FILE_NAME></IMAGE></IMAGE_RECORD></ZELK>");
    StartZK450CGCheckedBy(server);
    ASSERT_TRUE(PumpUntil([&] { return !server.requests().empty(); }));
    std::weak_ptr<RYL::CInternetAgent> agent = wxGetApp().internetAgent;
    wxGetApp().internetAgent.reset();  // as ~KivApp does
    EXPECT_FALSE(agent.expired()) << "the running check holds it";
    ASSERT_TRUE(PumpUntil([&] { return !dialogs.empty(); }));
    EXPECT_EQ(dialogs[0].message, NotLatestMessage("ZK450CG_WW_1.0.zip", "ZK450CG_WW_2.0.zip") + "\nContinue to flash?");
    EXPECT_TRUE(PumpUntil([&] { return agent.expired(); })) << "let go with the check's end";
}

// The dispatch starts the real download worker of each flow; here each fails at its first step.
TEST_F(Start, EachFlowStartsItsOwnWorker) {
    SetDownloadWorkerFactoryForTesting(nullptr);
    const std::filesystem::path program = std::filesystem::path(workDir) / "empty-program";
    std::filesystem::create_directories(program);
    plat::SetProgramDirForTesting(program.wstring());  // no fastboot there
    plat::SetTimeScaleForTesting(500);
    KivDevice* device = AddDevice("F1", DEV_CONNECTED, true);
    const struct {
        const char* model;
        const char* image;
        const char* failure;  // the row's text begins with it
    } flows[] = {
        {"ZK450CG", "/nonexistent/p.zip", "Unzip image failure(Can't open \"/nonexistent/p.zip\")"},
        {"ZK171CG", "/nonexistent/p.zip", "Check the detected serial number failure("},
        {"ZK550KL", "/nonexistent/p.raw", "Check the detected serial number failure("},
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.model);
        {
            wxCriticalSectionLocker locker(device->lock);
            device->state = DEV_CONNECTED;
        }
        CheckDone(flow.model, false, flow.image, true);
        ASSERT_TRUE(PumpUntil([&] {
            wxCriticalSectionLocker locker(device->lock);
            return device->state == DEV_FAIL && !device->IsBusy();
        }));
        Pump();
        EXPECT_TRUE(RowOf("F1").description.StartsWith(flow.failure)) << RowOf("F1").description;
        EXPECT_EQ(device->model, flow.model);
    }
}

}  // namespace
