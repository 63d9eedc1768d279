#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>
#include <functional>
#include <vector>

#include "ZipTestSupport.h"
#include "Clock.h"
#include "CommandLineValues.h"
#include "FastbootCommands.h"
#include "KivLog.h"
#include "Paths.h"
#include "ProcessHelpers.h"
#include "Text.h"

using namespace ziptest;

namespace {

const wchar_t* const kSerial = L"SER123";

// Google/fastboot1 and Google/adb are the recording fake of the fixtures: each call is one line
// of calls.log (arguments ended by 0x1F); the reply is reply-N or reply.
class FastbootCommandsTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        google_ = dir_ / "Google";
        fs::create_directories(google_);
        for (const char* name : {"fastboot1", "adb"}) {
            fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", google_ / name);
            fs::permissions(google_ / name, fs::perms::owner_all);
        }
        exe_ = W((google_ / "fastboot1").string());
        plat::SetProgramDirForTesting(W(dir_.string()));
    }
    void TearDown() override
    {
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
        TempDirTest::TearDown();
    }
    void Reply(const std::string& text, int n = 0)
    {
        WriteFile(google_ / (n ? "reply-" + std::to_string(n) : std::string("reply")), text);
    }
    std::vector<std::string> Calls()
    {
        std::vector<std::string> calls;
        std::string all = ReadFile(google_ / "calls.log"), line;
        for (char c : all) {
            if (c == '\n') {
                calls.push_back(line);
                line.clear();
            } else {
                line += c == '\x1f' ? ' ' : c;
            }
        }
        return calls;
    }

    // Each call's arguments, as the program received them.
    std::vector<std::vector<std::string>> Argvs()
    {
        std::vector<std::vector<std::string>> calls;
        std::vector<std::string> argv;
        std::string arg;
        for (char c : ReadFile(google_ / "calls.log")) {
            if (c == '\n') {
                calls.push_back(argv);
                argv.clear();
            } else if (c == '\x1f') {
                argv.push_back(arg);
                arg.clear();
            } else {
                arg += c;
            }
        }
        return calls;
    }

    fs::path google_;
    std::wstring exe_;
};

using Wrapper = std::function<bool(const std::wstring& exe, int*, std::wstring*)>;
struct WrapperCase {
    const char* name;
    Wrapper run;
    std::string argv;   // arguments after argv[0], each followed by a blank
    bool exactCase;     // fails only on an upper-case "FAILED"
};

std::vector<WrapperCase> Wrappers()
{
    std::wstring dir;
    RYL::GetModuleDir(RYL::GetThisModule(), dir);
    const std::string recovery = plat::NarrowFromWide(dir) + "/images/recovery one.img";
    auto plain = [](bool (*f)(std::wstring, std::wstring, int*, std::wstring*)) {
        return [f](const std::wstring& exe, int* c, std::wstring* e) { return f(exe, kSerial, c, e); };
    };
    std::wstring version;
    return {
        {"EnableAdb", plain(FastbootEnableAdb), "-s SER123 oem adb_enable 1 ", false},
        {"EraseData", plain(FastbootEraseData), "-s SER123 erase data ", false},
        {"EraseUserdata", plain(FastbootEraseUserdata), "-s SER123 erase userdata ", false},
        {"FormatData", plain(FastbootFormatData), "-s SER123 format data ", false},
        {"FormatUserdata", plain(FastbootFormatUserdata), "-s SER123 format userdata ", false},
        {"Reboot", plain(FastbootReboot), "-s SER123 reboot ", false},
        {"RebootRecovery", plain(FastbootRebootRecovery), "-s SER123 oem reboot-recovery ", true},
        {"Wipe", plain(FastbootWipe), "-s SER123 -w ", false},
        {"FlashAll",
         [](const std::wstring& exe, int* c, std::wstring* e) {
             return FastbootFlashAll(exe, kSerial, L"/tmp/pkg dir/all.img", c, e);
         },
         "-s SER123 flash all /tmp/pkg dir/all.img ", false},
        {"FlashRecovery",
         [](const std::wstring& exe, int* c, std::wstring* e) {
             return FastbootFlashRecovery(exe, kSerial, L"images/recovery one.img", c, e);
         },
         "-s SER123 flash recovery " + recovery + " ", true},
        {"GetBuildVersion",
         [](const std::wstring& exe, int* c, std::wstring* e) {
             std::wstring v;
             return FastbootGetBuildVersion(exe, kSerial, &v, c, e);
         },
         "-s SER123 oem get_build_version ", false},
    };
}

}  // namespace

TEST_F(FastbootCommandsTest, WrappersSendTheirCommandLines)
{
    Reply("OKAY [  0.010s]\nFinished. Total time: 0.010s\n");
    for (const WrapperCase& w : Wrappers()) {
        fs::remove(google_ / "calls.log");
        int code = -1;
        std::wstring error;
        EXPECT_TRUE(w.run(exe_, &code, &error)) << w.name;
        EXPECT_EQ(code, 0) << w.name;
        ASSERT_EQ(Calls().size(), 1u) << w.name;
        EXPECT_EQ(Calls()[0], w.argv) << w.name;
        EXPECT_TRUE(w.run(exe_, nullptr, nullptr)) << w.name;
    }
}

// A serial that the device chose and an image path of the package reach fastboot as one argument
// each, byte for byte: an image named a" -w "b.raw must not wipe the device.
TEST_F(FastbootCommandsTest, AwkwardValuesReachFastbootAsOneArgumentEach)
{
    Reply("OKAY [  0.010s]\n");
    std::wstring dir;
    RYL::GetModuleDir(RYL::GetThisModule(), dir);
    using Words = std::vector<std::string>;
    using Plain = bool (*)(std::wstring, std::wstring, int*, std::wstring*);
    const std::pair<Plain, Words> plain[] = {
        {FastbootEnableAdb, {"oem", "adb_enable", "1"}},
        {FastbootEraseData, {"erase", "data"}},
        {FastbootEraseUserdata, {"erase", "userdata"}},
        {FastbootFormatData, {"format", "data"}},
        {FastbootFormatUserdata, {"format", "userdata"}},
        {FastbootReboot, {"reboot"}},
        {FastbootRebootRecovery, {"oem", "reboot-recovery"}},
        {FastbootWipe, {"-w"}},
    };
    for (const std::string& value : kCommandLineValues) {
        SCOPED_TRACE(value);
        const std::wstring v = plat::WideFromNarrow(value);
        std::vector<Words> expected;
        // The wrappers without a file share one runner: every one with the first value, one with each.
        for (const auto& [wrapper, words] : plain) {
            if (value != kCommandLineValues.front() && wrapper != FastbootReboot) continue;
            EXPECT_TRUE(wrapper(exe_, v, nullptr, nullptr));
            expected.push_back(Words{"-s", value});
            expected.back().insert(expected.back().end(), words.begin(), words.end());
        }
        EXPECT_TRUE(FastbootFlashAll(exe_, v, L"/tmp/images/" + v, nullptr, nullptr));
        expected.push_back({"-s", value, "flash", "all", "/tmp/images/" + value});
        EXPECT_TRUE(FastbootFlashAll(exe_, L"", v, nullptr, nullptr));
        expected.push_back({"flash", "all", value});
        EXPECT_TRUE(FastbootFlashRecovery(exe_, v, L"Extra/" + v, nullptr, nullptr));
        expected.push_back({"-s", value, "flash", "recovery", plat::NarrowFromWide(dir) + "/Extra/" + value});
        std::wstring version;
        EXPECT_TRUE(FastbootGetBuildVersion(exe_, v, &version, nullptr, nullptr));
        expected.push_back({"-s", value, "oem", "get_build_version"});
        EXPECT_EQ(Argvs(), expected);
        fs::remove(google_ / "calls.log");
    }
}

TEST_F(FastbootCommandsTest, WrappersJudgeTheReplyText)
{
    struct ReplyCase { std::string text; bool failsAnyCase; bool failsExactCase; std::wstring line; };
    const ReplyCase replies[] = {
        {"FAILED (remote: command not allowed)\r\nfinished. total time: 0.001s\r\n", true, true,
         L"FAILED (remote: command not allowed)"},
        {"fastboot: error: cannot load file\n", true, false, L"error: cannot load file"},
        {"failed\n", true, false, L"failed"},
        {"OKAY [  0.010s]\n", false, false, L""},
    };
    for (const ReplyCase& r : replies) {
        Reply(r.text);
        for (const WrapperCase& w : Wrappers()) {
            bool fails = w.exactCase ? r.failsExactCase : r.failsAnyCase;
            int code = -1;
            std::wstring error = L"before";
            EXPECT_EQ(w.run(exe_, &code, &error), !fails) << w.name << " " << r.text;
            if (!fails) continue;
            EXPECT_EQ(error, r.line) << w.name;
            EXPECT_EQ(code, std::string(w.name) == "GetBuildVersion" ? int(ERR_BUILD_VERSION) : 0) << w.name;
        }
    }
}

TEST_F(FastbootCommandsTest, BuildVersionAndRawRun)
{
    Reply("...\n(bootloader) 1.2.3.4\nOKAY [ 0.010s]\nfinished. total time: 0.010s\n");
    std::wstring version = L"old";
    EXPECT_TRUE(FastbootGetBuildVersion(exe_, kSerial, &version, nullptr, nullptr));
    EXPECT_EQ(version, L"1.2.3.4");

    std::wstring output, error;
    int code = -1;
    EXPECT_TRUE(FastbootRun(exe_, L"", L"devices", &output, &code, &error));
    EXPECT_EQ(Calls().back(), "devices ");
    EXPECT_EQ(output, L"...\n(bootloader) 1.2.3.4\nOKAY [ 0.010s]\nfinished. total time: 0.010s\n");
    EXPECT_EQ(code, 0);
    std::wstring success;
    if (RYL::GetSystemErrorText(0, success)) {
        EXPECT_EQ(error, success);
    }
}

TEST_F(FastbootCommandsTest, RunnerFailureKeepsItsCodeAndText)
{
    const std::wstring missing = W((dir_ / "no-such-fastboot").string());
    std::wstring expected;
    ASSERT_TRUE(RYL::GetSystemErrorText(2, expected));
    for (const WrapperCase& w : Wrappers()) {
        int code = -1;
        std::wstring error;
        EXPECT_FALSE(w.run(missing, &code, &error)) << w.name;
        EXPECT_EQ(code, 2) << w.name;
        EXPECT_EQ(error, expected) << w.name;
    }
}

// A fastboot that never answers (it waits for a device) is stopped at the limit: nothing of it is
// left to take the next device that enters fastboot.
TEST_F(FastbootCommandsTest, BuildVersionQueryIsCutAfterThreeSeconds)
{
    // The limit is real time, as on a child's every limit: this takes the three seconds.
    fs::path slow = google_ / "fastboot2";
    const fs::path pidFile = dir_ / "fastboot.pid";
    WriteFile(slow, "#!/bin/sh\necho '< waiting for SER123 >'\necho $$ > '" + pidFile.string() +
                        ".tmp'\nmv '" + pidFile.string() + ".tmp' '" + pidFile.string() + "'\nexec sleep 600\n");
    fs::permissions(slow, fs::perms::owner_all);
    std::wstring version = L"unchanged", error;
    int code = -1;
    EXPECT_FALSE(FastbootGetBuildVersion(W(slow.string()), kSerial, &version, &code, &error));
    EXPECT_EQ(code, 258);
    EXPECT_EQ(error, L"fastboot2 did not end within 3 seconds and was stopped");
    EXPECT_EQ(version, L"unchanged");

    pid_t pid = 0;
    for (int i = 0; i < 2000 && pid <= 0; ++i) {
        std::ifstream(pidFile) >> pid;
        if (pid <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(pid, 0);
    bool gone = false;
    for (int i = 0; i < 2000 && !gone; ++i) {
        gone = kill(pid, 0) != 0 && errno == ESRCH;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the fastboot process was left behind";
}

TEST_F(FastbootCommandsTest, WaitDevice)
{
    plat::SetTimeScaleForTesting(1000);  // the 10 s pauses take 10 ms
    struct Case {
        const char* what;
        std::vector<std::string> replies;  // per call; the last one stands for the rest
        bool ok;
        int code;
        std::wstring text;
        size_t calls;
    };
    const Case cases[] = {
        {"listed once", {"SER123\tfastboot\n"}, true, 0, L"", 1},
        {"a longer serial does not count", {"SER1234\tfastboot\nSER123\tfastboot\n"}, true, 0, L"", 1},
        {"offline counts", {"SER123\toffline\n"}, true, 0, L"", 1},
        {"listed twice", {"SER123\tfastboot\nSER123\tfastboot\n"}, false, int(ERR_DEVICE_AMBIGUOUS),
         L"found two or more devices of \"SER123\"", 1},
        {"shows up on the third attempt", {"", "OTHER\tfastboot\n", "SER123\tfastboot\n"}, true, 0, L"", 3},
        {"never shows up", {"OTHER\tfastboot\n"}, false, int(ERR_DEVICE_NOT_FOUND),
         L"not found the device of \"SER123\"", 7},
    };
    for (bool adb : {false, true}) {
        for (const Case& c : cases) {
            for (const auto& f : fs::directory_iterator(google_)) {
                if (f.path().filename().string().rfind("reply", 0) == 0 ||
                    f.path().filename() == "calls.log")
                    fs::remove(f.path());
            }
            for (size_t i = 0; i + 1 < c.replies.size(); ++i) Reply(c.replies[i], int(i + 1));
            Reply(c.replies.back());
            int code = 0;
            std::wstring error;
            bool ok = adb ? AdbWaitDevice(kSerial, &code, &error)
                          : FastbootWaitDevice(exe_, kSerial, &code, &error);
            EXPECT_EQ(ok, c.ok) << c.what << (adb ? " (adb)" : "");
            EXPECT_EQ(code, c.code) << c.what;
            if (!c.ok) {
                EXPECT_EQ(error, c.text) << c.what;
            }
            std::vector<std::string> calls = Calls();
            EXPECT_EQ(calls.size(), c.calls) << c.what;
            for (const std::string& call : calls) EXPECT_EQ(call, "devices ") << c.what;
        }
    }
}

TEST_F(FastbootCommandsTest, WaitCountsFailedRunsAsMisses)
{
    plat::SetTimeScaleForTesting(1000);
    int code = -1;
    std::wstring error;
    EXPECT_FALSE(FastbootWaitDevice(W((dir_ / "missing").string()), kSerial, &code, &error));
    EXPECT_EQ(code, 2);
    std::wstring expected;
    ASSERT_TRUE(RYL::GetSystemErrorText(2, expected));
    EXPECT_EQ(error, expected);
}
