#include "Clock.h"
#include "CommandLineValues.h"
#include "KivDevice.h"
#include "KivFlashWorkers.h"
#include "KivLog.h"
#include "Errors.h"
#include "KivModels.h"
#include "Paths.h"
#include "WorkerStation.h"
#include "ThreadCount.h"

#include <gtest/gtest.h>
#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& data, bool executable = false) {
    std::ofstream(path, std::ios::binary) << data;
    if (executable)
        fs::permissions(path, fs::perms::owner_all);
}

// Follows a download worker, as its result check does: cancels it and takes the state over.
class SuccessorWorker : public KivDeviceWorker {
public:
    SuccessorWorker(KivDevice* device, KivSlot predecessor) : KivDeviceWorker(device, KivSlot::ScriptCheck),
                                                              predecessor(predecessor) {}
    void Steps() override {
        if (CancelPredecessor(predecessor, DEV_SCRIPT_WAIT_REBOOT | DEV_FASTBOOT_FLASHING))
            SetState(DEV_SCRIPT_CHECKING);
    }
    KivSlot predecessor;
};

class FlashWorkers : public ::testing::Test {
protected:
    void SetUp() override {
        threadsBefore = ThreadCount();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(ZELK_TEST_WORK_DIR) / (std::string("flash.") + info->name() + "." + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "Google");
        // Temporary directories of the workers go here, where the test can see them.
        setenv("TMPDIR", (dir / "tmp").c_str(), 1);
        fastboot = (dir / "Google" / "fastboot3").string();
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", fastboot);
        fs::permissions(fastboot, fs::perms::owner_all);
        device = new KivDevice(serial, "1", "1", DEV_CONNECTED);
        station.AddRow(serial, DEV_CONNECTED);
    }
    void TearDown() override {
        delete device;
        plat::SetTimeScaleForTesting(1);
        KivThreadDownloadImageForScript::SetInterpreterForTesting("");
        unsetenv("TMPDIR");
        if (!HasFailure())
            fs::remove_all(dir);
        WaitForThreadCount(threadsBefore);  // wx's own clean-up of the worker threads
    }

    void SetJob(const wxString& model, bool wipe, const wxString& image) {
        device->model = model;
        device->wipe = wipe;
        device->imagePath = image;
    }
    // Runs the worker to its end.
    void Run(KivDeviceWorker* worker) {
        const auto control = worker->control();
        ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
        control->WaitEnded();
    }
    void RunScript(const wxString& package) {
        Run(new KivThreadDownloadImageForScript(device, package, wxString(fastboot)));
    }
    void RunFastboot(const wxString& image) {
        Run(new KivThreadDownloadImageForIntel(device, image, wxString(fastboot)));
    }

    // A zip package of the files (name, content); a name ending in ".cmd" is made executable.
    std::string Package(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
        const fs::path content = dir / ("content-" + name);
        fs::create_directories(content);
        std::string list;
        for (const auto& [file, data] : files) {
            WriteFile(content / file, data);
            list += " '" + file + "'";
        }
        const std::string zip = (dir / name).string();
        const std::string command = "cd '" + content.string() + "' && zip -q -X '" + zip + "'" + list;
        EXPECT_EQ(std::system(command.c_str()), 0);
        return zip;
    }
    // A flash script that records its arguments and directory, prints the output and ends.
    std::string Script(const std::string& output) {
        WriteFile(dir / "output.txt", output);
        return "echo \"$@\" > '" + (dir / "args.txt").string() + "'\n"
               "pwd > '" + (dir / "pwd.txt").string() + "'\n"
               "cat '" + (dir / "output.txt").string() + "'\n";
    }
    void Reply(int call, const std::string& text) { WriteFile(dir / "Google" / ("reply-" + std::to_string(call)), text); }
    std::vector<std::string> Calls() {
        std::vector<std::string> calls;
        std::string line;
        for (char c : ReadFile(dir / "Google" / "calls.log")) {
            if (c == '\n') {
                if (!line.empty() && line.back() == ' ')
                    line.pop_back();
                calls.push_back(line);
                line.clear();
            } else {
                line += c == '\x1f' ? ' ' : c;
            }
        }
        return calls;
    }
    // Temporary directories left in the temporary directory.
    std::vector<std::string> LeftBehind() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir / "tmp"))
            names.push_back(entry.path().filename().string());
        return names;
    }
    LoggedRecord LastRecord() {
        const auto log = station.Log();
        return log.empty() ? LoggedRecord{} : log.back();
    }

    wxInitializer wx;
    size_t threadsBefore = 0;
    fs::path dir;
    std::string fastboot;
    const wxString serial = "SER7";
    WorkerStation station;
    KivDevice* device = nullptr;
};

// --- script flow ---

TEST_F(FlashWorkers, ScriptFlashPassesWithoutAReportAndCleansUp) {
    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", Script("flashing\nOKAY [ 1.0s]\n")},
                                                  {"fastboot.exe", "tool"}});
    SetJob("ZK450CG", true, package);
    RunScript(package);

    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_EQ(station.LogTexts(), (std::vector<std::wstring>{L"Unzip image ...", L"Run flash image script ...",
                                                            L"Flash image successfully (SER7)"}));
    EXPECT_EQ(station.Descriptions().front(), L"Check image model ...");
    EXPECT_EQ(station.Row(serial).state, "Pass");
    EXPECT_EQ(station.BusyCount(), 0);
    const std::string pwd = ReadFile(dir / "pwd.txt");
    EXPECT_NE(pwd.find("/tmp/~SER7"), std::string::npos) << pwd;
    EXPECT_NE(pwd.find(".kivmp"), std::string::npos) << pwd;
    EXPECT_EQ(ReadFile(dir / "args.txt"), "1 SER7 /y\n") << "wipe, serial and the switch";
    EXPECT_TRUE(LeftBehind().empty()) << "the unpacked package is deleted";

    device->state = DEV_CONNECTED;
    SetJob("ZK450CG", false, package);
    RunScript(package);
    EXPECT_EQ(ReadFile(dir / "args.txt"), "0 SER7 /y\n");
}

// The script gets the wipe flag, the serial and the switch as $1..$3 whatever the serial holds,
// and runs from a temporary directory whose name holds quotes, blanks and shell characters.
TEST_F(FlashWorkers, AwkwardSerialsReachTheScriptWhole) {
    const fs::path tmp = dir / "tmp a\" -w \"b $HOME;'x' `id` &";
    fs::create_directories(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    const std::string script = "printf '%s\\n' \"$#\" \"$@\" > '" + (dir / "args.txt").string() + "'\n"
                               "pwd > '" + (dir / "pwd.txt").string() + "'\n";
    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", script}});
    for (const std::string& value : kCommandLineValues) {
        SCOPED_TRACE(value);
        delete device;
        const wxString awkward = wxString::FromUTF8(value);
        device = new KivDevice(awkward, "1", "1", DEV_CONNECTED);
        station.AddRow(awkward, DEV_CONNECTED);
        SetJob("ZK450CG", true, package);
        fs::remove(dir / "args.txt");
        RunScript(package);
        EXPECT_EQ(device->state, DEV_PASS) << LastRecord().text;
        EXPECT_EQ(ReadFile(dir / "args.txt"), "3\n1\n" + value + "\n/y\n");
        EXPECT_EQ(ReadFile(dir / "pwd.txt").rfind(tmp.string() + "/~", 0), 0u) << ReadFile(dir / "pwd.txt");
    }
}

// The fastboot flow sends the device's own serial and the image path as one argument each.
TEST_F(FlashWorkers, AwkwardSerialsAndImagePathsReachFastbootWhole) {
    for (const std::string& value : kCommandLineValues) {
        SCOPED_TRACE(value);
        // The device listing is read byte by byte, so a serial outside ASCII is never listed.
        const bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return c > 0; });
        const std::string serialText = ascii ? value : "SER7";
        delete device;
        const wxString awkward = wxString::FromUTF8(serialText);
        device = new KivDevice(awkward, "1", "1", DEV_CONNECTED);
        station.AddRow(awkward, DEV_CONNECTED);
        fs::remove(dir / "Google" / "calls.log");
        Reply(1, serialText + "\tfastboot\n");
        const std::string raw = (dir / ("image " + value + ".raw")).string();
        SetJob("ZK550KL", false, wxString::FromUTF8(raw));
        RunFastboot(wxString::FromUTF8(raw));
        EXPECT_EQ(device->state, DEV_PASS) << LastRecord().text;
        const std::string s = serialText + "\x1f";
        EXPECT_EQ(ReadFile(dir / "Google" / "calls.log"),
                  "devices\x1f\n-s\x1f" + s + "flash\x1f" "all\x1f" + raw + "\x1f\n-s\x1f" + s +
                      "oem\x1f" "adb_enable\x1f" "1\x1f\n-s\x1f" + s + "reboot\x1f\n");
    }
}

TEST_F(FlashWorkers, ScriptOutputThatTellsOfAFailureFailsTheJob) {
    const struct {
        const char* what;
        std::string output;
        const wchar_t* text;
    } cases[] = {
        {"error in any case", "writing boot\nsome Error: bad thing  \r\nmore\n", L"Error: bad thing"},
        {"failed in lower case", "flash: failed (remote)\n", L"failed (remote)"},
        {"FAILED before an ERROR", "ERROR later\nFAILED first\n", L"FAILED first"},
        {"a failure after a long output", std::string(300000, 'x') + "\nFAILED (remote: late)\n",
         L"FAILED (remote: late)"},
    };
    int n = 0;
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.what);
        const std::string package = Package(std::string("f").append(std::to_string(++n)).append(".zip"), {{"flashall_KIV.cmd", Script(entry.output)}});
        device->state = DEV_CONNECTED;
        SetJob("ZK450CG", false, package);
        RunScript(package);
        EXPECT_EQ(device->state, DEV_FAIL);
        const LoggedRecord last = LastRecord();
        EXPECT_EQ(last.text, std::wstring(L"Run flash image script failure(") + entry.text + L")");
        EXPECT_EQ(last.code, ERR_SCRIPT_OUTPUT);
        EXPECT_EQ(last.level, LOG_LEVEL_ERROR);
        EXPECT_EQ(station.Row(serial).state, "Fail");
        EXPECT_TRUE(LeftBehind().empty());
    }
}

TEST_F(FlashWorkers, ScriptThatCannotRun) {
    const std::string empty = Package("noscript.zip", {{"readme.txt", "no script"}});
    SetJob("ZK450CG", false, empty);
    RunScript(empty);
    EXPECT_EQ(LastRecord().text, L"Run flash image script failure(Not found the flash script file)");
    EXPECT_EQ(LastRecord().code, ERR_NO_FLASH_SCRIPT);
    EXPECT_TRUE(LeftBehind().empty());

    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", Script("ok\n")}});
    KivThreadDownloadImageForScript::SetInterpreterForTesting("/nonexistent/sh");
    device->state = DEV_CONNECTED;
    RunScript(package);
    EXPECT_EQ(LastRecord().text, L"Run flash image script failure(Not found /nonexistent/sh)");
    EXPECT_EQ(LastRecord().code, ERR_NO_CMD_EXE);
    EXPECT_FALSE(fs::exists(dir / "args.txt"));
}

TEST_F(FlashWorkers, PackageThatCannotBeUnpacked) {
    const std::string broken = (dir / "broken.zip").string();
    WriteFile(broken, "not a zip");
    SetJob("ZK450CG", false, broken);
    RunScript(broken);
    EXPECT_EQ(device->state, DEV_FAIL);
    EXPECT_EQ(LastRecord().text, L"Unzip image failure(Can't open \"" + fs::path(broken).wstring() + L"\")");
    EXPECT_EQ(LastRecord().code, ERR_ZIP_OPEN);
    EXPECT_EQ(station.LogTexts().size(), 2u) << "no script step follows";
}

TEST_F(FlashWorkers, ReportGateWaitsForTheDeviceUntilRebootTimeout) {
    plat::SetTimeScaleForTesting(100);
    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", Script("ok\n")}});
    station.settings.Timeout.RebootTimeout = 6;
    station.settings.SaveXmlLog = true;
    SetJob("ZK450CG", false, package);
    RunScript(package);
    const auto log = station.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].text, L"Wait device reboot ...");
    EXPECT_EQ(log[3].text, L"Wait device failure(6 seconds timeout)");
    EXPECT_EQ(log[3].code, ERR_GENERAL);
    EXPECT_EQ(device->state, DEV_FAIL);
    EXPECT_EQ(station.BusyCount(), 0);
    EXPECT_TRUE(LeftBehind().empty()) << "deleted after the wait";
}

TEST_F(FlashWorkers, ReportGateWaitEndsWhenTheResultCheckTakesOver) {
    plat::SetTimeScaleForTesting(20);
    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", Script("ok\n")}});
    station.settings.Tavio = true;
    station.settings.Timeout.RebootTimeout = 100000;
    SetJob("ZK450CG", false, package);
    auto* worker = new KivThreadDownloadImageForScript(device, package, wxString(fastboot));
    const auto control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        {
            wxCriticalSectionLocker locker(device->lock);
            if (device->state == DEV_SCRIPT_WAIT_REBOOT)
                break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(station.Row(serial).state, "Installing") << "the wait shows no State of its own";
    EXPECT_FALSE(LeftBehind().empty()) << "the package stays unpacked during the wait";
    Run(new SuccessorWorker(device, KivSlot::Script));
    control->WaitEnded();
    EXPECT_EQ(device->state, DEV_SCRIPT_CHECKING);
    EXPECT_EQ(LastRecord().text, L"Wait device reboot ...") << "nothing more from the download worker";
    EXPECT_EQ(station.Row(serial).state, "Installing");
    EXPECT_TRUE(LeftBehind().empty());
}

TEST_F(FlashWorkers, ReportGate) {
    SettingsData settings;
    EXPECT_FALSE(NeedsResultCheck("ZK450CG", settings));
    settings.UploadResult = true;
    EXPECT_TRUE(NeedsResultCheck("ZK450CG", settings));
    EXPECT_FALSE(NeedsResultCheck("NOT-LISTED", settings));
    EXPECT_FALSE(NeedsResultCheck("", settings));
    settings.UploadResult = false;
    settings.SaveXmlLog = true;
    EXPECT_TRUE(NeedsResultCheck("ZK450CG", settings));
    settings.SaveXmlLog = false;
    settings.Tavio = true;
    EXPECT_TRUE(NeedsResultCheck("ZK450CG", settings));
    EXPECT_EQ(FlashScriptArguments("/t/~A.kivmp/flashall_KIV.cmd", true, "A"),
              "\"/t/~A.kivmp/flashall_KIV.cmd\" 1 A /y");
}

// --- fastboot flow ---

TEST_F(FlashWorkers, FastbootFlashOfARawImage) {
    Reply(1, "SER7\tfastboot\n");
    const wxString raw = (dir / "image.raw").string();
    SetJob("ZK550KL", false, raw);
    RunFastboot(raw);
    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"devices", "-s SER7 flash all " + raw.ToStdString(),
                                                 "-s SER7 oem adb_enable 1", "-s SER7 reboot"}));
    EXPECT_EQ(station.LogTexts(),
              (std::vector<std::wstring>{L"Check the detected serial number ...", L"Flash image ...", L"Enable adb ...",
                                         L"Reboot ...", L"Flash image successfully (SER7)"}));
    EXPECT_TRUE(LeftBehind().empty());
}

TEST_F(FlashWorkers, FastbootFlashOfAPackage) {
    Reply(1, "SER7\tfastboot\n");
    const std::string package = Package("p.zip", {{"image.raw", "raw"}, {"notes.txt", "x"}});
    SetJob("ZK550KL", false, package);
    RunFastboot(package);
    EXPECT_EQ(device->state, DEV_PASS);
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_NE(calls[1].find(".kivmp/image.raw"), std::string::npos) << calls[1];
    EXPECT_EQ(station.LogTexts()[1], L"Unzip image ...");
    EXPECT_EQ(station.LogTexts()[2], L"Get .raw file position ...");
    EXPECT_TRUE(LeftBehind().empty());

    // A package name in upper case is a package all the same.
    fs::rename(package, dir / "P.ZIP");
    device->state = DEV_CONNECTED;
    fs::remove(dir / "Google" / "calls.log");
    RunFastboot((dir / "P.ZIP").string());
    EXPECT_EQ(device->state, DEV_PASS);
    EXPECT_NE(Calls().at(1).find(".kivmp/image.raw"), std::string::npos) << Calls().at(1);
    EXPECT_TRUE(LeftBehind().empty());
}

TEST_F(FlashWorkers, FastbootPackageWithTwoRawImages) {
    Reply(1, "SER7\tfastboot\n");
    const std::string package = Package("two.zip", {{"a.raw", "a"}, {"b.RAW", "b"}});
    SetJob("ZK550KL", false, package);
    RunFastboot(package);
    EXPECT_EQ(device->state, DEV_FAIL);
    EXPECT_EQ(LastRecord().text, L"Get .raw file position failure(Found two or more \"*.raw\" file(s))");
    EXPECT_EQ(LastRecord().code, ERR_FILE_SEARCH);
    EXPECT_EQ(Calls().size(), 1u);
    EXPECT_TRUE(LeftBehind().empty()) << "the unpacked directory is deleted";

    const std::string broken = (dir / "broken.zip").string();
    WriteFile(broken, "no zip");
    fs::remove(dir / "Google" / "calls.log");
    device->state = DEV_CONNECTED;
    RunFastboot(broken);
    EXPECT_EQ(LastRecord().code, ERR_ZIP_OPEN);
}

TEST_F(FlashWorkers, FastbootEraseCommandOfTheModel) {
    const struct {
        const char* model;
        bool wipe;
        std::vector<std::string> erase;  // the calls between flash and adb enable
        std::string eraseReply;          // reply to the first erase call
    } cases[] = {
        {"ZK550KL", false, {}, ""},
        {"ZK550KL", true, {"-s SER7 erase data"}, ""},
        {"ZK620KL", true, {"-s SER7 -w"}, ""},
        {"ZK612ML", true, {"-s SER7 erase userdata"}, ""},
        {"ZK612ML", true, {"-s SER7 erase userdata", "-s SER7 -w"}, "FAILED (remote: unknown partition)\n"},
    };
    const wxString raw = (dir / "image.raw").string();
    for (const auto& entry : cases) {
        SCOPED_TRACE(std::string(entry.model) + (entry.wipe ? " wipe" : "") + entry.eraseReply);
        for (const auto& file : fs::directory_iterator(dir / "Google"))
            if (file.path().filename() != "fastboot3")
                fs::remove(file.path());
        Reply(1, "SER7\tfastboot\n");
        Reply(3, entry.eraseReply);
        device->state = DEV_CONNECTED;
        SetJob(entry.model, entry.wipe, raw);
        RunFastboot(raw);
        EXPECT_EQ(device->state, DEV_PASS);
        const auto calls = Calls();
        ASSERT_EQ(calls.size(), 4 + entry.erase.size());
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 2, calls.end() - 2), entry.erase);
    }
}

TEST_F(FlashWorkers, FastbootFailuresAndTheirCodes) {
    const wxString raw = (dir / "image.raw").string();
    const struct {
        const char* what;
        std::vector<std::pair<int, std::string>> replies;
        const wchar_t* text;
        uint32_t code;
        size_t calls;
    } cases[] = {
        {"listed twice", {{1, "SER7\tfastboot\nSER7\tfastboot\n"}},
         L"Check the detected serial number failure(found two or more devices of \"SER7\")", ERR_DEVICE_AMBIGUOUS, 1},
        {"flash refused", {{1, "SER7\tfastboot\n"}, {2, "FAILED (remote: command not allowed)\r\n"}},
         L"Flash image failure(FAILED (remote: command not allowed))", 0, 2},
        {"erase fails whatever the call said", {{1, "SER7\tfastboot\n"}, {3, "erase: FAILED (x)\n"}},
         L"Erase data failure(FAILED (x))", ERR_ERASE_DATA, 3},
        {"adb enable fails", {{1, "SER7\tfastboot\n"}, {4, "error: oem\n"}}, L"Enable adb failure(error: oem)", 0, 4},
        {"reboot fails", {{1, "SER7\tfastboot\n"}, {5, "FAILED reboot\n"}}, L"Reboot failure(FAILED reboot)", 0, 5},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.what);
        for (const auto& file : fs::directory_iterator(dir / "Google"))
            if (file.path().filename() != "fastboot3")
                fs::remove(file.path());
        for (const auto& [call, text] : entry.replies)
            Reply(call, text);
        device->state = DEV_CONNECTED;
        SetJob("ZK550KL", true, raw);
        RunFastboot(raw);
        EXPECT_EQ(device->state, DEV_FAIL);
        EXPECT_EQ(LastRecord().text, entry.text);
        EXPECT_EQ(LastRecord().code, entry.code);
        EXPECT_EQ(Calls().size(), entry.calls) << "no step after the failure";
    }
}

TEST_F(FlashWorkers, FastbootWaitsForTheDeviceThroughItsListings) {
    plat::SetTimeScaleForTesting(200);
    Reply(1, "");
    Reply(2, "OTHER\tfastboot\n");
    Reply(3, "SER7\tfastboot\n");
    const wxString raw = (dir / "image.raw").string();
    station.settings.UploadResult = true;
    station.settings.Timeout.RebootTimeout = 4;
    SetJob("ZK550KL", false, raw);
    RunFastboot(raw);
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[2], "devices");
    EXPECT_EQ(LastRecord().text, L"Wait device failure(4 seconds timeout)");
    EXPECT_EQ(LastRecord().code, ERR_GENERAL);
    const auto texts = station.LogTexts();
    EXPECT_EQ(texts[texts.size() - 2], L"Wait device reboot ...");
}

// --- a fastboot that waits for its device ---

// The fastboot of a job waits for a device that is not there: fastboot3 (or the script's own
// fastboot) is tests/fixtures/fastboot/waiting_fastboot.sh. Every time-out of the settings is
// short, the image's size-based limit far longer.
class WaitingFastboot : public FlashWorkers {
protected:
    static constexpr uint32_t kTimeoutSeconds = 3;
    static constexpr uint64_t kTransferLimitMs = 128000;  // the image's bytes at the slowest rate

    void SetUp() override {
        FlashWorkers::SetUp();
        fs::remove(fastboot);
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "fastboot" / "waiting_fastboot.sh", fastboot);
        fs::permissions(fastboot, fs::perms::owner_all);
        WriteFile(dir / "Google" / "serial", serial.ToStdString() + "\n");
        // The station's own waits run fast; the tools' limits are real time.
        plat::SetTimeScaleForTesting(100);
        station.settings.Timeout = {kTimeoutSeconds, kTimeoutSeconds, kTimeoutSeconds, kTimeoutSeconds};
    }
    // The device comes after that many seconds; the flash then sends for that many.
    void ComesAfter(double waitSeconds, double sendSeconds) {
        WriteFile(dir / "Google" / "wait-seconds", std::to_string(waitSeconds));
        WriteFile(dir / "Google" / "send-seconds", std::to_string(sendSeconds));
    }
    std::string RawImage() {
        const fs::path raw = dir / "image.raw";
        WriteFile(raw, "");
        fs::resize_file(raw, kTransferLimitMs / 1000 * kKivSlowestTransferBytesPerSecond);
        return raw.string();
    }
    // Runs the worker; how long it took, in real milliseconds.
    uint64_t Timed(const std::function<void()>& run) {
        const uint64_t start = plat::RealNowMs();
        run();
        return plat::RealNowMs() - start;
    }
    // Every flash's process and process group are gone.
    bool FlashesGone() {
        std::istringstream in(ReadFile(dir / "Google" / "flashes.log"));
        pid_t pid = 0, group = 0;
        bool any = false;
        while (in >> pid >> group) {
            any = true;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!(kill(-group, 0) != 0 && errno == ESRCH && kill(pid, 0) != 0 && errno == ESRCH)) {
                if (std::chrono::steady_clock::now() > end)
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return any;
    }
    // Stopped near the wait limit, far below the image's limit.
    void ExpectStoppedAtTheWaitLimit(uint64_t tookMs) {
        EXPECT_GE(tookMs, kTimeoutSeconds * 1000);
        EXPECT_LT(tookMs, kTransferLimitMs / 3);
    }
};

TEST_F(WaitingFastboot, FastbootFlashOfAGoneDeviceFailsAfterRebootTimeout) {
    const std::string raw = RawImage();
    SetJob("ZK550KL", false, raw);
    const uint64_t took = Timed([&] { RunFastboot(raw); });
    EXPECT_EQ(device->state, DEV_FAIL);
    EXPECT_EQ(station.Row(serial).state, "Fail");
    EXPECT_EQ(LastRecord().text, L"Flash image failure(fastboot3 waited 3 seconds and was stopped)");
    EXPECT_EQ(LastRecord().code, plat::kWaitTimeout);
    ExpectStoppedAtTheWaitLimit(took);
    EXPECT_TRUE(FlashesGone()) << "the waiting fastboot was left running";
}

TEST_F(WaitingFastboot, FlashScriptWhoseFastbootWaitsFailsAfterRebootTimeout) {
    const std::string script = "'" + fastboot + "' -s \"$2\" flash all system.img\necho done\n";
    const std::string package = Package("p.zip", {{"flashall_KIV.cmd", script}});
    SetJob("ZK450CG", false, package);
    // The unpacked package's size counts: a file of the image's size goes with the script.
    const fs::path content = dir / "content-p.zip";
    WriteFile(content / "system.img", "");
    fs::resize_file(content / "system.img", kTransferLimitMs / 1000 * kKivSlowestTransferBytesPerSecond);
    ASSERT_EQ(std::system(("cd '" + content.string() + "' && zip -q -X '" + package + "' system.img").c_str()), 0);
    const uint64_t took = Timed([&] { RunScript(package); });
    EXPECT_EQ(device->state, DEV_FAIL);
    EXPECT_EQ(LastRecord().text, L"Run flash image script failure(flashall_KIV.cmd waited 3 seconds and was stopped)");
    EXPECT_EQ(LastRecord().code, plat::kWaitTimeout);
    ExpectStoppedAtTheWaitLimit(took);
    EXPECT_TRUE(FlashesGone()) << "the script's fastboot was left running";
    EXPECT_TRUE(LeftBehind().empty());
}

// A device that arrives while fastboot waits is flashed: the wait ends when the flash moves on, and
// the flash then has the time its image needs, longer than every time-out of the settings.
TEST_F(WaitingFastboot, FlashThatStartsAfterAWaitKeepsTheImagesLimit) {
    station.settings.Timeout = {5, 5, 5, 5};
    ComesAfter(2, 7);
    const std::string raw = RawImage();
    SetJob("ZK550KL", false, raw);
    const uint64_t took = Timed([&] { RunFastboot(raw); });
    EXPECT_EQ(device->state, DEV_PASS) << LastRecord().text;
    EXPECT_EQ(LastRecord().text, L"Flash image successfully (SER7)");
    EXPECT_GE(took, 9000u);
}

}  // namespace
