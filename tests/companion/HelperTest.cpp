// PhoneInfoTest's test builds for x86 and ARM (both under qemu-user) against a fake modem.
#include "HelperRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace companion_test;

namespace {

const char kImei[] = "352099001761481";

class Helper : public ::testing::TestWithParam<const HelperBuild*> {
protected:
    const HelperBuild& build() const { return *GetParam(); }
    bool x86() const { return std::string(build().name) == "x86"; }
    HelperResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) {
        return RunHelper(build(), work.path(), args, options);
    }
    WorkDir work;
};

std::string BuildName(const ::testing::TestParamInfo<const HelperBuild*>& info) {
    return info.param->name;
}

#define HELPER_SUITE(suite) \
    INSTANTIATE_TEST_SUITE_P(Builds, suite, ::testing::Values(&X86Build(), &ArmBuild()), BuildName)

// --- the IMEI read -----------------------------------------------------------------------

using HelperImei = Helper;
HELPER_SUITE(HelperImei);

TEST_P(HelperImei, ModemReplies) {
    struct Case {
        const char* what;
        std::vector<FakeModem::Step> reply;
        const char* output;
        int status;
    } cases[] = {
        {"15 digits", {{0, std::string("\r\n") + kImei + "\r\n\r\nOK\r\n"}}, "352099001761481\r\n", 0},
        {"ERROR", {{0, "\r\nERROR\r\n"}}, "13\r\n", 13},
        {"stored form", {{0, "\r\n+CNVM: 083A25900910674118\r\nOK\r\n"}}, "352099001761481\r\n", 0},
        {"plain value", {{0, "\r\n+CNVM: 352099001761481\r\nOK\r\n"}}, "352099001761481\r\n", 0},
        {"12 characters", {{0, "\r\n+CNVM: 0123456789AB\r\nOK\r\n"}}, "\r\n", 0},
        {"not found", {{0, "\r\nNV item not found\r\n"}}, "10\r\n", 10},
        {"split across polls",
         {{0, "\r\n3520990"}, {450, "01761481\r\n"}, {0, "OK\r\n"}}, "352099001761481\r\n", 0},
    };
    for (const Case& c : cases) {
        WorkDir dir;
        FakeModem modem(build(), dir.path(), c.reply);
        HelperResult r = RunHelper(build(), dir.path(), {"1", "0"});
        EXPECT_EQ(r.output, c.output) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(modem.Received(), build().command) << c.what;
    }
}

TEST_P(HelperImei, SilentModemTimesOutWithStatus99) {
    FakeModem modem(build(), work.path(), {});
    HelperResult r = Run({"1", "0"});
    EXPECT_EQ(r.output, "11\r\n");
    EXPECT_EQ(r.status, 99);
}

TEST_P(HelperImei, MissingChannel) {
    HelperResult r = Run({"1", "0", "!"});
    EXPECT_EQ(r.output,
              "[PhoneInfoTest] DEBUG MODE\r\n14\r\n[PhoneInfoTest][ERROR.14] Open Device Fail.\r\n");
    EXPECT_EQ(r.status, 14);
}

TEST_P(HelperImei, DebugModeShowsTextsAndReplyLines) {
    FakeModem modem(build(), work.path(), {{0, std::string("\r\n") + kImei + "\r\n\r\nOK\r\n"}});
    HelperResult r = Run({"1", "0", "!"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind("[PhoneInfoTest] DEBUG MODE\r\n", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("[PhoneInfoTest] Cmd_Parser[0]: 352099001761481\n"), std::string::npos);
    EXPECT_NE(r.output.find("[PhoneInfoTest] Cmd_Parser[1]: OK\n"), std::string::npos);
    EXPECT_NE(r.output.find("\n352099001761481\r\n[PhoneInfoTest] IMEI:352099001761481 \r\n"),
              std::string::npos)
        << r.output;
}

TEST_P(HelperImei, DebugTextsOfErrorAndLengthReplies) {
    struct Case {
        const char* reply;
        const char* tail;
    } cases[] = {
        {"\r\n+CME ERROR: 3\r\n",
         "[PhoneInfoTest][ERROR MSG] +CME ERROR: 3 \r\n13\r\n[PhoneInfoTest][ERROR.13] Unexpected Error\r\n"},
        {"\r\n+CNVM: 0123\r\n", "\r\n[PhoneInfoTest] IMEI Tranform Length Error\r\n"},
        {"\r\nnot found\r\n", "10\r\n[PhoneInfoTest][ERROR.10] Non Exist.\r\n"},
    };
    for (const Case& c : cases) {
        WorkDir dir;
        FakeModem modem(build(), dir.path(), {{0, c.reply}});
        HelperResult r = RunHelper(build(), dir.path(), {"1", "0", "!"});
        const std::string tail = c.tail;
        ASSERT_GE(r.output.size(), tail.size()) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
    }
}

// Descriptor 0 is a valid channel: a helper started without standard input gets it for the
// channel.
TEST(HelperX86, ChannelOnDescriptorZero) {
    WorkDir work;
    FakeModem modem(X86Build(), work.path(), {{0, std::string("\r\n") + kImei + "\r\n"}});
    RunOptions options;
    options.closeStdin = true;
    HelperResult r = RunHelper(X86Build(), work.path(), {"1", "0"}, options);
    EXPECT_EQ(r.output, "352099001761481\r\n");
    EXPECT_EQ(r.status, 0);
}

// --- the command line ----------------------------------------------------------------------

using HelperArguments = Helper;
HELPER_SUITE(HelperArguments);

TEST_P(HelperArguments, CodesOfRefusedCommandLines) {
    const std::string longest(128, '1'), tooLong(129, '1');
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, 1},
        {{"1"}, 1},
        {{"1", "1"}, 2},
        {{"3", "4"}, 2},
        {{"1", "1", "x"}, 40},
        {{"3", "2", "x"}, 40},
        {{"1", "1", longest.substr(1)}, 40},
        {{"1", "1", longest}, 25},
        {{tooLong, "0"}, 26},
        {{"1", tooLong}, 26},
        {{"1", "7"}, 5},
        {{"1", "2", "x"}, 5},  // a further WiFi address is asked only of item 3
        {{"0", "0x"}, 5},
        {{"5", "0"}, 4},
        {{"9", "0"}, 4},
        {{"01", "0"}, 4},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& a : c.args)
            what.append(1, '[').append(a, 0, 8).append(1, ']');
        WorkDir dir;
        FakeModem modem(build(), dir.path(), {{0, std::string(kImei) + "\r\n"}});
        HelperResult r = RunHelper(build(), dir.path(), c.args);
        EXPECT_EQ(r.output, std::to_string(c.code) + "\r\n") << what;
        EXPECT_EQ(r.status, c.code) << what;
        EXPECT_EQ(modem.Received(), "") << what << ": the channel was used";
    }
}

TEST_P(HelperArguments, DebugTextsFollowTheirCodes) {
    struct Case {
        std::vector<std::string> args;
        const char* output;
    } cases[] = {
        {{"1", "1", "x", "!"},
         "[PhoneInfoTest] DEBUG MODE\r\n40\r\n"
         "[PhoneInfoTest][ERROR.40] PhoneInfoTest APK not support write command.\r\n"},
        {{"1", "1", "!"},
         "[PhoneInfoTest] DEBUG MODE\r\n2\r\n"
         "[PhoneInfoTest][ERROR.02] Please Enter Command Para3 For Write data.\r\n"
         "[PhoneInfoTest][ERROR.02] Adb shell PhoneInfoTest Para1 Para2 [Para3]\r\n"},
        {{"5", "0", "!"},
         "[PhoneInfoTest] DEBUG MODE\r\n4\r\n[PhoneInfoTest][ERROR.04] Command Para1 Error.\r\n"
         "[PhoneInfoTest] Adb shell PhoneInfoTest Para1 Para2 [Para3]\r\n"},
        {{"1", "7", "!"},
         "[PhoneInfoTest] DEBUG MODE\r\n5\r\n[PhoneInfoTest][ERROR.05] Command Para2 Error.\r\n"
         "[PhoneInfoTest] Adb shell PhoneInfoTest Para1 Para2 [Para3]\r\n"},
        {{"1", "1", std::string(128, 'x'), "!"},
         "[PhoneInfoTest] DEBUG MODE\r\n25\r\n"
         "[PhoneInfoTest][ERROR.25] Write Data Length Too Long.\r\n"},
    };
    for (const Case& c : cases) {
        HelperResult r = Run(c.args);
        EXPECT_EQ(r.output, c.output) << c.args[0] << " " << c.args[1];
    }
}

TEST_P(HelperArguments, Version) {
    HelperResult r = Run({"version"});
    EXPECT_EQ(r.output, std::string("[PhoneInfoTest] Version 1.0 (") + build().name + ")\r\n");
    EXPECT_EQ(r.status, 0);
}

// --- the identity files --------------------------------------------------------------------

using HelperFiles = Helper;
HELPER_SUITE(HelperFiles);

TEST_P(HelperFiles, FirstWordOfEachFile) {
    struct Item {
        const char* para1;
        const char* file;
        int missingCode;
        bool x86Only;
    } items[] = {
        {"0", "SSN", 33, false},      {"4", "ISN", 36, false},      {"6", "COUNTRY", 39, false},
        {"7", "COLOR", 43, true},     {"8", "CUSTOMER", 46, true},
    };
    for (const Item& item : items) {
        HelperResult missing = Run({item.para1, "0"});
        const int code = item.x86Only && !x86() ? 4 : item.missingCode;
        EXPECT_EQ(missing.output, std::to_string(code) + "\r\n") << item.file;
        EXPECT_EQ(missing.status, code) << item.file;
        if (item.x86Only && !x86())
            continue;
        work.Write(std::string("data/zelkdata/") + item.file, "  K3X9-0042 second\nthird\n");
        HelperResult r = Run({item.para1, "0"});
        EXPECT_EQ(r.output, "K3X9-0042\r\n") << item.file;
        EXPECT_EQ(r.status, 0) << item.file;
    }
}

TEST_P(HelperFiles, DebugTextOfAnOpenedFile) {
    work.Write("data/zelkdata/SSN", "G1AZCY012345\n");
    HelperResult r = Run({"0", "0", "!"});
    EXPECT_EQ(r.output, "[PhoneInfoTest] DEBUG MODE\r\n[PhoneInfoTest] Open SSN file success.\r\n"
                        "G1AZCY012345\r\n");
}

TEST_P(HelperFiles, AnOverlongFirstWordIsCut) {
    work.Write("data/zelkdata/SSN", std::string(5000, 'S') + " x\n");
    HelperResult r = Run({"0", "0"});
    EXPECT_EQ(r.output, std::string(255, 'S') + "\r\n");
    EXPECT_EQ(r.status, 0);
}

TEST_P(HelperFiles, EmptyFileGivesAnEmptyValue) {
    work.Write("data/zelkdata/ISN", "");
    HelperResult r = Run({"4", "0"});
    EXPECT_EQ(r.output, "\r\n");
    EXPECT_EQ(r.status, 0);
}

TEST_P(HelperFiles, BluetoothAddress) {
    HelperResult missing = Run({"2", "0"});
    EXPECT_EQ(missing.output, "23\r\n");
    EXPECT_EQ(missing.status, 23);
    if (x86()) {
        work.Write("data/zelkdata/bd_addr.conf", "bd_addr=00:1a:7D:da:71:13\n");
    } else {
        // records: item id, length, data; item 1 is the address, least significant byte first
        work.Write("data/zelkdata/bt_nv.bin",
                   std::string("\x02\x01\x05\x01\x06\x13\x71\xda\x7d\x1a\x00", 11));
    }
    HelperResult r = Run({"2", "0"});
    EXPECT_EQ(r.output, "00:1A:7D:DA:71:13\r\n");
    EXPECT_EQ(r.status, 0);
}

TEST_P(HelperFiles, WifiAddresses) {
    auto write = [&](int count) {
        if (x86()) {
            std::string text;
            for (int i = 0; i < count; ++i)
                text += "00:11:22:33:44:5" + std::to_string(5 + i) + "\n";
            work.Write("data/zelkdata/mac.txt", text);
        } else {
            std::string bytes;
            for (int i = 0; i < count; ++i)
                bytes += std::string("\x00\x11\x22\x33\x44", 5) + static_cast<char>(0x55 + i);
            work.Write("data/zelkdata/wifi.nv", bytes);
        }
    };
    HelperResult missing = Run({"3", "0"});
    EXPECT_EQ(missing.output, "29\r\n");
    write(2);
    HelperResult two = Run({"3", "0", "!"});
    EXPECT_EQ(two.output, "[PhoneInfoTest] DEBUG MODE\r\n00:11:22:33:44:55\r\n00:11:22:33:44:56\r\n"
                          "31\r\n[PhoneInfoTest][ERROR.31] WIFI Mac3 Read Fail.\r\n");
    EXPECT_EQ(two.status, 31);
    write(4);
    HelperResult all = Run({"3", "0"});
    EXPECT_EQ(all.output, "00:11:22:33:44:55\r\n00:11:22:33:44:56\r\n00:11:22:33:44:57\r\n"
                          "00:11:22:33:44:58\r\n");
    EXPECT_EQ(all.status, 0);
}

}  // namespace
