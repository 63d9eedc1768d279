// Debian's fastboot against a fastboot-over-TCP device of the fixtures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "ZipTestSupport.h"
#include "FastbootCommands.h"
#include "Text.h"

using namespace ziptest;

namespace {

class RealFastbootTest : public TempDirTest {
protected:
    // Starts the device with these replies (a JSON object, see fake_device.py).
    void StartDevice(const std::string& replies)
    {
        WriteFile(dir_ / "replies.json", replies);
        std::string command = "/usr/bin/python3 " ZELK_FIXTURES_DIR "/fastboot/fake_device.py " +
                              Quote(dir_ / "replies.json") + " " + Quote(dir_ / "commands.log");
        device_ = popen(command.c_str(), "r");
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(std::fscanf(device_, "%d", &port_), 1);
        serial_ = L"tcp:127.0.0.1:" + std::to_wstring(port_);
    }
    void TearDown() override
    {
        if (device_) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) (void)!write(s, "STOP", 4);
            close(s);
            pclose(device_);
        }
        TempDirTest::TearDown();
    }
    std::string Commands() { return ReadFile(dir_ / "commands.log"); }

    const std::wstring exe_ = L"/usr/bin/fastboot";
    FILE* device_ = nullptr;
    int port_ = 0;
    std::wstring serial_;
};

}  // namespace

TEST_F(RealFastbootTest, BuildVersion)
{
    StartDevice(R"({"oem get_build_version": ["INFO1.2.3.4", "OKAY"]})");
    std::wstring version, error;
    int code = -1;
    ASSERT_TRUE(FastbootGetBuildVersion(exe_, serial_, &version, &code, &error)) << plat::NarrowFromWide(error);
    EXPECT_EQ(version, L"1.2.3.4");
    EXPECT_EQ(Commands(), "oem get_build_version\n");
}

TEST_F(RealFastbootTest, CommandsThatSucceed)
{
    StartDevice("{}");
    fs::path image = dir_ / "all image.img";
    WriteFile(image, std::string(5000, 'i'));
    int code = -1;
    std::wstring error;
    EXPECT_TRUE(FastbootEnableAdb(exe_, serial_, &code, &error)) << plat::NarrowFromWide(error);
    EXPECT_TRUE(FastbootEraseData(exe_, serial_, &code, &error)) << plat::NarrowFromWide(error);
    EXPECT_TRUE(FastbootFlashAll(exe_, serial_, W(image.string()), &code, &error)) << plat::NarrowFromWide(error);
    EXPECT_TRUE(FastbootRebootRecovery(exe_, serial_, &code, &error)) << plat::NarrowFromWide(error);
    EXPECT_TRUE(FastbootReboot(exe_, serial_, &code, &error)) << plat::NarrowFromWide(error);
    const std::string commands = Commands();
    for (const char* sent : {"oem adb_enable 1\n", "erase:data\n", "download:00001388\n", "flash:all\n",
                             "oem reboot-recovery\n", "reboot\n"}) {
        EXPECT_NE(commands.find(sent), std::string::npos) << sent << " in\n" << commands;
    }
}

TEST_F(RealFastbootTest, RemoteFailures)
{
    StartDevice(R"({"oem *": ["FAILcommand not allowed"], "erase:*": ["FAILpartition does not exist"]})");
    int code = -1;
    std::wstring error;
    EXPECT_FALSE(FastbootRebootRecovery(exe_, serial_, &code, &error));
    EXPECT_EQ(error, L"FAILED (remote: 'command not allowed')");
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(FastbootEraseData(exe_, serial_, &code, &error));
    EXPECT_EQ(error, L"FAILED (remote: 'partition does not exist')");
    std::wstring version = L"unchanged";
    EXPECT_FALSE(FastbootGetBuildVersion(exe_, serial_, &version, &code, &error));
    EXPECT_EQ(code, 0x5015);
    EXPECT_EQ(version, L"unchanged");
}
