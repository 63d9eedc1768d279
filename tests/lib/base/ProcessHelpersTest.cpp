#include "ProcessHelpers.h"

#include "Clock.h"
#include "Errors.h"
#include "Paths.h"
#include "Process.h"
#include "Text.h"

#include <gtest/gtest.h>

#include "TestDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::wstring kProc = plat::WideFromNarrow(std::string(ZELK_FIXTURES_DIR) + "/proc/");

pid_t WaitForPid(const std::string& file) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(file);
        pid_t pid = 0;
        if (in >> pid && pid > 0) return pid;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

}  // namespace

TEST(RunProcessCapture, OutputBecomesOneCharacterPerByte) {
    std::wstring out = L"old";
    int code = -1;
    ASSERT_TRUE(RYL::RunProcessCapture(kProc + L"bytes.sh", out, L"", RYL::SW_HIDE, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, std::wstring(L"a\u00e9\0b", 4));

    ASSERT_TRUE(RYL::RunProcessCapture(L"/bin/true", out, L"", RYL::SW_HIDE, &code));
    EXPECT_EQ(out, L"");
    ASSERT_TRUE(RYL::RunProcessCapture(kProc + L"fails.sh", out, L"", RYL::SW_HIDE, &code));
    EXPECT_EQ(out, L"error: device not found\n");
    EXPECT_EQ(code, 0);
}

TEST(RunProcessCapture, ArgumentsAreSplitAndTheWorkingDirectoryUsed) {
    std::wstring out;
    ASSERT_TRUE(RYL::RunProcessCapture(kProc + L"args.sh", out, L" -s \"AB 12\" push x", RYL::SW_HIDE));
    EXPECT_EQ(out, L"[-s][AB 12][push][x]");
    ASSERT_TRUE(RYL::RunProcessCapture(kProc + L"args.sh", out, L"", RYL::SW_HIDE));
    EXPECT_EQ(out, L"");  // no arguments at all

    TestDir dir;
    std::wstring canonical = plat::WideFromNarrow(std::filesystem::canonical(dir.path()).string());
    ASSERT_TRUE(RYL::RunProcessCapture(L"/bin/pwd", out, L"-P", RYL::SW_HIDE, nullptr, dir.Wide().c_str()));
    EXPECT_EQ(out, canonical + L"\n");
}

TEST(RunProcessCapture, LargeOutputIsCut) {
    std::wstring out;
    ASSERT_TRUE(RYL::RunProcessCapture(kProc + L"big.sh", out, L"", RYL::SW_HIDE));
    EXPECT_EQ(out.size(), 102400u);
}

TEST(RunProcessCapture, FailuresKeepTheOutputAndSetTheCode) {
    TestDir dir;
    struct Case {
        std::wstring program;
        uint32_t code;
    } cases[] = {
        {L"", plat::kEFail},
        {dir.Wide() + L"/missing", plat::kErrorFileNotFound},
    };
    for (const Case& c : cases) {
        std::wstring out = L"kept";
        int code = 0;
        EXPECT_FALSE(RYL::RunProcessCapture(c.program, out, L"x", RYL::SW_HIDE, &code));
        EXPECT_EQ(static_cast<uint32_t>(code), c.code);
        EXPECT_EQ(out, L"kept");
        EXPECT_FALSE(RYL::RunProcessCapture(c.program, out, L"x", RYL::SW_HIDE));  // no code wanted
    }
}

TEST(RunProcessCapture, BuildVersionQueryIsLimitedToThreeSeconds) {
    TestDir dir;
    std::wstring out = L"kept";
    int code = 0;
    std::wstring pidFile = dir.Wide() + L"/pid";
    // The limit is real time, as on a child's every limit: this takes the three seconds.
    bool ok = RYL::RunProcessCapture(kProc + L"sleeper.sh", out, pidFile + L" 10 oem get_build_version",
                                     RYL::SW_HIDE, &code);
    // Other arguments are waited for without limit.
    int code2 = -1;
    bool ok2 = RYL::RunProcessCapture(kProc + L"sleeper.sh", out, dir.Wide() + L"/pid2 0.5 oem x",
                                      RYL::SW_HIDE, &code2);
    EXPECT_FALSE(ok);
    EXPECT_EQ(static_cast<uint32_t>(code), plat::kWaitTimeout);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(code2, 0);
    EXPECT_EQ(out, L"");
}

// Only the query itself is cut at three seconds, not a flash of an image whose path or a device
// whose serial holds the query's name.
TEST(RunProcessCapture, TimeLimitOfTheArguments) {
    plat::SetThreadTimeLimit(0);
    const std::pair<const wchar_t*, uint32_t> cases[] = {
        {L"-s SER1 oem get_build_version", 3000},
        {L"oem get_build_version", 3000},
        {L"-s get_build_version oem get_build_version", 3000},
        {L"-s get_build_version reboot", 0},
        {L"-s SER1 flash all \"/images/oem get_build_version\"", 0},
        {L"-s SER1 flash all /images/get_build_version.raw", 0},
        {L"-s SER1 oem get_build_version_x", 0},
        {L"", 0},
    };
    for (const auto& [arguments, limit] : cases)
        EXPECT_EQ(RYL::RunTimeLimitMs(arguments), limit) << plat::NarrowFromWide(arguments);
}

TEST(RunProcessCapture, StopFromAnotherThread) {
    TestDir dir;
    auto signal = std::make_shared<plat::StopSignal>();
    bool ok = true;
    int code = 0;
    std::thread worker([&] {
        plat::SetThreadStopSignal(signal);
        std::wstring out;
        ok = RYL::RunProcessCapture(kProc + L"sleeper.sh", out, dir.Wide() + L"/pid 30", RYL::SW_HIDE, &code);
    });
    ASSERT_GT(WaitForPid(dir.path() + "/pid"), 0);
    signal->RequestStop();
    worker.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(static_cast<uint32_t>(code), plat::kErrorCancelled);
}

TEST(ShellRun, WaitsNoWaitAndFailures) {
    TestDir dir;
    int code = -1;
    EXPECT_FALSE(RYL::ShellRun(L"", L"x", RYL::SW_HIDE, false, &code));
    EXPECT_EQ(static_cast<uint32_t>(code), plat::kEFail);

    // Waiting: the program has ended when the call returns.
    std::wstring pidFile = dir.Wide() + L"/pid";
    ASSERT_TRUE(RYL::ShellRun(kProc + L"sleeper.sh", pidFile + L" 0.2", RYL::SW_HIDE, false, &code));
    EXPECT_EQ(code, 0);
    pid_t pid = WaitForPid(dir.path() + "/pid");
    EXPECT_GT(pid, 0);
    EXPECT_NE(kill(pid, 0), 0);

    ASSERT_TRUE(RYL::ShellRun(kProc + L"sleeper.sh", dir.Wide() + L"/pid2 0.2", RYL::SW_HIDE, true, &code));
    EXPECT_EQ(code, 0);
    EXPECT_GT(WaitForPid(dir.path() + "/pid2"), 0);

    EXPECT_FALSE(RYL::ShellRun(dir.Wide() + L"/missing", L"", RYL::SW_HIDE, false, &code));
    EXPECT_EQ(static_cast<uint32_t>(code), plat::kErrorFileNotFound);
}

namespace {

// What the child prints while the calling process's stdout and stderr go to a file.
std::string PrintedByShellRun(int showCommand) {
    TestDir dir;
    const std::string file = dir.path() + "/printed";
    fflush(stdout);
    fflush(stderr);
    const int savedOut = dup(1), savedErr = dup(2);
    const int sink = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(sink, 1);
    dup2(sink, 2);
    close(sink);
    int code = -1;
    const bool ran = RYL::ShellRun(kProc + L"both.sh", L"", showCommand, false, &code);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    EXPECT_TRUE(ran);
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ShellRun, AHiddenChildPrintsNothing) {
    EXPECT_EQ(PrintedByShellRun(RYL::SW_HIDE), "");
    EXPECT_NE(PrintedByShellRun(RYL::SW_SHOWNORMAL), "");
}

TEST(ShellRun, BareNameIsFoundOnThePath) {
    TestDir dir;
    std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (std::string(ZELK_FIXTURES_DIR) + "/proc:" + old).c_str(), 1);
    int code = -1;
    bool ok = RYL::ShellRun(L"sleeper.sh", dir.Wide() + L"/pid 0", RYL::SW_HIDE, false, &code);
    setenv("PATH", old.c_str(), 1);
    EXPECT_TRUE(ok);
    EXPECT_GT(WaitForPid(dir.path() + "/pid"), 0);
}

TEST(OsClass, VersionTable) {
    struct Case {
        uint32_t major, minor, type;
        int cls;
    } cases[] = {
        {5, 0, 1, 1}, {5, 0, 3, 1}, {5, 1, 1, 2}, {5, 2, 1, 0}, {5, 2, 3, 0}, {6, 0, 1, 3},
        {6, 0, 2, 4}, {6, 0, 3, 4}, {6, 1, 3, 5}, {6, 1, 1, 6}, {6, 2, 1, 7}, {6, 2, 3, 8},
        {6, 3, 1, 0}, {10, 0, 1, 0}, {4, 0, 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RYL::OsClassFromVersion(c.major, c.minor, c.type), c.cls)
            << c.major << "." << c.minor << " type " << c.type;
    EXPECT_STREQ(RYL::ShellVerbForClass(RYL::OS_OTHER), L"open");
    EXPECT_STREQ(RYL::ShellVerbForClass(RYL::OS_WINDOWS_XP), L"open");
    EXPECT_STREQ(RYL::ShellVerbForClass(RYL::OS_WINDOWS_VISTA), L"runas");
    EXPECT_STREQ(RYL::ShellVerbForClass(RYL::OS_WINDOWS_SERVER_2012), L"runas");
}

TEST(OsClass, Query) {
    int cls = 5;
    EXPECT_TRUE(RYL::GetOsClass(cls));
    EXPECT_EQ(cls, RYL::OS_OTHER);
    RYL::SetOsVersionForTesting(6, 1, 1);
    EXPECT_TRUE(RYL::GetOsClass(cls));
    EXPECT_EQ(cls, RYL::OS_WINDOWS_7);
    RYL::SetOsVersionForTesting(6, 1, 1, true);
    EXPECT_FALSE(RYL::GetOsClass(cls));
    EXPECT_EQ(cls, 0);
    RYL::ResetOsVersionForTesting();
}

TEST(TextLookups, ShellErrorTable) {
    std::wstring a, b;
    ASSERT_TRUE(RYL::GetShellErrorText(7, a));
    ASSERT_TRUE(RYL::GetShellErrorText(9, b));
    EXPECT_EQ(a, b);
    ASSERT_TRUE(RYL::GetShellErrorText(0, a));
    EXPECT_EQ(a, L"The operating system is out of memory or resources.");
    ASSERT_TRUE(RYL::GetShellErrorText(24, a));
    EXPECT_EQ(a, L"Command line too long.");
    ASSERT_TRUE(RYL::GetShellErrorText(32, a));
    EXPECT_EQ(a, L"The specified dynamic-link library was not found.");
    for (unsigned code : {22u, 23u, 25u, 33u, 1000u}) {
        std::wstring t = L"kept";
        EXPECT_FALSE(RYL::GetShellErrorText(code, t)) << code;
        EXPECT_EQ(t, L"kept");
    }
    int count = 0;
    for (unsigned code = 0; code <= 32; ++code) count += RYL::GetShellErrorText(code, a);
    EXPECT_EQ(count, 30);
}

TEST(TextLookups, SystemAndModuleTexts) {
    std::wstring t;
    ASSERT_TRUE(RYL::GetSystemErrorText(2, t));
    EXPECT_EQ(t.substr(t.size() - 2), L"\r\n");
    ASSERT_TRUE(RYL::GetSystemErrorText(0, t));
    ASSERT_TRUE(RYL::GetModuleMessageText(L"wininet.dll", 12002, t));
    EXPECT_NE(t.find(L"timed out"), std::wstring::npos);
    t = L"kept";
    EXPECT_FALSE(RYL::GetModuleMessageText(L"", 12002, t));
    EXPECT_FALSE(RYL::GetSystemErrorText(0xDEADBEEF, t));
    EXPECT_EQ(t, L"kept");
}

TEST(Modules, ThisModuleAndItsDirectory) {
    RYL::ModuleHandle self = RYL::GetThisModule();
    ASSERT_NE(self, nullptr);
    std::wstring dir = L"kept";
    EXPECT_FALSE(RYL::GetModuleDir(nullptr, dir));
    EXPECT_EQ(dir, L"kept");
    ASSERT_TRUE(RYL::GetModuleDir(self, dir));
    std::wstring file = plat::ProgramFile();
    EXPECT_EQ(dir, file.substr(0, file.rfind(L'/')));
    plat::SetProgramDirForTesting(L"/opt/station/");
    EXPECT_TRUE(RYL::GetModuleDir(self, dir));
    EXPECT_EQ(dir, L"/opt/station");
    plat::SetProgramDirForTesting(L"");
}

TEST(IsSingleByteText, Cases) {
    EXPECT_FALSE(RYL::IsSingleByteText(L""));
    EXPECT_TRUE(RYL::IsSingleByteText(L"/sdcard/file.img"));
    EXPECT_TRUE(RYL::IsSingleByteText(L"caf\u00e9 \u4e2d"));  // UTF-8 has no lead bytes
    plat::SetDoubleByteCodePageForTesting(true);
    EXPECT_TRUE(RYL::IsSingleByteText(L"plain"));
    EXPECT_FALSE(RYL::IsSingleByteText(L"ab\u0081"));
    // Only the low 8 bits of each unit are tested.
    EXPECT_TRUE(RYL::IsSingleByteText(L"\u4e2d"));
    EXPECT_FALSE(RYL::IsSingleByteText(L"x\u4e81"));
    plat::SetDoubleByteCodePageForTesting(false);
}

TEST(LoadResourceBytes, BufferBoundsAndRefusals) {
    RYL::ModuleHandle self = RYL::GetThisModule();
    unsigned char buf[8];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160, L"APK", 3, buf), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160, L"APK", 2, buf), 0u);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160 + 0x10000, L"APK", 8, buf), 3u);  // low 16 bits
    EXPECT_EQ(RYL::LoadResourceBytes(self, 161, L"APK", 8, buf), 0u);            // empty
    EXPECT_EQ(RYL::LoadResourceBytes(self, 162, L"APK", 8, buf), 0u);
    EXPECT_EQ(RYL::LoadResourceBytes(nullptr, 160, L"APK", 8, buf), 0u);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 0, L"APK", 8, buf), 0u);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160, L"", 8, buf), 0u);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160, L"APK", 0, buf), 0u);
    EXPECT_EQ(RYL::LoadResourceBytes(self, 160, L"APK", 8, nullptr), 0u);
}

TEST(BytesToText, EveryByteIsOneCharacter) {
    EXPECT_EQ(RYL::BytesToText(nullptr, 5), L"");
    EXPECT_EQ(RYL::BytesToText("abc", 0), L"");
    EXPECT_EQ(RYL::BytesToText("abc", -1), L"");
    const unsigned char bytes[] = {0x41, 0x00, 0x80, 0xE9, 0xFF};
    EXPECT_EQ(RYL::BytesToText(bytes, 5), std::wstring(L"A\0\u0080\u00e9\u00ff", 5));
}

TEST(ContainsNoCase, Cases) {
    struct Case {
        const wchar_t* text;
        const wchar_t* part;
        bool found;
    } cases[] = {
        {L"adb: error: device offline", L"ERROR", true},
        {L"FAILED (remote: Error)", L"error", true},
        {L"eRrOr", L"ErRoR", true},
        {L"okay", L"error", false},
        {L"", L"error", false},
        {L"error", L"", false},
        {L"", L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(RYL::ContainsNoCase(c.text, c.part), c.found) << c.text;
}

TEST(WaitMilliseconds, ZeroReturnsAtOnceAndTheClockIsUsed) {
    RYL::WaitMilliseconds(0);
    plat::SetTimeScaleForTesting(1000);
    auto start = std::chrono::steady_clock::now();
    RYL::WaitMilliseconds(60000);  // 60 ms real
    auto took = std::chrono::steady_clock::now() - start;
    plat::SetTimeScaleForTesting(1);
    EXPECT_LT(took, 30s);
}
