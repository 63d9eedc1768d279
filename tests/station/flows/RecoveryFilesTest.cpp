#include "KivRecoveryFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "AdbCommander.h"
#include "CommandLineValues.h"
#include "KivCheckRules.h"
#include "Paths.h"
#include "TestDir.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace {

TEST(RecoveryFiles, CommandTexts) {
    EXPECT_EQ(InstallCommandText(L"/data/media", L"/home/op/images/ZK 1.zip"),
              L"--update_package=/data/media/ZK 1.zip\n--show_text\n--remove_package\n");
    EXPECT_EQ(InstallCommandText(L"/data", L"C:\\images\\pkg.zip"),
              L"--update_package=/data/pkg.zip\n--show_text\n--remove_package\n");
    EXPECT_EQ(InstallCommandText(L"/data", L"pkg.zip"), L"--update_package=/data/pkg.zip\n--show_text\n--remove_package\n");
    EXPECT_EQ(SideloadCommandText(), L"--sideload\n");
    EXPECT_EQ(WipeCommandText(false), L"--wipe_data\n--adb_on\n");
    EXPECT_EQ(WipeCommandText(true), L"--full_fill\n--adb_on\n");
}

TEST(RecoveryFiles, RebootLines) {
    EXPECT_EQ(AdbRebootLine(L"SER1", true), L" -s SER1 reboot recovery");
    EXPECT_EQ(AdbRebootLine(L"", true), L" reboot recovery");
    EXPECT_EQ(AdbRebootLine(L"SER1", false), L" -s SER1 reboot");
    EXPECT_EQ(AdbRebootLine(L"", false), L" reboot");
}

// The whole adb lines that the workers build (reboots, the companion's uninstall) reach adb with
// the device's serial as one argument, byte for byte.
TEST(RecoveryFiles, AdbLinesKeepTheSerialWhole) {
    TestDir program;
    fs::create_directories(program / "Google");
    fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", program / "Google/adb");
    fs::permissions(program / "Google/adb", fs::perms::owner_all);
    plat::SetProgramDirForTesting(program.Wide());
    const auto calls = [&] {
        std::ifstream in(program / "Google/calls.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    for (const std::string& value : kCommandLineValues) {
        SCOPED_TRACE(value);
        const std::wstring serial = plat::WideFromNarrow(value);
        const std::wstring lines[] = {AdbRebootLine(serial, true), AdbRebootLine(serial, false),
                                      UninstallCommand(wxString(serial), "com.zelk.phoneinfo").ToStdWstring()};
        for (const std::wstring& line : lines) {
            std::wstring output;
            EXPECT_TRUE(RYL::CAdbCommander::RunAdb(line, L"", &output));
        }
        const std::string s = "-s\x1f" + value + "\x1f";
        EXPECT_EQ(calls(), s + "reboot\x1frecovery\x1f\n" + s + "reboot\x1f\n" + s +
                               "uninstall\x1f" "com.zelk.phoneinfo\x1f\n");
        fs::remove(program / "Google/calls.log");
    }
    plat::SetProgramDirForTesting(L"");
}

TEST(RecoveryFiles, LastInstallResults) {
    const struct {
        const wchar_t* text;
        InstallResult result;
    } cases[] = {
        {L"", InstallResult::NotYet},
        {L"/data/media/pkg.zip\n1\ntime_total: 120\n", InstallResult::Passed},
        {L"/data/media/pkg.zip\n0\nerror: 7\n", InstallResult::Failed},
        {L"/a.zip\n0\n/b.zip\n1\n", InstallResult::Passed},  // both: passed
        {L"1\n", InstallResult::Invalid},                       // no line before the result
        {L"/a.zip\n1", InstallResult::Invalid},
        {L"/a.zip\r\n1\r\n", InstallResult::Invalid},
        {L"garbage", InstallResult::Invalid},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLastInstall(c.text), c.result) << plat::NarrowFromWide(c.text);
}

TEST(RecoveryFiles, DecimalNumbers) {
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {{L"85\n", 85}, {L"  \t 20", 20}, {L"19%", 19}, {L"abc", 0}, {L"", 0},
                 {L"-5", -5},   {L"+7", 7},       {L"1 2", 1},  {L"99999999999999", 2147483647}};
    for (const auto& c : cases)
        EXPECT_EQ(ReadDecimal(c.text), c.value) << plat::NarrowFromWide(c.text);
}

TEST(RecoveryFiles, BatteryCapacity) {
    int capacity = -1;
    std::wstring error = L"untouched";
    EXPECT_TRUE(CheckBatteryCapacity(L"20\n", &capacity, &error));
    EXPECT_EQ(capacity, 20);
    EXPECT_EQ(error, L"untouched");
    EXPECT_TRUE(CheckBatteryCapacity(L"100", &capacity, &error));
    EXPECT_EQ(capacity, 100);

    EXPECT_FALSE(CheckBatteryCapacity(L"19\n", &capacity, &error));
    EXPECT_EQ(capacity, 19);
    EXPECT_EQ(error, L"Battery capacity(19) has to be greater than or equal to 20, please remove device and recharge.");
    EXPECT_FALSE(CheckBatteryCapacity(L"full", &capacity, &error));
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(error, L"Battery capacity(0) has to be greater than or equal to 20, please remove device and recharge.");
    EXPECT_FALSE(CheckBatteryCapacity(L"", &capacity, &error));
    EXPECT_EQ(error, L"Failed to getbatery capacity");
}

class CommandFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = (fs::path(ZELK_TEST_WORK_DIR) / "cmdfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TMPDIR");
        fs::remove_all(dir);
    }
    static std::string Bytes(const std::wstring& path) {
        std::ifstream in(plat::NarrowFromWide(path), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    fs::path dir;
};

TEST_F(CommandFileTest, WrittenOnceAsUtf8WithoutMarkAndForgottenWhenRemoved) {
    std::wstring file;
    std::wstring error = L"untouched";
    ASSERT_TRUE(GenerateCommandFile(file, L"SER1", L"--update_package=/data/media/\u00e9t\u00e9.zip\n", &error));
    EXPECT_EQ(fs::path(plat::NarrowFromWide(file)).parent_path(), dir);
    EXPECT_EQ(Bytes(file), "--update_package=/data/media/\xc3\xa9t\xc3\xa9.zip\n");

    const std::wstring first = file;
    ASSERT_TRUE(GenerateCommandFile(file, L"SER1", L"--sideload\n", &error));
    EXPECT_EQ(file, first) << "a second call writes nothing";
    EXPECT_EQ(Bytes(file), "--update_package=/data/media/\xc3\xa9t\xc3\xa9.zip\n");

    ASSERT_TRUE(RemoveCommandFile(file, &error));
    EXPECT_TRUE(file.empty());
    EXPECT_FALSE(fs::exists(plat::NarrowFromWide(first)));
    EXPECT_EQ(error, L"untouched");

    EXPECT_FALSE(RemoveCommandFile(file, &error)) << "nothing is left to remove";
    EXPECT_EQ(error, L"Remove the command file failure!");
}

TEST_F(CommandFileTest, LocalFilesInAMissingDirectory) {
    const std::wstring path = plat::WideFromNarrow((dir / "none" / "x").string());
    std::wstring text = L"untouched";
    EXPECT_FALSE(WriteTextFile(path, L"x"));
    EXPECT_FALSE(ReadTextFile(path, &text));
    EXPECT_EQ(text, L"untouched");
    EXPECT_TRUE(DeleteLocalFile(path)) << "a file that is not there counts as deleted";
}

}  // namespace

namespace {

// A write that does not reach the file is a failure, not only a file that cannot be made.
TEST_F(CommandFileTest, AWriteThatFailsIsAFailure) {
    EXPECT_FALSE(WriteTextFile(L"/dev/full", L"--wipe_data\n--adb_on\n"));
    EXPECT_TRUE(WriteTextFile(L"/dev/full", L"")) << "nothing to write, nothing lost";
    EXPECT_TRUE(WriteTextFile(L"/dev/null", L"--wipe_data\n"));
}

}  // namespace
