#include "AdbReplies.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using RYL::AdbReplyCheck;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

struct ReplyCase {
    std::wstring reply;
    bool failed;
    std::wstring text;  // the failure text
};

void ExpectChecks(const std::vector<ReplyCase>& cases,
                  const std::function<AdbReplyCheck(const std::wstring&)>& check)
{
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE("reply: " + Narrow(c.reply));
        const AdbReplyCheck result = check(c.reply);
        EXPECT_EQ(result.failed, c.failed);
        EXPECT_EQ(result.text, c.failed ? c.text : L"");
    }
}

const wchar_t kNoDevice[] = L"adb: error: failed to get feature set: no devices/emulators found\n";

TEST(AdbReplies, Push)
{
    ExpectChecks(
        {
            {L"", false, L""},
            {L"1 KB/s (3 bytes in 0.001s)\r\n", false, L""},
            {L"f.txt: 1 file pushed, 0 skipped. 0.1 MB/s (3 bytes in 0.000s)\n", false, L""},
            {L"pkg: 3 files pushed, 0 skipped. 1.2 MB/s (300 bytes in 0.001s)\n", false, L""},
            {L"/tmp/a:b.txt: 1 file pushed, 0 skipped.\n", false, L""},
            {kNoDevice, true,
             L"ADB Error: adb: error: failed to get feature set: no devices/emulators found"},
            {L"failed to copy 'a' to '/b': Permission denied\r\n", true,
             L"ADB Error: failed to copy 'a' to '/b': Permission denied"},
            {L"protocol failure\r\n", true, L"ADB Error: protocol failure"},
            {L"protocol failure: x\n", true, L"ADB Error: protocol failure: x"},
            // The summary counts only as one whole line of the push form.
            {L"f.txt: 1 file pushed, 0 skipped.\nadb: error: x\n", true,
             L"ADB Error: f.txt: 1 file pushed, 0 skipped.;adb: error: x"},
            {L"f.txt: 1 file pulled, 0 skipped.\n", true,
             L"ADB Error: f.txt: 1 file pulled, 0 skipped."},
            {L"f.txt: some files pushed\n", true, L"ADB Error: f.txt: some files pushed"},
        },
        RYL::CheckPushReply);
}

TEST(AdbReplies, Pull)
{
    const std::wstring remote = L"/sdcard/x.txt";
    ExpectChecks(
        {
            {L"", false, L""},
            {L"12 KB/s (300 bytes in 0.020s)\r\n", false, L""},
            {L"/sdcard/x.txt: 1 file pulled, 0 skipped. 0.0 MB/s (3 bytes in 0.001s)\n", false,
             L""},
            {L"remote object '/sdcard/x.txt' does not exist\r\n", true,
             L"ADB Error: remote object '/sdcard/x.txt' does not exist"},
            {L"remote object '/sdcard/other' does not exist\r\n", false, L""},
            {L"protocol failure\n", true, L"ADB Error: protocol failure"},
            {L"adb: error: failed to stat remote object '/sdcard/x.txt': No such file\n", true,
             L"ADB Error: adb: error: failed to stat remote object '/sdcard/x.txt': No such "
             L"file"},
            {L"/sdcard/x.txt: 1 file pushed, 0 skipped.\n", true,
             L"ADB Error: /sdcard/x.txt: 1 file pushed, 0 skipped."},
        },
        [&](const std::wstring& reply) { return RYL::CheckPullReply(reply, remote); });
}

TEST(AdbReplies, Install)
{
    ExpectChecks(
        {
            {L"55 KB/s (100 bytes in 0.001s)\r\nSuccess\r\ndone\r\n", false, L""},
            {L"a\nFailure [INSTALL_FAILED_ALREADY_EXISTS]\nb\n", true,
             L"ADB Error: INSTALL_FAILED_ALREADY_EXISTS"},
            {L"a\nSomething else\nb\n", true, L"ADB Error: (unknown)"},
            {L"Success\n", true, L"ADB Error: (unknown)"},
            {L"a\nSuccess\n", true, L"ADB Error: (unknown)"},
            {L"", true, L"ADB Error: (unknown)"},
            // Current adb.
            {L"Performing Streamed Install\nSuccess\n", false, L""},
            {L"Performing Streamed Install\r\nSuccess\r\n", false, L""},
            {L"Performing Streamed Install\nadb: failed to install x.apk: Failure "
             L"[INSTALL_FAILED_OLDER_SDK: Requires newer sdk version #21]\n",
             true, L"ADB Error: INSTALL_FAILED_OLDER_SDK: Requires newer sdk version #21"},
            {L"Performing Streamed Install\nadb: failed to install x.apk: \n", true,
             L"ADB Error: (unknown)"},
            {L"Performing Streamed Install\n", true, L"ADB Error: (unknown)"},
            {L"error: no devices/emulators found\nPerforming Push Install\n" + std::wstring(kNoDevice),
             true, L"ADB Error: (unknown)"},
            // The push form takes exactly its three lines.
            {L"Performing Push Install\nSuccess\n", true, L"ADB Error: (unknown)"},
            {L"Performing Push Install\nf.apk: 1 file pushed, 0 skipped.\nSuccess\nmore\n", true,
             L"ADB Error: (unknown)"},
            {L"Performing Push Install\nadb: error: failed to copy 'f.apk'\nSuccess\n", true,
             L"ADB Error: (unknown)"},
            // A failure line before adb's own, as stderr overtakes the buffered stdout.
            {L"adb: failed to install x.apk: Failure [INSTALL_FAILED_INVALID_APK]\nPerforming "
             L"Streamed Install\nSuccess\n",
             true, L"ADB Error: INSTALL_FAILED_INVALID_APK"},
        },
        RYL::CheckInstallReply);
}

// What Debian's adb printed through a pipe for an install on a fake device, with and without the
// package manager's "cmd" (fixtures/adb/install/capture.sh).
TEST(AdbReplies, InstallRepliesCapturedFromAdb)
{
    const auto captured = [](const char* name) {
        std::ifstream file(std::string(ZELK_FIXTURES_DIR) + "/adb/install/" + name);
        std::stringstream text;
        text << file.rdbuf();
        const std::string bytes = text.str();
        EXPECT_FALSE(bytes.empty()) << name;
        return std::wstring(bytes.begin(), bytes.end());
    };
    ExpectChecks(
        {
            {captured("streamed_success.txt"), false, L""},
            {captured("streamed_failure.txt"), true, L"ADB Error: INSTALL_FAILED_VERSION_DOWNGRADE"},
            {captured("legacy_success.txt"), false, L""},
            {captured("legacy_failure.txt"), true, L"ADB Error: INSTALL_FAILED_VERSION_DOWNGRADE"},
        },
        RYL::CheckInstallReply);
}

TEST(AdbReplies, GetProp)
{
    ExpectChecks(
        {
            {L"", false, L""},
            {L"\r\n", false, L""},
            {L"KIV_1.0.3\r\n", false, L""},
            {L"error: device 'ZZ' not found\n", true, L"ADB Error: device 'ZZ' not found"},
            {L"error: no devices/emulators found\r\n", true,
             L"ADB Error: no devices/emulators found"},
            {L"my error: x\n", false, L""},
        },
        RYL::CheckGetPropReply);
}

TEST(AdbReplies, ShellWithoutOutput)
{
    ExpectChecks({{L"", false, L""}, {L"\n", true, L"(unknown)"}, {L"done", true, L"(unknown)"}},
                 [](const std::wstring& reply) {
                     return RYL::CheckShellReply(reply, L"/data/local/tmp/tool", false);
                 });
}

TEST(AdbReplies, ShellWithOutput)
{
    ExpectChecks(
        {
            {L"", true, L"(unknown)"},
            {L"IMEI: 123456789012345\r\n", false, L""},
            {L"/data/local/tmp/tool: not found\r\n", true, L"ADB Error: not found"},
            {L"/system/bin/sh: /data/local/tmp/tool: not found\n", false, L""},
            {L"Error opening port\r\nline two\r\n", true, L"Error opening port\r;line two"},
            {L"result: eRRor 5\n", true, L"result: eRRor 5"},
            {L"error: no devices/emulators found\n", true, L"error: no devices/emulators found"},
        },
        [](const std::wstring& reply) {
            return RYL::CheckShellReply(reply, L"/data/local/tmp/tool", true);
        });
}

TEST(AdbReplies, Sideload)
{
    ExpectChecks(
        {
            {L"Total xfer: 1.00x\n", false, L""},
            {L"serving: 'update.zip'  (~47%)    \rTotal xfer: 1.01x\r\n", false, L""},
            {L"total xfer: 1.00x\n", true, L"ADB Error: (unknown)"},
            {L"Total xfer:1.00x\n", true, L"ADB Error: (unknown)"},
            {L"adb: sideload connection failed: no devices/emulators found\n"
             L"adb: trying pre-KitKat sideload method...\n",
             true, L"ADB Error: (unknown)"},
        },
        RYL::CheckSideloadReply);
}

TEST(AdbReplies, AmStart)
{
    ExpectChecks(
        {
            {L"Starting: Intent { cmp=com.zelk.phoneinfo/.Main }\r\n", false, L""},
            {L"Starting: Intent { cmp=P/.Main }\r\nError type 3\r\nError: Activity class "
             L"{P/P.Main} does not exist.\r\n",
             true, L"ADB Error: Activity class {P/P.Main} does not exist."},
            // adb's own failures carry no braces.
            {L"error: device 'ZZ' not found\n", true, L"ADB Error: device 'ZZ' not found"},
            {L"error: no devices/emulators found\n", true,
             L"ADB Error: no devices/emulators found"},
        },
        RYL::CheckAmStartReply);
}

TEST(AdbReplies, StartServerNotice)
{
    struct NoticeCase {
        std::wstring reply;
        bool found;
        uint32_t port;
    };
    const NoticeCase cases[] = {
        {L"* daemon not running. starting it now on port 5037 *\r\n"
         L"* daemon started successfully *\r\n",
         true, 5037},
        // Only the notice up to the port decides.
        {L"* daemon not running. starting it now on port 5038 *\n", true, 5038},
        {L"* daemon not running; starting now at tcp:41234\n* daemon started successfully\n",
         true, 41234},
        {L"", false, 0},
        {L"cannot connect to daemon at tcp:5037: Connection refused\n", false, 0},
        {L"* daemon not running; starting now at tcp:localhost:5037\n", false, 0},
        {L"List of devices attached\n\n", false, 0},
    };
    for (const NoticeCase& c : cases) {
        SCOPED_TRACE("reply: " + Narrow(c.reply));
        uint32_t port = 7;
        EXPECT_EQ(RYL::ParseStartServerReply(c.reply, port), c.found);
        EXPECT_EQ(port, c.found ? c.port : 7u);
    }
}

TEST(AdbReplies, Trimming)
{
    EXPECT_EQ(RYL::TrimAdbText(L" \t\r\nfirst\r\nsecond\n\n "), L"first\r;second");
    EXPECT_EQ(RYL::TrimAdbText(L"\r\n"), L"");
    EXPECT_EQ(RYL::TrimLineEnds(L"\t\r\n value with blanks \r\n"), L" value with blanks ");
    EXPECT_EQ(RYL::TrimLineEnds(L"\r\n\t"), L"");
}

}  // namespace
