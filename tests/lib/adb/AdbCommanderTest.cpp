// CAdbCommander against a fake adb placed as Google/adb in a test program directory.
#include "AdbCommander.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Clock.h"
#include "CommandLineValues.h"
#include "Errors.h"
#include "Paths.h"
#include "ReplyScan.h"
#include "Text.h"

namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;
using RYL::CAdbCommander;

constexpr int kUntouchedCode = 0xC0DE;
const std::wstring kUntouchedText = L"untouched";

std::string Narrow(const std::wstring& text) { return plat::NarrowFromWide(text); }

std::wstring SystemText(int code)
{
    std::wstring text;
    plat::SystemErrorText(static_cast<uint32_t>(code), text);
    return text;
}

// One device operation run against the fake: its reply, the expected result and the argv.
struct OperationCase {
    std::string name;
    std::function<bool(CAdbCommander&, int*, std::wstring*)> run;
    std::string reply;
    bool ok;
    int code;            // when failed
    std::wstring text;   // when failed
    Argv argv;           // without argv[0]; empty: adb must not run
};

class AdbCommanderTest : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = std::string(ZELK_TEST_WORK_DIR) + "/adb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        google = root / "Google";
        fs::create_directories(google);
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", google / "adb");
        fs::permissions(google / "adb", fs::perms::owner_all);
        plat::SetProgramDirForTesting(plat::WideFromNarrow(root.string()));
        plat::SetTimeScaleForTesting(1000);
    }

    void TearDown() override
    {
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
        plat::SetDoubleByteCodePageForTesting(false);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void WriteFile(const fs::path& path, const std::string& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    // The reply of every call, or of the call with that number (from 1).
    void Reply(const std::string& bytes) { WriteFile(google / "reply", bytes); }
    void Reply(int call, const std::string& bytes)
    {
        WriteFile(google / ("reply-" + std::to_string(call)), bytes);
    }
    void ExitStatus(int status) { WriteFile(google / "status", std::to_string(status)); }

    std::vector<Argv> Calls()
    {
        std::vector<Argv> calls;
        std::ifstream in(google / "calls.log", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            Argv argv;
            std::string arg;
            std::istringstream words(line);
            while (std::getline(words, arg, '\x1f')) argv.push_back(arg);
            calls.push_back(argv);
        }
        return calls;
    }
    // Forgets the calls so far and every reply.
    void ForgetCalls()
    {
        for (const fs::directory_entry& entry : fs::directory_iterator(google))
            if (entry.path().filename() != "adb") fs::remove(entry.path());
    }

    // A client started without a restart (one "devices" call, forgotten).
    std::unique_ptr<CAdbCommander> Started()
    {
        auto adb = std::make_unique<CAdbCommander>(nullptr, nullptr);
        Reply("List of devices attached\n\n");
        EXPECT_TRUE(adb->Start(false));
        ForgetCalls();
        return adb;
    }

    // Runs each case with its reply and checks result, code, text and the one adb call.
    void RunCases(CAdbCommander& adb, const std::vector<OperationCase>& cases)
    {
        for (const OperationCase& c : cases) {
            SCOPED_TRACE(c.name);
            Reply(c.reply);
            int code = kUntouchedCode;
            std::wstring text = kUntouchedText;
            EXPECT_EQ(c.run(adb, &code, &text), c.ok);
            EXPECT_EQ(code, c.ok ? kUntouchedCode : c.code);
            EXPECT_EQ(text, c.ok ? kUntouchedText : c.text);
            const std::vector<Argv> seen = Calls();
            if (c.argv.empty()) {
                EXPECT_TRUE(seen.empty());
            } else {
                ASSERT_EQ(seen.size(), 1u);
                EXPECT_EQ(seen[0], c.argv);
            }
            ForgetCalls();
        }
    }

    fs::path root;
    fs::path google;
};

const int kFailed = static_cast<int>(plat::kErrorInstallFailure);
const int kRefused = static_cast<int>(plat::kErrorInvalidParameter);

TEST_F(AdbCommanderTest, OperationsBeforeStartTouchNothing)
{
    CAdbCommander adb(nullptr, nullptr);
    int code = kUntouchedCode;
    std::wstring text = kUntouchedText;
    std::wstring value = L"value";
    std::wstring output = L"output";
    EXPECT_FALSE(adb.Push(L"", L"a", L"/b", &code, &text));
    EXPECT_FALSE(adb.Pull(L"", L"/b", L"a", &code, &text));
    EXPECT_FALSE(adb.Install(L"", L"a.apk", true, &code, &text));
    EXPECT_FALSE(adb.GetProp(L"", L"ro.x", value, &code, &text));
    EXPECT_FALSE(adb.Shell(L"", L"tool", L"", L"/data", &output, &code, &text));
    EXPECT_FALSE(adb.Sideload(L"", L"u.zip", &code, &text));
    EXPECT_FALSE(adb.AmStart(L"", L"p", L".Main", &code, &text));
    EXPECT_FALSE(adb.Push(L"", L"", L"", &code, &text));  // not even the arguments are checked
    EXPECT_EQ(code, kUntouchedCode);
    EXPECT_EQ(text, kUntouchedText);
    EXPECT_EQ(value, L"value");
    EXPECT_EQ(output, L"output");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(AdbCommanderTest, RefusedArgumentsGive87WithoutRunningAdb)
{
    auto adb = Started();
    plat::SetDoubleByteCodePageForTesting(true);
    const std::wstring leadByte = L"/tmp/caf\u00e9.txt";  // low byte 0xE9 leads in that code page
    const std::wstring refused = SystemText(kRefused);
    std::wstring value = L"value";
    std::wstring output = L"output";
    using A = CAdbCommander;
    using Run = std::function<bool(A&, int*, std::wstring*)>;
    const std::vector<std::pair<std::string, Run>> cases = {
        {"push, empty local", [](A& a, auto c, auto t) { return a.Push(L"", L"", L"/sdcard/x", c, t); }},
        {"push, empty remote", [](A& a, auto c, auto t) { return a.Push(L"", L"x", L"", c, t); }},
        {"push, lead byte in local",
         [&](A& a, auto c, auto t) { return a.Push(L"", leadByte, L"/sdcard/x", c, t); }},
        {"push, lead byte in remote",
         [&](A& a, auto c, auto t) { return a.Push(L"", L"x", leadByte, c, t); }},
        {"pull, empty remote", [](A& a, auto c, auto t) { return a.Pull(L"", L"", L"x", c, t); }},
        {"pull, lead byte in local",
         [&](A& a, auto c, auto t) { return a.Pull(L"", L"/sdcard/x", leadByte, c, t); }},
        {"install, empty path",
         [](A& a, auto c, auto t) { return a.Install(L"S", L"", false, c, t); }},
        {"getprop, empty name",
         [&](A& a, auto c, auto t) { return a.GetProp(L"S", L"", value, c, t); }},
        {"shell, empty program",
         [&](A& a, auto c, auto t) { return a.Shell(L"S", L"", L"-x", L"/data", &output, c, t); }},
        {"shell, empty directory",
         [&](A& a, auto c, auto t) { return a.Shell(L"S", L"tool", L"", L"", &output, c, t); }},
        {"sideload, empty path", [](A& a, auto c, auto t) { return a.Sideload(L"S", L"", c, t); }},
        {"am start, empty package",
         [](A& a, auto c, auto t) { return a.AmStart(L"S", L"", L".Main", c, t); }},
        {"am start, empty activity",
         [](A& a, auto c, auto t) { return a.AmStart(L"S", L"p", L"", c, t); }},
    };
    std::vector<OperationCase> expected;
    for (const auto& [name, run] : cases)
        expected.push_back({name, run, "", false, kRefused, refused, {}});
    RunCases(*adb, expected);
    // A refusal happens before the value and the output are emptied.
    EXPECT_EQ(value, L"value");
    EXPECT_EQ(output, L"output");
}

TEST_F(AdbCommanderTest, Push)
{
    auto adb = Started();
    using A = CAdbCommander;
    auto push = [](std::wstring serial) {
        return [serial](A& a, int* c, std::wstring* t) {
            return a.Push(serial, L"/tmp/local file.bin", L"/sdcard/remote.bin", c, t);
        };
    };
    const Argv plain = {"push", "/tmp/local file.bin", "/sdcard/remote.bin"};
    const Argv withSerial = {"-s", "KIV123", "push", "/tmp/local file.bin", "/sdcard/remote.bin"};
    RunCases(*adb, (std::vector<OperationCase>{
                       {"older success", push(L""), "1234 KB/s (5 bytes in 0.001s)\r\n", true, 0,
                        L"", plain},
                       {"current success", push(L"KIV123"),
                        "/tmp/local file.bin: 1 file pushed, 0 skipped. 0.1 MB/s (5 bytes in "
                        "0.000s)\n",
                        true, 0, L"", withSerial},
                       {"failure line", push(L"KIV123"),
                        "failed to copy 'a' to 'b': Read-only file system\r\n", false, kFailed,
                        L"ADB Error: failed to copy 'a' to 'b': Read-only file system",
                        withSerial},
                       {"protocol failure", push(L""), "protocol failure\r\n", false, kFailed,
                        L"ADB Error: protocol failure", plain},
                       {"no device", push(L"KIV123"), "error: device 'KIV123' not found\n", false,
                        kFailed, L"ADB Error: error: device 'KIV123' not found", withSerial},
                   }));
}

TEST_F(AdbCommanderTest, SerialIsTakenLiterally)
{
    auto adb = Started();
    Reply("");
    EXPECT_TRUE(adb->Push(L"AB%sCD%n%d", L"x", L"/y"));
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_EQ(Calls()[0], (Argv{"-s", "AB%sCD%n%d", "push", "x", "/y"}));
}

// Serials, paths and package files that a device or a package brings reach adb as one argument
// each, byte for byte.
TEST_F(AdbCommanderTest, AwkwardValuesReachAdbAsOneArgumentEach)
{
    auto adb = Started();
    for (const std::string& value : kCommandLineValues) {
        SCOPED_TRACE(value);
        const std::wstring v = plat::WideFromNarrow(value);
        const std::string remote = "/sdcard/" + value;
        const std::wstring wideRemote = plat::WideFromNarrow(remote);
        std::wstring text, output;
        struct Run {
            std::string reply;
            std::function<bool()> run;
            Argv argv;
        };
        const std::vector<Run> runs = {
            {"", [&] { return adb->Push(v, v, wideRemote); }, {"-s", value, "push", value, remote}},
            {"", [&] { return adb->Pull(v, wideRemote, v); }, {"-s", value, "pull", remote, value}},
            {"Performing Streamed Install\nSuccess\n\n", [&] { return adb->Install(v, v, true); },
             {"-s", value, "install", "-r", value}},
            {"Performing Streamed Install\nSuccess\n\n", [&] { return adb->Install(L"", v, false); },
             {"install", value}},
            {"Total xfer: 1.00x\n", [&] { return adb->Sideload(v, v); }, {"-s", value, "sideload", value}},
            {"x\n", [&] { return adb->GetProp(v, L"ro.build.display.id", text); },
             {"-s", value, "shell", "getprop ro.build.display.id"}},
            {"IMEI: 1\n", [&] { return adb->Shell(v, L"PhoneInfoTest", L"1 0", L"/data/data", &output); },
             {"-s", value, "shell", "'/data/data/PhoneInfoTest' 1 0"}},
            {"Starting\n", [&] { return adb->AmStart(v, L"com.zelk.phoneinfo", L".Main"); },
             {"-s", value, "shell", "am start -n com.zelk.phoneinfo/com.zelk.phoneinfo.Main"}},
        };
        for (const Run& r : runs) {
            Reply(r.reply);
            EXPECT_TRUE(r.run()) << r.argv[r.argv.size() > 2 ? 2 : 0];
            const std::vector<Argv> seen = Calls();
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], r.argv);
            ForgetCalls();
        }
    }
}

// What goes to the device's shell keeps its words there too.
TEST_F(AdbCommanderTest, DeviceShellWords)
{
    const std::pair<std::wstring, std::wstring> words[] = {
        {L"ro.build.display.id", L"ro.build.display.id"},
        {L"com.zelk.phoneinfo/com.zelk.phoneinfo.Main", L"com.zelk.phoneinfo/com.zelk.phoneinfo.Main"},
        {L"a b", L"'a b'"},
        {L"it's", L"'it'\\''s'"},
        {L"$(id);x", L"'$(id);x'"},
        {L"", L"''"},
    };
    for (const auto& [value, word] : words) EXPECT_EQ(RYL::DeviceShellWord(value), word) << Narrow(value);
    EXPECT_EQ(RYL::DeviceShellQuoted(L"/data/data"), L"'/data/data'");

    auto adb = Started();
    Reply("done\n");
    std::wstring output, value;
    EXPECT_TRUE(adb->Shell(L"", L"it's", L"1 0", L"/data/my dir", &output));
    EXPECT_TRUE(adb->GetProp(L"", L"a b;c", value));
    EXPECT_TRUE(adb->AmStart(L"", L"p q", L".Main"));
    EXPECT_EQ(Calls(), (std::vector<Argv>{{"shell", "'/data/my dir/it'\\''s' 1 0"},
                                          {"shell", "getprop 'a b;c'"},
                                          {"shell", "am start -n 'p q/p q.Main'"}}));
}

TEST_F(AdbCommanderTest, ExitStatusDoesNotDecide)
{
    auto adb = Started();
    ExitStatus(1);
    Reply("");
    EXPECT_TRUE(adb->Push(L"", L"x", L"/y"));
    std::wstring value;
    Reply("KIV_2.1\n");
    EXPECT_TRUE(adb->GetProp(L"", L"ro.build.display.id", value));
    EXPECT_EQ(value, L"KIV_2.1");
}

TEST_F(AdbCommanderTest, Pull)
{
    auto adb = Started();
    auto pull = [](CAdbCommander& a, int* c, std::wstring* t) {
        return a.Pull(L"S1", L"/cache/recovery/last_install", L"/tmp/last", c, t);
    };
    const Argv argv = {"-s", "S1", "pull", "/cache/recovery/last_install", "/tmp/last"};
    RunCases(*adb, (std::vector<OperationCase>{
                       {"older success", pull, "12 KB/s (30 bytes in 0.002s)\r\n", true, 0, L"",
                        argv},
                       {"current success", pull,
                        "/cache/recovery/last_install: 1 file pulled, 0 skipped. 0.0 MB/s (30 "
                        "bytes in 0.001s)\n",
                        true, 0, L"", argv},
                       {"remote missing", pull,
                        "remote object '/cache/recovery/last_install' does not exist\r\n", false,
                        kFailed,
                        L"ADB Error: remote object '/cache/recovery/last_install' does not exist",
                        argv},
                       {"other quoted path", pull, "remote object '/cache/x' unchanged\r\n", true,
                        0, L"", argv},
                       {"protocol failure", pull, "protocol failure\n", false, kFailed,
                        L"ADB Error: protocol failure", argv},
                   }));
}

TEST_F(AdbCommanderTest, Install)
{
    auto adb = Started();
    auto install = [](bool reinstall) {
        return [reinstall](CAdbCommander& a, int* c, std::wstring* t) {
            return a.Install(L"", L"/tmp/Get IMEI.apk", reinstall, c, t);
        };
    };
    const Argv again = {"install", "-r", "/tmp/Get IMEI.apk"};
    const Argv once = {"install", "/tmp/Get IMEI.apk"};
    RunCases(*adb, (std::vector<OperationCase>{
                       {"older success", install(true),
                        "900 KB/s (1000 bytes in 0.001s)\r\nSuccess\r\ndone\r\n", true, 0, L"",
                        again},
                       {"current success", install(false),
                        "Performing Streamed Install\nSuccess\n", true, 0, L"", once},
                       {"older failure", install(true),
                        "900 KB/s\r\nFailure [INSTALL_FAILED_ALREADY_EXISTS]\r\ndone\r\n", false,
                        kFailed, L"ADB Error: INSTALL_FAILED_ALREADY_EXISTS", again},
                       {"current failure", install(true),
                        "Performing Streamed Install\nadb: failed to install /tmp/Get IMEI.apk: "
                        "Failure [INSTALL_FAILED_OLDER_SDK: Requires newer sdk version]\n",
                        false, kFailed,
                        L"ADB Error: INSTALL_FAILED_OLDER_SDK: Requires newer sdk version", again},
                       {"one line", install(false), "Success\n", false, kFailed,
                        L"ADB Error: (unknown)", once},
                   }));
}

TEST_F(AdbCommanderTest, GetProp)
{
    auto adb = Started();
    std::wstring value;
    auto getprop = [&](CAdbCommander& a, int* c, std::wstring* t) {
        value = L"stale";
        return a.GetProp(L"", L"ro.build.display.id", value, c, t);
    };
    const Argv argv = {"shell", "getprop ro.build.display.id"};
    struct ValueCase {
        std::string reply;
        bool ok;
        std::wstring text;
        std::wstring value;
    };
    const ValueCase cases[] = {
        {"KIV_1.0.3 \r\n", true, L"", L"KIV_1.0.3 "},
        {"\r\n", true, L"", L""},  // a property that is not set
        {"error: device not found\r\n", false, L"ADB Error: device not found", L""},
    };
    for (const ValueCase& c : cases) {
        RunCases(*adb, (std::vector<OperationCase>{
                           {c.reply, getprop, c.reply, c.ok, kFailed, c.text, argv}}));
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(AdbCommanderTest, Shell)
{
    auto adb = Started();
    std::wstring output;
    auto shell = [&](std::wstring dir, std::wstring args, bool withOutput) {
        return [&output, dir, args, withOutput](CAdbCommander& a, int* c, std::wstring* t) {
            output = L"stale";
            return a.Shell(L"", L"PhoneInfoTest", args, dir, withOutput ? &output : nullptr, c, t);
        };
    };
    const Argv withArgs = {"shell", "'/data/local/tmp/PhoneInfoTest' -imei 1"};
    const Argv bare = {"shell", "'/data/local/tmp/PhoneInfoTest'"};
    RunCases(*adb, (std::vector<OperationCase>{
                       {"output", shell(L"/data/local/tmp", L"-imei 1", true), "IMEI: 3579\r\n",
                        true, 0, L"", withArgs},
                       {"trailing slash", shell(L"/data/local/tmp/", L"", true), "x\n", true, 0,
                        L"", bare},
                       {"printed nothing", shell(L"/data/local/tmp", L"", true), "", false,
                        kFailed, L"(unknown)", bare},
                       {"program's own complaint", shell(L"/data/local/tmp", L"", true),
                        "/data/local/tmp/PhoneInfoTest: not found\r\n", false, kFailed,
                        L"ADB Error: not found", bare},
                       {"error anywhere", shell(L"/data/local/tmp", L"", true),
                        "AT+CGSN\r\nERROR\r\n", false, kFailed, L"AT+CGSN\r;ERROR", bare},
                       {"no output wanted", shell(L"/data/local/tmp", L"", false), "", true, 0,
                        L"", bare},
                       {"no output wanted, printed", shell(L"/data/local/tmp", L"", false),
                        "hello\n", false, kFailed, L"(unknown)", bare},
                   }));
    // The output is emptied before the run and holds the reply exactly on success.
    Reply("IMEI: 3579\r\n");
    EXPECT_TRUE(adb->Shell(L"", L"PhoneInfoTest", L"", L"/data", &output));
    EXPECT_EQ(output, L"IMEI: 3579\r\n");
    Reply("");
    output = L"stale";
    EXPECT_FALSE(adb->Shell(L"", L"PhoneInfoTest", L"", L"/data", &output));
    EXPECT_EQ(output, L"");
}

TEST_F(AdbCommanderTest, SideloadAndAmStart)
{
    auto adb = Started();
    auto sideload = [](CAdbCommander& a, int* c, std::wstring* t) {
        return a.Sideload(L"S2", L"/tmp/update.zip", c, t);
    };
    auto amStart = [](std::wstring activity) {
        return [activity](CAdbCommander& a, int* c, std::wstring* t) {
            return a.AmStart(L"", L"com.zelk.phoneinfo", activity, c, t);
        };
    };
    const Argv sideArgv = {"-s", "S2", "sideload", "/tmp/update.zip"};
    const Argv relative = {"shell", "am start -n com.zelk.phoneinfo/com.zelk.phoneinfo.Main"};
    const Argv absolute = {"shell", "am start -n com.zelk.phoneinfo/org.other.Main"};
    RunCases(*adb, (std::vector<OperationCase>{
                       {"sideload done", sideload, "serving: 'update.zip'  (~99%)\rTotal xfer: 1.00x\n",
                        true, 0, L"", sideArgv},
                       {"sideload failed", sideload,
                        "adb: sideload connection failed: device 'S2' not found\n", false, kFailed,
                        L"ADB Error: (unknown)", sideArgv},
                       {"am start relative", amStart(L".Main"),
                        "Starting: Intent { cmp=com.zelk.phoneinfo/.Main }\r\n", true, 0, L"",
                        relative},
                       {"am start absolute", amStart(L"org.other.Main"),
                        "Starting: Intent { cmp=com.zelk.phoneinfo/org.other.Main }\r\n", true, 0,
                        L"", absolute},
                       {"am start refused", amStart(L".Main"),
                        "Starting: Intent { cmp=com.zelk.phoneinfo/.Main }\r\nError type 3\r\n"
                        "Error: Activity class {com.zelk.phoneinfo/com.zelk.phoneinfo.Main} does "
                        "not exist.\r\n",
                        false, kFailed,
                        L"ADB Error: Activity class {com.zelk.phoneinfo/com.zelk.phoneinfo.Main} "
                        L"does not exist.",
                        relative},
                       {"am start, no device", amStart(L".Main"),
                        "error: no devices/emulators found\n", false, kFailed,
                        L"ADB Error: no devices/emulators found", relative},
                   }));
}

TEST_F(AdbCommanderTest, LongReplyFieldIsCut)
{
    auto adb = Started();
    const std::string detail(70000, 'x');
    Reply("error: " + detail + "\n");
    std::wstring value;
    int code = 0;
    std::wstring text;
    EXPECT_FALSE(adb->GetProp(L"", L"ro.x", value, &code, &text));
    EXPECT_EQ(code, kFailed);
    EXPECT_EQ(text, L"ADB Error: " + std::wstring(RYL::kReplyFieldChars, L'x'));

    // A whole reply comes back as it was captured.
    const std::string big(90000, 'y');
    Reply(big);
    std::wstring output;
    EXPECT_TRUE(adb->Shell(L"", L"cat", L"", L"/data", &output));
    EXPECT_EQ(output.size(), big.size());
}

TEST_F(AdbCommanderTest, RunnerFailureKeepsItsCodeAndText)
{
    auto adb = Started();
    fs::permissions(google / "adb", fs::perms::owner_read | fs::perms::owner_write);
    int code = kUntouchedCode;
    std::wstring text = kUntouchedText;
    EXPECT_FALSE(adb->Push(L"", L"x", L"/y", &code, &text));
    EXPECT_NE(code, kUntouchedCode);
    EXPECT_NE(code, kFailed);
    EXPECT_NE(code, 0);
    EXPECT_EQ(text, SystemText(code));
}

TEST_F(AdbCommanderTest, RunAdbFormats)
{
    struct FormatCase {
        std::wstring format;
        std::wstring argument;
        std::wstring command;
    };
    const FormatCase cases[] = {
        {L" devices", L"", L" devices"},
        {L"devices %s", L"", L"devices"},
        {L"kill-server", L"", L"kill-server"},
        {L"reboot recovery", L"", L"reboot"},
        {L" -s 5%d reboot recovery", L"", L" -s 5%d reboot recovery"},
        {L"push %s", L"\"a%sb\" \"/c\"", L"push \"a%sb\" \"/c\""},
        {L"install -r \"%s\"", L"x.apk", L"install -r \"x.apk\""},
    };
    for (const FormatCase& c : cases)
        EXPECT_EQ(RYL::FormatAdbCommand(c.format, c.argument), c.command) << Narrow(c.format);
    EXPECT_EQ(RYL::DeviceAdbCommand(L"S%s", L"push %s", L"x"), L"-s S%s push x");
    EXPECT_EQ(RYL::DeviceAdbCommand(L"", L"push %s", L"x"), L"push x");

    Reply("List of devices attached\nKIV1\tdevice\n");
    std::wstring output;
    int code = kUntouchedCode;
    EXPECT_TRUE(CAdbCommander::RunAdb(L" devices", L"", &output, &code));
    EXPECT_EQ(output, L"List of devices attached\nKIV1\tdevice\n");
    EXPECT_EQ(code, 0);  // the runner's own code
    EXPECT_TRUE(CAdbCommander::RunAdb(L"uninstall %s", L"com.example.getimei"));
    EXPECT_TRUE(CAdbCommander::RunAdb(L"devices %s", L"", &output));
    EXPECT_FALSE(CAdbCommander::RunAdb(L"", L"x", &output));
    EXPECT_EQ(Calls(), (std::vector<Argv>{{"devices"}, {"uninstall", "com.example.getimei"},
                                          {"devices"}}));
}

TEST_F(AdbCommanderTest, StartWithoutRestartLeavesTheServerRunning)
{
    Reply("List of devices attached\n\n");
    {
        CAdbCommander adb(nullptr, nullptr);
        EXPECT_TRUE(adb.Start(false));
        EXPECT_TRUE(adb.IsStarted());
        EXPECT_FALSE(adb.OwnsServer());
        EXPECT_TRUE(adb.Start(false));  // already started: no second run
    }
    EXPECT_EQ(Calls(), (std::vector<Argv>{{"devices"}}));
}

TEST_F(AdbCommanderTest, StartWithRestart)
{
    struct StartCase {
        std::string notice;
        bool ok;
        uint32_t port;
    };
    const StartCase cases[] = {
        {"* daemon not running. starting it now on port 5037 *\r\n* daemon started successfully "
         "*\r\n",
         true, 5037},
        {"* daemon not running; starting now at tcp:40123\n* daemon started successfully\n", true,
         40123},
        {"", false, 0},  // a server was still running
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.notice);
        Reply(2, c.notice);
        {
            CAdbCommander adb(nullptr, nullptr);
            EXPECT_EQ(adb.Start(true), c.ok);
            EXPECT_EQ(adb.IsStarted(), c.ok);
            EXPECT_EQ(adb.OwnsServer(), c.ok);
            EXPECT_EQ(adb.Port(), c.port);
        }
        std::vector<Argv> expected = {{"kill-server"}, {"start-server"}};
        if (c.ok) expected.push_back({"kill-server"});  // the client stops what it started
        EXPECT_EQ(Calls(), expected);
        ForgetCalls();
    }
}

TEST_F(AdbCommanderTest, StopAfterRestartKillsTheServerOnce)
{
    Reply(2, "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n");
    CAdbCommander adb(nullptr, nullptr);
    ASSERT_TRUE(adb.Start(true));
    EXPECT_TRUE(adb.Stop());
    EXPECT_FALSE(adb.IsStarted());
    EXPECT_FALSE(adb.OwnsServer());
    EXPECT_TRUE(adb.Stop());
    EXPECT_EQ(Calls(), (std::vector<Argv>{{"kill-server"}, {"start-server"}, {"kill-server"}}));
}

TEST_F(AdbCommanderTest, WaitForDevice)
{
    CAdbCommander adb(nullptr, nullptr);
    Reply("List of devices attached\n\n");
    Reply(3, "List of devices attached\nZX1KIV9988\tdevice\n");
    EXPECT_TRUE(adb.WaitForDevice(L"KIV99", 2500, 90));  // part of a longer serial counts
    EXPECT_EQ(Calls().size(), 3u);
    ForgetCalls();
    EXPECT_FALSE(adb.WaitForDevice(L"KIV99", 2500, 0));  // still one attempt
    EXPECT_EQ(Calls(), (std::vector<Argv>{{"devices"}}));
    ForgetCalls();
    Reply("List of devices attached\n\n");
    EXPECT_FALSE(adb.WaitForDevice(L"KIV99", 10, 4));
    EXPECT_EQ(Calls().size(), 4u);
}

}  // namespace
