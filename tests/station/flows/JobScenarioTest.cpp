// Whole jobs, one table: the real download, wipe and check workers and the real hand-over arms of
// the device-change handler, driven by device events in a given order against fake adb and fastboot
// programs (tests/fixtures/adb/scenario_tool.sh). Each row names the events, the final state, the
// row's text, the log and the busy counter (0 at the end, never below 0 on the way).
#include "KivFlashWorkers.h"
#include "KivJobHandOver.h"
#include "KivLog.h"
#include "KivThreadDownloadImage.h"
#include "RecoveryFlow.h"

#include <signal.h>

#include <cerrno>

namespace {

using namespace recoveryflow;

// What the handler does when an event comes.
enum class Act {
    Arrive,   // the device is back on its port: the job arms of an arrival
    Leave,    // the device left: the job arms of a removal
    Release,  // the gated tool call goes on
    Result,   // recovery writes a successful install result
};

// The acts run once the text has been logged for the nth time.
struct Event {
    std::wstring text;
    int nth;
    std::vector<Act> acts;
};

enum class Flow { Fastboot, Script, Recovery };

struct Scenario {
    const char* name;
    Flow flow;
    const char* model;
    bool wipe;
    bool resultCheck;           // SaveXmlLog on: the download worker waits for the check
    std::vector<std::pair<std::string, std::string>> replies;  // device tool: glob, reply
    std::string firstListing;   // what "devices" prints the first time ("": the device is listed)
    std::string script;         // script flow: the package's flashall_KIV.cmd
    std::string hang;           // a tool call that never ends ("": none)
    int hangFrom;               // the first matching call that hangs
    std::string hangSays;
    std::string gate;           // a tool call that waits for Act::Release
    std::string flipTempAt;     // after this call no temporary file can be made
    std::string battery;
    std::vector<Event> events;
    bool realTime;              // the clock at real speed and every time-out 5 s
    uint32_t state;
    std::wstring row;           // the Description; '*' stands for any text
    std::vector<std::wstring> log;
    uint64_t imageBytes = 0;    // fastboot: the raw image's size; script: a file of this size beside the script
    std::string slow{};         // a tool call that waits kSlowSeconds before it runs
};

constexpr int kSlowSeconds = 8;

constexpr char kPackageName[] = "ZK pkg.zip";

// '*' matches any run of characters.
bool Matches(const std::wstring& pattern, const std::wstring& text) {
    size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

const std::vector<std::wstring> kFastbootFlash = {L"Check the detected serial number ...", L"Flash image ..."};
const std::vector<std::wstring>& kRecoveryInstall = kInstallStepsToHandOver;
const std::vector<std::wstring> kCheckToPass = {
    L"Check device serial number ...",
    L"Waiting for reading software version ...",
    L"Read software version ZK_2.0",
    L"Flash image successfully (SER1)",
};

std::vector<std::wstring> Join(std::initializer_list<std::vector<std::wstring>> parts) {
    std::vector<std::wstring> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The recovery chain up to the install worker's wait: the device's first return into recovery,
// and its return after the reboot into recovery, when recovery has installed the package.
const std::vector<Event> kIntoRecovery = {
    {L"Waiting for reboot device to recovery ...", 1, {Act::Arrive}},
    {L"Wait device reboot for installing ...", 1, {Act::Result, Act::Arrive}},
};
std::vector<Event> With(std::vector<Event> events, std::initializer_list<Event> more) {
    events.insert(events.end(), more);
    return events;
}

const std::string kFlashFailed = "FAILED (remote: flash write failure)\n";
const std::wstring kStopped5 = L" did not end within 5 seconds and was stopped)";

const uint64_t kLargeImage = 16 << 20;  // 32 s for a tool at the slowest rate that a device takes

const Scenario kScenarios[] = {
    {"fastboot: back in fastboot during the listing pause, then the flash fails", Flow::Fastboot, "ZK550KL", false,
     true, {{"flash all *", kFlashFailed}}, "List of devices attached\n\n", "", "", 1, "", "*flash all *", "", "",
     {{L"Check the detected serial number ...", 1, {Act::Arrive, Act::Release}}}, false, DEV_FAIL,
     L"Flash image failure(FAILED (remote: flash write failure))",
     Join({kFastbootFlash, {L"Flash image failure(FAILED (remote: flash write failure))"}})},
    {"fastboot: re-plugged during the flash, which passes without a check", Flow::Fastboot, "ZK550KL", false, false,
     {}, "", "", "", 1, "", "*flash all *", "", "", {{L"Flash image ...", 1, {Act::Arrive, Act::Release}}}, false,
     DEV_PASS, L"Flash image successfully (SER1)",
     Join({kFastbootFlash, {L"Enable adb ...", L"Reboot ...", L"Flash image successfully (SER1)"}})},
    {"fastboot: re-plugged during the flash; the check takes over after the reboot", Flow::Fastboot, "ZK550KL",
     false, true, {}, "", "", "", 1, "", "*flash all *", "", "", {{L"Flash image ...", 1, {Act::Arrive, Act::Release}}},
     false, DEV_PASS, L"Flash image successfully (SER1)",
     Join({kFastbootFlash, {L"Enable adb ...", L"Reboot ...", L"Wait device reboot ..."}, kCheckToPass})},
    {"fastboot: the flash never returns", Flow::Fastboot, "ZK550KL", false, false, {}, "", "", "*flash all *", 1, "",
     "", "", "", {}, true, DEV_FAIL, L"Flash image failure(fastboot3" + kStopped5,
     Join({kFastbootFlash, {L"Flash image failure(fastboot3" + kStopped5}})},
    {"fastboot: unplugged mid-flash", Flow::Fastboot, "ZK550KL", false, true, {}, "", "", "*flash all *", 1,
     "< waiting for SER1 >\n", "", "", "", {{L"Flash image ...", 1, {Act::Leave}}}, true, DEV_FAIL,
     L"Flash image failure(fastboot3" + kStopped5, Join({kFastbootFlash, {L"Flash image failure(fastboot3" + kStopped5}})},
    {"script: a tool of the script is missing", Flow::Script, "ZK450CG", false, false, {}, "", "./fastboot.exe -s $2 reboot\n",
     "", 1, "", "", "", "", {}, false, DEV_FAIL, L"Run flash image script failure(exit status 127: *./fastboot.exe: not found)",
     {L"Unzip image ...", L"Run flash image script ...",
      L"Run flash image script failure(exit status 127: *./fastboot.exe: not found)"}},
    {"script: ends with a failure status", Flow::Script, "ZK450CG", false, false, {}, "", "echo rebooting\nexit 3\n", "",
     1, "", "", "", "", {}, false, DEV_FAIL, L"Run flash image script failure(exit status 3: rebooting)",
     {L"Unzip image ...", L"Run flash image script ...", L"Run flash image script failure(exit status 3: rebooting)"}},
    {"script: FAILED after 17 MB of output", Flow::Script, "ZK450CG", false, false, {}, "",
     "head -c 17825792 /dev/zero | tr '\\0' x\necho\necho 'FAILED (remote: late)'\n", "", 1, "", "", "", "", {}, false,
     DEV_FAIL, L"Run flash image script failure(FAILED (remote: late))",
     {L"Unzip image ...", L"Run flash image script ...", L"Run flash image script failure(FAILED (remote: late))"}},
    {"recovery: recovery returns once more before the install worker's reboot; the battery is low", Flow::Recovery,
     "ZK171CG", true, false, {}, "", "", "", 1, "", "*pull /sys/class/power_supply/battery/capacity *", "", "10\n",
     {{L"Waiting for reboot device to recovery ...", 1, {Act::Arrive}},
      {L"Check the detected serial number ...", 1, {Act::Arrive, Act::Release}}},
     false, DEV_FAIL,
     L"Check battery capacity failure(Battery capacity(10) has to be greater than or equal to 20, please remove "
     L"device and recharge.)",
     {L"Fastboot reboot to recovery ...", L"Waiting for reboot device to recovery ...",
      L"Check the detected serial number ...",
      L"Check battery capacity failure(Battery capacity(10) has to be greater than or equal to 20, please remove "
      L"device and recharge.)"}},
    {"recovery: the wipe reboot and the wipe itself within one poll", Flow::Recovery, "ZK171CG", true, false, {}, "",
     "", "", 1, "", "", "", "",
     With(kIntoRecovery, {{L"Reboot recovery ...", 2, {Act::Arrive, Act::Leave, Act::Arrive}}}), false, DEV_PASS,
     L"Flash image successfully (SER1)",
     Join({kRecoveryInstall,
           {L"Waiting for install result ...", L"Install image Successfully", L"Generate wipe command file ...",
            L"Copy wipe command file to /cache/recovery ...", L"Reboot recovery ...", L"Wait device reboot for wiping ...",
            L"Wait device wiping ...", L"Wait device reboot into android ..."},
           kCheckToPass})},
    {"recovery: the command file cannot be made", Flow::Recovery, "ZK171CG", true, false, {}, "", "", "", 1, "", "",
     "*push *pkg.zip /data/media", "", kIntoRecovery, false, DEV_FAIL, L"Generate the command file failure!",
     Join({{kRecoveryInstall.begin(), kRecoveryInstall.begin() + 7}, {L"Generate the command file failure!"}})},
    {"recovery without wipe: the reboot into Android never returns", Flow::Recovery, "ZK171CG", false, false, {}, "",
     "", "*reboot", 1, "", "", "", "", kIntoRecovery, true, DEV_FAIL, L"Reboot failure(adb" + kStopped5,
     Join({kRecoveryInstall,
           {L"Waiting for install result ...", L"Install image Successfully", L"Reboot ...",
            L"Reboot failure(adb" + kStopped5}})},
    {"recovery: the reboot for the wipe never returns", Flow::Recovery, "ZK171CG", true, false, {}, "", "",
     "*reboot recovery", 2, "", "", "", "", kIntoRecovery, true, DEV_FAIL, L"Reboot recovery Failure(adb" + kStopped5,
     Join({kRecoveryInstall,
           {L"Waiting for install result ...", L"Install image Successfully", L"Generate wipe command file ...",
            L"Copy wipe command file to /cache/recovery ...", L"Reboot recovery ...",
            L"Reboot recovery Failure(adb" + kStopped5}})},
    // Tools that move an image get the time its size needs, beyond every time-out of the settings.
    {"fastboot: the flash of a large image outlasts every time-out", Flow::Fastboot, "ZK550KL", false, false, {}, "",
     "", "", 1, "", "", "", "", {}, true, DEV_PASS, L"Flash image successfully (SER1)",
     Join({kFastbootFlash, {L"Enable adb ...", L"Reboot ...", L"Flash image successfully (SER1)"}}), kLargeImage,
     "*flash all *"},
    {"script: the script of a large package outlasts every time-out", Flow::Script, "ZK450CG", false, false, {}, "",
     "sleep " + std::to_string(kSlowSeconds) + "\n", "", 1, "", "", "", "", {}, true, DEV_PASS,
     L"Flash image successfully (SER1)",
     {L"Unzip image ...", L"Run flash image script ...", L"Flash image successfully (SER1)"}, kLargeImage},
};

class JobScenarios : public RecoveryFlowTest {
protected:
    void SetUp() override {
        RecoveryFlowTest::SetUp();
        previousDir = fs::current_path();
        fs::current_path(root);  // where the OS-version report after a fastboot check looks
        WriteFile(root / "Extra" / "Get_OS_version.txt", "0\n");
    }
    void TearDown() override {
        fs::current_path(previousDir);
        RecoveryFlowTest::TearDown();
    }

    // The tools of the row: scenario_tool.sh in front of the device tool, as adb and fastboot.
    void Prepare(const Scenario& s) {
        device.reset();
        station.reset();
        for (const auto& entry : fs::directory_iterator(google))
            fs::remove_all(entry.path());
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_device_tool.py", google / "device_tool.py");
        fs::permissions(google / "device_tool.py", fs::perms::owner_all);
        for (const char* name : {"adb", "fastboot1", "fastboot3"}) {
            fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "scenario_tool.sh", google / name);
            fs::permissions(google / name, fs::perms::owner_all);
        }
        fs::create_directories(DevicePath("/data/media"));
        fs::create_directories(DevicePath("/cache/recovery"));
        WriteFile(DevicePath("/sys/class/power_supply/battery/capacity"), s.battery.empty() ? "85\n" : s.battery);
        // A result of an earlier job, which this one must never take for its own.
        WriteFile(DevicePath("/cache/recovery/last_install"), "/data/media/old.zip\n1\n");
        Listed({kSerial});
        std::vector<Rule> rules;
        if (!s.firstListing.empty())
            rules.push_back({"devices", s.firstListing, 1});
        rules.push_back({"shell getprop ro.build.display.id", "ZK_2.0\r\n"});
        for (const auto& [match, reply] : s.replies)
            rules.push_back({match, reply});
        Rules(rules);
        auto config = [this](const char* file, const std::string& text) {
            if (!text.empty())
                WriteFile(google / file, text);
        };
        config("hang", s.hang);
        config("hang-from", std::to_string(s.hangFrom));
        config("hang-says", s.hangSays);
        config("gate", s.gate);
        config("flip-temp-at", s.flipTempAt);
        config("slow", s.slow);
        config("slow-seconds", std::to_string(kSlowSeconds));
        // Temporary files go through a link that the tool can turn away.
        fs::remove(root / "tmplink");
        fs::create_directory_symlink(temp, root / "tmplink");
        setenv("TMPDIR", (root / "tmplink").c_str(), 1);

        plat::SetTimeScaleForTesting(s.realTime ? 1 : 250);
        SettingsData values;
        values.SaveXmlLog = s.resultCheck;
        values.ResultPath = W((root / "results").string());
        if (s.realTime)
            values.Timeout = {5, 5, 5, 5};
        station = std::make_unique<WorkerStation>(adb.get());
        station->settings.Assign(values);
        station->AddRow(kSerial, DEV_CONNECTED);
        device = std::make_unique<KivDevice>(kSerial, "1", "2", DEV_CONNECTED);
        device->model = s.model;
        device->wipe = s.wipe;
        device->imagePath = W(image.string());
    }

    KivDeviceWorker* FirstWorker(const Scenario& s) {
        switch (s.flow) {
        case Flow::Fastboot: {
            WriteFile(root / "image.raw", "raw image");
            if (s.imageBytes)
                fs::resize_file(root / "image.raw", s.imageBytes);
            return new KivThreadDownloadImageForIntel(device.get(), W((root / "image.raw").string()),
                                                      W((google / "fastboot3").string()));
        }
        case Flow::Script: {
            const fs::path content = root / "package";
            fs::remove_all(content);
            WriteFile(content / "flashall_KIV.cmd", s.script);
            std::string files = "flashall_KIV.cmd";
            if (s.imageBytes) {
                WriteFile(content / "system.img", "");
                fs::resize_file(content / "system.img", s.imageBytes);
                files += " system.img";
            }
            const fs::path zip = root / "script.zip";
            fs::remove(zip);
            const std::string command = "cd '" + content.string() + "' && zip -q -X '" + zip.string() + "' " + files;
            EXPECT_EQ(std::system(command.c_str()), 0);
            return new KivThreadDownloadImageForScript(device.get(), W(zip.string()), W((google / "fastboot3").string()));
        }
        case Flow::Recovery:
            return new KivThreadDownloadImage(device.get(), device->imagePath, W((google / "fastboot1").string()));
        }
        return nullptr;
    }

    void Do(Act act) {
        const DeviceChangeInfo info("18D1", "4EE7", kSerial, "1", "2", act == Act::Arrive);
        switch (act) {
        case Act::Arrive: {
            wxString failure;
            EXPECT_TRUE(KivJobArrivalArm(*device, KivJobLookup::SameDevice, info, &failure)) << failure;
            break;
        }
        case Act::Leave: KivJobRemovalArm(*device); break;
        case Act::Release: WriteFile(google / "go", ""); break;
        case Act::Result:
            WriteFile(DevicePath("/cache/recovery/last_install"), std::string("/data/media/") + kPackageName + "\n1\n");
            break;
        }
    }

    bool Busy() {
        wxCriticalSectionLocker locker(device->lock);
        return device->IsBusy();
    }

    // Runs the row's job to its end, the handler acting on its events meanwhile; false when it
    // did not end within the bound. lowestBusy: the lowest busy count seen.
    bool RunJob(const Scenario& s, int32_t* lowestBusy) {
        std::atomic<bool> stop{false};
        std::atomic<int32_t> lowest{0};
        std::thread handlerThread([&] {
            std::vector<bool> done(s.events.size(), false);
            while (!stop) {
                lowest = std::min(lowest.load(), station->BusyCount());
                const std::vector<std::wstring> texts = station->LogTexts();
                for (size_t i = 0; i < s.events.size(); ++i) {
                    if (done[i] || std::count(texts.begin(), texts.end(), s.events[i].text) < s.events[i].nth)
                        continue;
                    done[i] = true;
                    for (Act act : s.events[i].acts)
                        Do(act);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        KivDeviceWorker* first = FirstWorker(s);
        const auto control = first->control();
        bool ended = first->Launch() == wxTHREAD_NO_ERROR && WaitEnded(control, std::chrono::seconds(120));
        // Successors run in their slots until the job is over.
        const auto end = Steady::now() + std::chrono::seconds(120);
        while (ended && Busy()) {
            ended = Steady::now() < end;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop = true;
        handlerThread.join();
        *lowestBusy = std::min(lowest.load(), station->BusyCount());
        return ended;
    }

    // A tool that hung is gone once the job has ended: killed and reaped.
    static bool HungToolGone(const fs::path& pidFile) {
        std::ifstream in(pidFile);
        pid_t pid = 0;
        if (!(in >> pid) || pid <= 0)
            return false;
        const auto end = Steady::now() + std::chrono::seconds(30);
        while (Steady::now() < end) {
            if (kill(pid, 0) != 0 && errno == ESRCH)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fs::path previousDir;
};

TEST_F(JobScenarios, EveryJobEndsWithTheVerdictOfWhatHappened) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        Prepare(s);
        int32_t lowestBusy = 0;
        ASSERT_TRUE(RunJob(s, &lowestBusy)) << "the job did not end";

        EXPECT_EQ(State(), s.state);
        const KivDeviceRows::Row row = station->Row(kSerial);
        EXPECT_EQ(row.state, s.state == DEV_PASS ? "Pass" : "Fail");
        EXPECT_TRUE(Matches(s.row, row.description.ToStdWstring())) << row.description;
        EXPECT_EQ(station->BusyCount(), 0);
        EXPECT_GE(lowestBusy, 0);

        const std::vector<std::wstring> log = station->LogTexts();
        bool same = log.size() == s.log.size();
        for (size_t i = 0; same && i < log.size(); ++i)
            same = Matches(s.log[i], log[i]);
        std::wstring shown;
        for (const std::wstring& text : log)
            shown += L"\n  " + text;
        EXPECT_TRUE(same) << "log:" << plat::NarrowFromWide(shown);
        if (s.state == DEV_FAIL) {
            EXPECT_EQ(station->Log().back().level, LOG_LEVEL_ERROR);
        }
        if (!s.hang.empty()) {
            EXPECT_TRUE(HungToolGone(google / "hung.pid")) << "the hung tool was left running";
        }
        {
            wxCriticalSectionLocker locker(device->lock);
            EXPECT_TRUE(device->state & DEV_REMOVABLE) << "the Remove tool takes the record";
        }
        device.reset();
    }
}

}  // namespace
