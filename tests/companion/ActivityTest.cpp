// The activities' own classes (test builds: device files under the working directory), turned
// back into Java classes and run on the host against the framework stand-ins of host/.
#include "CompanionModels.h"
#include "HelperRun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace companion_test;

namespace {

const char kDataDir[] = "data/data/com.zelk.phoneinfo";

std::string PhoneInfoActivity(int id) {
    for (const CompanionModel& m : kCompanionModels)
        if (m.apkResourceId == id)
            return "com.zelk.phoneinfo.PhoneInfoAPK_" +
                   std::string(m.model, m.model + std::wcslen(m.model)) + "_Activity";
    return "";
}

HelperResult RunActivity(const WorkDir& work, const char* jar, const std::string& activity,
                         const std::vector<std::string>& settings = {}) {
    std::vector<std::string> argv{JAVA, "-Xshare:auto", "-XX:TieredStopAtLevel=1",
                                  "-Dhost.assets=assets", "-Dhost.properties=properties"};
    argv.insert(argv.end(), settings.begin(), settings.end());
    argv.insert(argv.end(), {"-cp", std::string(HOST_FRAMEWORK) + ":" + jar,
                             "android.app.HostRunner", activity});
    return RunProgram(argv, work.path());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// chmod runs as a child that the activity does not wait for (the station allows it 2 s); waited
// for here with room for a loaded machine.
bool BecomesExecutableForAll(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
        std::error_code ec;
        if ((fs::status(file, ec).permissions() & fs::perms::mask) == fs::perms::all)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

class PhoneInfoActivityRun : public ::testing::TestWithParam<int> {
protected:
    const char* jar() const { return GetParam() == 160 ? HOST_APK_160 : HOST_APK_165; }
    WorkDir work;
};

INSTANTIATE_TEST_SUITE_P(Companion, PhoneInfoActivityRun, ::testing::Values(160, 165),
                         [](const auto& info) { return "apk" + std::to_string(info.param); });

TEST_P(PhoneInfoActivityRun, PutsTheHelperInPlaceAndMakesItExecutable) {
    fs::create_directories(work.path() / "assets");
    fs::create_directories(work.path() / kDataDir);
    fs::copy_file(PHONEINFO_TEST_X86, work.path() / "assets/PhoneInfoTest");
    work.Write(std::string(kDataDir) + "/PhoneInfoTest", std::string(200000, 'o'));  // older, longer

    HelperResult r = RunActivity(work, jar(), PhoneInfoActivity(GetParam()));
    ASSERT_EQ(r.status, 0) << r.output;
    const fs::path helper = work.path() / kDataDir / "PhoneInfoTest";
    EXPECT_EQ(ReadFile(helper), ReadFile(PHONEINFO_TEST_X86));
    EXPECT_TRUE(BecomesExecutableForAll(helper));

    EXPECT_TRUE(Contains(r.output, "host: layout 0x7f030000\n")) << r.output;
    EXPECT_TRUE(Contains(r.output, "File name => PhoneInfoTest\n"));
    EXPECT_TRUE(Contains(
        r.output, "log I/Receiver: command = chmod 777 ./data/data/com.zelk.phoneinfo/PhoneInfoTest\n"));
    EXPECT_TRUE(Contains(r.output, "host: menu 0x7f040000\nhost: menu true\n"));
    EXPECT_TRUE(Contains(r.output, "text: "));

    const bool second = GetParam() == 165;
    EXPECT_EQ(Contains(r.output, "File name => ReadICCID\n"), second) << r.output;
    EXPECT_EQ(Contains(r.output, "log E/tag: assets/ReadICCID"), second);
    EXPECT_EQ(Contains(r.output, "log I/Receiver: command2 = chmod 777 "
                                 "./data/data/com.zelk.phoneinfo/ReadICCID\n"),
              second);
    EXPECT_EQ(Contains(r.output, "log E/"), second);
    EXPECT_FALSE(fs::exists(work.path() / kDataDir / "ReadICCID"));

    // what the station then runs
    HelperBuild copied = X86Build();
    const std::string copiedPath = helper.string();
    copied.program = copiedPath.c_str();
    HelperResult version = RunHelper(copied, work.path(), {"version"});
    EXPECT_EQ(version.output, "[PhoneInfoTest] Version 1.0 (x86)\r\n");
}

TEST_P(PhoneInfoActivityRun, FailedCopiesAreLoggedOnly) {
    struct Case {
        const char* what;
        bool asset;
        bool dataDir;
        const char* log;
    } cases[] = {
        {"no asset", false, true, "log E/tag: assets/PhoneInfoTest"},
        {"no data directory", true, false, "log E/tag: ./data/data/com.zelk.phoneinfo/PhoneInfoTest"},
    };
    for (const Case& c : cases) {
        WorkDir dir;
        fs::create_directories(dir.path() / "assets");
        if (c.asset)
            dir.Write("assets/PhoneInfoTest", "helper");
        if (c.dataDir)
            fs::create_directories(dir.path() / kDataDir);
        HelperResult r = RunActivity(dir, jar(), PhoneInfoActivity(GetParam()));
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.output;
        EXPECT_TRUE(Contains(r.output, c.log)) << c.what << "\n" << r.output;
        EXPECT_TRUE(Contains(r.output, "log I/Receiver: command = chmod 777 ")) << c.what;
        EXPECT_TRUE(Contains(r.output, "host: menu true")) << c.what;
        EXPECT_FALSE(fs::exists(dir.path() / kDataDir / "PhoneInfoTest")) << c.what;
    }
}

TEST(GetImeiActivityRun, PublishesTheDeviceId) {
    WorkDir work;
    for (int run = 0; run < 2; ++run) {
        HelperResult r = RunActivity(work, HOST_APK_167, "com.example.getimei.MainActivity",
                                     {"-Dhost.deviceId=352099001761481"});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, "host: layout 0x7f030000\nhost: view 0x7f040000\n"));
        const std::string text = "text: Device ID:352099001761481\nril.device_imei:352099001761481\n";
        EXPECT_EQ(r.output.substr(r.output.size() - std::min(r.output.size(), text.size())), text)
            << "run " << run;
        EXPECT_TRUE(Contains(ReadFile(work.path() / "properties"),
                             "ril.device_imei=352099001761481\n"));
    }
}

// A device without an id leaves the property as it was.
TEST(GetImeiActivityRun, NullDeviceIdIsNotPublished) {
    struct Case {
        const char* before;
        const char* text;
    } cases[] = {
        {"ril.device_imei=012345678901234\n",
         "text: Device ID:null\nril.device_imei:012345678901234\n"},
        {"", "text: Device ID:null\nril.device_imei:\n"},
    };
    for (const Case& c : cases) {
        WorkDir work;
        work.Write("properties", c.before);
        HelperResult r = RunActivity(work, HOST_APK_167, "com.example.getimei.MainActivity");
        ASSERT_EQ(r.status, 0) << r.output;
        const std::string text = c.text;
        EXPECT_EQ(r.output.substr(r.output.size() - std::min(r.output.size(), text.size())), text)
            << r.output;
        EXPECT_EQ(Contains(ReadFile(work.path() / "properties"), "ril.device_imei="), *c.before != 0);
    }
}

}  // namespace
