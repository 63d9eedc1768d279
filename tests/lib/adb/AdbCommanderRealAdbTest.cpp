// CAdbCommander against Debian's adb, with no device attached. Every test runs its own adb server
// on a port of its own (never the default one) and kills only that server.
#include "AdbCommander.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Clock.h"
#include "Errors.h"
#include "Paths.h"
#include "FakeServers.h"
#include "Text.h"

namespace {

namespace fs = std::filesystem;
using RYL::CAdbCommander;

const int kFailed = static_cast<int>(plat::kErrorInstallFailure);
const wchar_t kSerial[] = L"ZELKNODEVICE";

// A loopback port that nothing listens on at the moment.
uint16_t FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Listening(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Waits (a minute at most) until the port's listening state is as wanted.
bool WaitListening(uint16_t port, bool wanted)
{
    for (int i = 0; i < 1200; ++i) {
        if (Listening(port) == wanted) return true;
        usleep(50 * 1000);
    }
    return false;
}

bool StartsWith(const std::wstring& text, const std::wstring& start)
{
    return text.compare(0, start.size(), start) == 0;
}

class RealAdbTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (plat::SearchPathFor(L"adb").empty()) GTEST_SKIP() << "adb is not installed";
        port = FreePort();
        ASSERT_NE(port, 0);
        ASSERT_EQ(setenv("ANDROID_ADB_SERVER_PORT", std::to_string(port).c_str(), 1), 0);
        // A program directory without Google/adb: the client takes adb from the search path.
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = std::string(ZELK_TEST_WORK_DIR) + "/realadb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        plat::SetProgramDirForTesting(plat::WideFromNarrow(root.string()));
        plat::SetTimeScaleForTesting(1000);
    }

    void TearDown() override
    {
        // The server on this test's own port was started by this test.
        if (port != 0 && Listening(port)) CAdbCommander::RunAdb(L"kill-server", L"");
        unsetenv("ANDROID_ADB_SERVER_PORT");
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
        std::error_code ignored;
        if (!root.empty()) fs::remove_all(root, ignored);
    }

    uint16_t port = 0;
    fs::path root;
};

TEST_F(RealAdbTest, RestartOwnsTheServerAndJudgesNoDeviceReplies)
{
    ASSERT_STREQ(getenv("ANDROID_ADB_SERVER_PORT"), std::to_string(port).c_str());
    ASSERT_FALSE(Listening(port));
    CAdbCommander adb(nullptr, nullptr);
    ASSERT_TRUE(adb.Start(true));
    EXPECT_TRUE(adb.OwnsServer());
    EXPECT_EQ(adb.Port(), port);
    EXPECT_TRUE(WaitListening(port, true));

    const fs::path file = root / "update.apk";
    std::ofstream(file) << "not really a package";
    const std::wstring local = plat::WideFromNarrow(file.string());
    const std::wstring missing = L"ADB Error: no devices/emulators found";
    const std::wstring unknownSerial = L"device 'ZELKNODEVICE' not found";

    int code = 0;
    std::wstring text;
    std::wstring value = L"stale";
    EXPECT_FALSE(adb.GetProp(L"", L"ro.build.display.id", value, &code, &text));
    EXPECT_EQ(code, kFailed);
    EXPECT_EQ(text, missing);
    EXPECT_EQ(value, L"");

    struct Check {
        const char* name;
        bool result;
        std::wstring start;  // of the error text
        bool namesSerial;
    };
    std::wstring texts[8];
    int codes[8] = {};
    std::wstring output;
    const Check checks[] = {
        {"push", adb.Push(kSerial, local, L"/sdcard/update.apk", &codes[0], &texts[0]),
         L"ADB Error: ", true},
        {"pull", adb.Pull(kSerial, L"/sdcard/update.apk", local + L".back", &codes[1], &texts[1]),
         L"ADB Error: ", true},
        {"install", adb.Install(kSerial, local, true, &codes[2], &texts[2]),
         L"ADB Error: (unknown)", false},
        {"getprop", adb.GetProp(kSerial, L"ro.build.display.id", value, &codes[3], &texts[3]),
         L"ADB Error: " + unknownSerial, true},
        {"shell with output",
         adb.Shell(kSerial, L"PhoneInfoTest", L"", L"/data/local/tmp", &output, &codes[4],
                   &texts[4]),
         L"error: " + unknownSerial, true},
        {"shell", adb.Shell(kSerial, L"rm", L"-f x", L"/system/bin", nullptr, &codes[5], &texts[5]),
         L"(unknown)", false},
        {"sideload", adb.Sideload(kSerial, local, &codes[6], &texts[6]), L"ADB Error: (unknown)",
         false},
        {"am start", adb.AmStart(kSerial, L"com.example.getimei", L".MainActivity", &codes[7],
                                 &texts[7]),
         L"ADB Error: " + unknownSerial, true},
    };
    for (size_t i = 0; i < std::size(checks); ++i) {
        SCOPED_TRACE(checks[i].name);
        EXPECT_FALSE(checks[i].result);
        EXPECT_EQ(codes[i], kFailed);
        EXPECT_TRUE(StartsWith(texts[i], checks[i].start)) << plat::NarrowFromWide(texts[i]);
        if (checks[i].namesSerial) {
            EXPECT_NE(texts[i].find(unknownSerial), std::wstring::npos)
                << plat::NarrowFromWide(texts[i]);
        }
    }
    EXPECT_FALSE(adb.WaitForDevice(kSerial, 10, 2));

    EXPECT_TRUE(adb.Stop());
    EXPECT_FALSE(adb.OwnsServer());
    EXPECT_TRUE(WaitListening(port, false));
}

TEST_F(RealAdbTest, StartWithoutRestartLeavesTheServerRunning)
{
    ASSERT_STREQ(getenv("ANDROID_ADB_SERVER_PORT"), std::to_string(port).c_str());
    {
        CAdbCommander adb(nullptr, nullptr);
        ASSERT_TRUE(adb.Start(false));  // "devices" starts a server on this port when none runs
        EXPECT_FALSE(adb.OwnsServer());
    }
    EXPECT_TRUE(Listening(port));
}

// Debian's adb installs on a fake device reached over TCP, with the package manager's "cmd"
// (streamed) and without it (pushed, as on Android 6 and older); its two streams reach the client
// through one pipe.
TEST_F(RealAdbTest, InstallOnADeviceWithAndWithoutTheCmdFeature)
{
    const char kStreamed[] = "shell_v2,cmd,stat_v2";
    const wchar_t kDowngrade[] = L"ADB Error: INSTALL_FAILED_VERSION_DOWNGRADE";
    struct Case {
        const char* features;
        const char* reply;  // of the device's package installer (escapes read by the fake)
        bool ok;
        const wchar_t* text;
    } cases[] = {
        {"", "Success\\n", true, L""},
        {"", "\\tpkg: /data/local/tmp/Companion.apk\\nFailure [INSTALL_FAILED_VERSION_DOWNGRADE]\\n", false,
         kDowngrade},
        {kStreamed, "Success\\n", true, L""},
        {kStreamed, "Failure [INSTALL_FAILED_VERSION_DOWNGRADE]\\n", false, kDowngrade},
    };
    CAdbCommander adb(nullptr, nullptr);
    ASSERT_TRUE(adb.Start(true));
    const fs::path package = root / "Companion.apk";
    std::ofstream(package) << "PK not really a package";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.features) + " " + c.reply);
        fakes::ScriptServer device("../adb/fake_adbd.py", {"--features", c.features, "--reply", c.reply});
        ASSERT_TRUE(device.ok());
        const std::wstring serial = L"127.0.0.1:" + std::to_wstring(device.port());
        std::wstring listing;
        ASSERT_TRUE(CAdbCommander::RunAdb(L"connect %s", serial, &listing));
        bool online = false;
        for (int i = 0; i < 200 && !online; ++i) {
            CAdbCommander::RunAdb(L"devices", L"", &listing);
            online = listing.find(serial + L"\tdevice") != std::wstring::npos;
            if (!online) usleep(50 * 1000);
        }
        ASSERT_TRUE(online) << plat::NarrowFromWide(listing);
        int code = 0;
        std::wstring text;
        EXPECT_EQ(adb.Install(serial, plat::WideFromNarrow(package.string()), true, &code, &text), c.ok);
        if (!c.ok) {
            EXPECT_EQ(code, kFailed);
            EXPECT_EQ(text, c.text);
        }
        CAdbCommander::RunAdb(L"disconnect %s", serial, &listing);
    }
}

}  // namespace
