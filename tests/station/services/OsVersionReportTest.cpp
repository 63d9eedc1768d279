// The OS-version report: its file, the shaping of versions, and the report after the flash against
// a fake adb and a scripted HTTPS server, run on the test's own thread (the GUI thread's path).
#include "KivOsVersionReport.h"

#include "TestDir.h"
#include "Clock.h"
#include "FakeServers.h"
#include "Internet.h"
#include "KivApp.h"
#include "KivDialogs.h"
#include "KivLog.h"
#include "KivSharedServices.h"
#include "LogStore.h"
#include "StationLog.h"
#include "Paths.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace {

TEST(OsVersionFormats, ConfigLines) {
    struct Case {
        const char* text;
        int enable;
        const char* host;
        const char* models;
    } cases[] = {
        {"1\nreport.invalid\nT11,A2,\n", 1, "report.invalid", "T11,A2,"},
        {"1\r\nreport.invalid\r\nT11,A2,\r\n", 1, "report.invalid", "T11,A2,\r"},  // CR LF lines
        {"1\nre\rport.invalid\r\r\n", 1, "report.invalid", ""},
        {"", 0, "", ""},
        {"0\nreport.invalid\nT11,", 0, "report.invalid", "T11,"},
        {"  +1x\n", 1, "", ""},
        {"2", 2, "", ""},
        {"-1\nh", -1, "h", ""},
        {"one\nh\nm,", 0, "h", "m,"},
        {"1,report.invalid,T11,", 1, "", ""},  // commas do not split
    };
    for (const Case& c : cases) {
        const OsVersionConfig config = ParseOsVersionConfig(c.text);
        EXPECT_EQ(config.enable, c.enable) << c.text;
        EXPECT_EQ(config.host, c.host) << c.text;
        EXPECT_EQ(config.models, c.models) << c.text;
    }
}

TEST(OsVersionFormats, ModelList) {
    EXPECT_TRUE(OsVersionModelListed("T11,A2,", "T11"));
    EXPECT_TRUE(OsVersionModelListed("T11,A2,", "A2"));
    EXPECT_TRUE(OsVersionModelListed("T11,", "11"));  // a substring will do
    EXPECT_FALSE(OsVersionModelListed("T11,", "T1"));
    EXPECT_FALSE(OsVersionModelListed("T11,", "t11"));
    EXPECT_FALSE(OsVersionModelListed("T11", "T11"));
    EXPECT_FALSE(OsVersionModelListed("", "T11"));
}

TEST(OsVersionFormats, BuildVersion) {
    const wxString long50 = "(bootloader) " + wxString('x', 60);
    struct Case {
        wxString text;
        bool found;
        wxString version;
    } cases[] = {
        {"1.2.3\n(bootloader) 4.5.6", true, "4.5.6"},
        {"V1\n(bootloader) V2\n(bootloader) V3", true, "V2\nV3"},
        {"V1\n(bootloader)\tV2", true, "(bootloader)V2"},  // tabs go first
        {long50, true, wxString('x', 50 - 13)},  // 50 characters taken, then the prefix removed
        // The single line whose prefix the fastboot layer has dropped.
        {"1.2.3.4", true, "1.2.3.4"},
        {"(BOOTLOADER) 1", true, "(BOOTLOADER) 1"},
        {"\t" + wxString('y', 60), true, wxString('y', 49)},
        {"", false, "untouched"},
        {" \t\r\n", false, "untouched"},
    };
    for (const Case& c : cases) {
        wxString version = "untouched";
        EXPECT_EQ(ShapeBuildVersion(c.text, &version), c.found) << c.text;
        EXPECT_EQ(version, c.version) << c.text;
    }
}

TEST(OsVersionFormats, CscVersion) {
    struct Case {
        const char* value;
        const char* version;
    } cases[] = {
        {"ZLK1CSC", "ZLK1CSC"},
        {"adb server is out of date.  killing...\r\n* daemon started successfully *\r\nZLK1CSC", "ZLK1CSC"},
        {"* daemon not running; starting now at tcp:5037\n* daemon started successfully\nZLK1CSC", "ZLK1CSC"},
        {"A\r\nB successfully", "AB successfully"},
        {"A\r\nB", "A\r\nB"},  // without the word the value stays whole
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShapeCscVersion(c.value), c.version) << c.value;
}

TEST(OsVersionFormats, UrlAndAnswer) {
    EXPECT_EQ(MakeOsVersionUrl("report.invalid", "SER&1", "V 1"),
              "https://report.invalid/remote/RemoteConnection?action=upload_os_ver&serial_no=SER%261&org_os_version=V%201");
    EXPECT_TRUE(OsVersionUploadAccepted(200, "SUCCESS"));
    EXPECT_TRUE(OsVersionUploadAccepted(200, "result: UNSUCCESSFUL"));  // anywhere, also inside a word
    EXPECT_FALSE(OsVersionUploadAccepted(200, "success"));
    EXPECT_FALSE(OsVersionUploadAccepted(500, "SUCCESS"));
}

const char kHost[] = "osver.zelk-service.invalid";
const char kVersionBox[] = "ZLK1CSC";

// The report after the flash with a fake adb as Google/adb of a test program directory, the
// report host on a scripted loopback server and a test directory as the current directory.
class OsVersionAfterFlash : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(work.path().empty());
        ASSERT_EQ(chdir(work.path().c_str()), 0);
        fs::create_directories(work / "Extra");
        fs::create_directories(program / "Google");
        fs::copy_file(fs::path(ZELK_FIXTURES_DIR) / "adb" / "fake_adb.sh", program / "Google/adb");
        fs::permissions(program / "Google/adb", fs::perms::owner_all);
        plat::SetProgramDirForTesting(plat::WideFromNarrow(program.path()));
        plat::SetTimeScaleForTesting(20);  // adb's 2.5 s waits (the internet client's limits are real time)
        AdbReply(1, "");  // kill-server
        AdbReply(2, "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n");
        AdbReply("List of devices attached\nSER1\tdevice\n\n");  // devices
        AdbReply(4, "ZLK1CSC\r\n");                               // getprop

        ASSERT_TRUE(server.ok());
        plat::SetConnectedStateForTesting(true);
        plat::RedirectHostForTesting(plat::WideFromNarrow(kHost), 443, server.port());
        plat::SetExtraCaFileForTesting(server.caFile());
        server.Reply(200, "SUCCESS");

        app = new KivApp;
        KivSetDialogHandlerForTesting([this](const KivDialogRequest& request) {
            boxes.push_back(request.message.ToStdString());
            EXPECT_EQ(request.style & wxOK, wxOK);
            KivDialogAnswer answer;
            answer.button = wxOK;
            return answer;
        });
    }
    void TearDown() override {
        KivSetDialogHandlerForTesting(nullptr);
        DeleteSharedAdbCommander();
        delete app;
        plat::SetProgramDirForTesting(L"");
        plat::SetTimeScaleForTesting(1);
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
    }

    void Config(const std::string& text) { std::ofstream(work / "Extra/Get_OS_version.txt", std::ios::binary) << text; }
    void AdbReply(const std::string& text) { std::ofstream(program / "Google/reply", std::ios::binary) << text; }
    void AdbReply(int call, const std::string& text) {
        std::ofstream(program / ("Google/reply-" + std::to_string(call)), std::ios::binary) << text;
    }
    // The shared client has started: later calls count from 1 again, without numbered replies.
    void ForgetAdbCalls() {
        fs::remove(program / "Google/calls.log");
        for (int i = 1; i <= 4; ++i)
            fs::remove(program / ("Google/reply-" + std::to_string(i)));
    }
    int AdbCalls() const {
        std::ifstream in(program / "Google/calls.log");
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    }

    // The records logged since the last call; every one of this report has the info level.
    std::vector<LoggedRecord> Records() {
        std::vector<LoggedRecord> records = LoggedRecords();
        app->logStore->Clear();
        for (const LoggedRecord& record : records)
            EXPECT_EQ(record.level, LOG_LEVEL_INFO) << record;
        return records;
    }

    TestDir work, program, serverDir;
    fakes::ReplyServer server{serverDir.path(), 0, {kHost}};  // the report checks the certificate fully
    KivApp* app = nullptr;
    std::vector<std::string> boxes;
};

const std::string kEnabled = std::string("1\r\n") + kHost + "\r\nT11,A2,\r\n";

TEST_F(OsVersionAfterFlash, ReportsTheCscVersion) {
    Config(kEnabled);
    server.Reply(200, "upload SUCCESS");
    EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1"));
    const auto records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text, L"[SER1] Getting OS version...");
    EXPECT_EQ(records[0].code, 0u);
    EXPECT_EQ(records[1].text, L"[SER1] Get the OS Version: ZLK1CSC");
    EXPECT_EQ(records[1].code, 0u);
    EXPECT_EQ(records[2].text, L"[SER1] Uploading OS Version...");
    EXPECT_EQ(records[2].code, 0x5016u);
    EXPECT_EQ(records[3].text, L"[SER1] Upload OS version to osver.zelk-service.invalid successfully");
    EXPECT_EQ(records[3].code, 0u);
    EXPECT_EQ(boxes, std::vector<std::string>{kVersionBox});
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{
                  "/remote/RemoteConnection?action=upload_os_ver&serial_no=SER1&org_os_version=ZLK1CSC"});
}

TEST_F(OsVersionAfterFlash, TheOldAdbBannerIsRemoved) {
    Config(kEnabled);
    AdbReply(4, "adb server is out of date.  killing...\r\n* daemon started successfully *\r\nZLK2CSC\r\n");
    EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1"));
    EXPECT_EQ(Records()[1].text, L"[SER1] Get the OS Version: ZLK2CSC");
    EXPECT_EQ(boxes, std::vector<std::string>{"ZLK2CSC"});
}

TEST_F(OsVersionAfterFlash, AByteOrderMarkDecidesTheEncoding) {
    std::string utf16 = "\xFF\xFE";
    for (char c : kEnabled)
        utf16 += std::string{c, '\0'};
    ASSERT_NE(GetSharedAdbCommander(), nullptr);
    for (const std::string& text : {"\xEF\xBB\xBF" + kEnabled, utf16}) {
        ForgetAdbCalls();
        AdbReply(2, "ZLK1CSC\r\n");
        Config(text);
        EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1"));
    }
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(boxes, (std::vector<std::string>{kVersionBox, kVersionBox}));
}

TEST_F(OsVersionAfterFlash, NothingHappensWhenTheFileSaysSo) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"disabled", std::string("0\n") + kHost + "\nT11,A2,\n"},
        {"empty", ""},
        {"model not listed", std::string("1\n") + kHost + "\nT11,B2,\n"},
        {"a longer code only", std::string("1\n") + kHost + "\nA22,\n"},
    };
    for (const Case& c : cases) {
        Config(c.text);
        EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1")) << c.name;
    }
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(AdbCalls(), 0);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(OsVersionAfterFlash, ABadFileIsRefusedWithABox) {
    const std::string content = "Get_OS_version.txt error, please check the file content";
    struct Case {
        const char* name;
        std::string text;  // empty: no file
        bool directory;
        std::string box;
    } cases[] = {
        {"no file", "", false, "Can't find Get_OS_version.txt, please check the file"},
        {"unreadable", "", true, content},
        {"flag 2", std::string("2\n") + kHost + "\nA2,\n", false, content},
        {"flag -1", std::string("-1\n") + kHost + "\nA2,\n", false, content},
    };
    for (const Case& c : cases) {
        fs::remove_all(work / "Extra/Get_OS_version.txt");
        if (c.directory)
            fs::create_directories(work / "Extra/Get_OS_version.txt");
        else if (!c.text.empty())
            Config(c.text);
        boxes.clear();
        EXPECT_FALSE(ReportOsVersionAfterFlash("A2", "SER1")) << c.name;
        EXPECT_EQ(boxes, std::vector<std::string>{c.box}) << c.name;
    }
    EXPECT_TRUE(Records().empty()) << "only a missing connection is logged";
}

TEST_F(OsVersionAfterFlash, NoConnection) {
    Config(kEnabled);
    plat::SetConnectedStateForTesting(false);
    EXPECT_FALSE(ReportOsVersionAfterFlash("A2", "SER1"));
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, L"[SER1] No Internet Connection");
    EXPECT_EQ(boxes, std::vector<std::string>{"No Internet Connection!! Please check it"});
    EXPECT_EQ(AdbCalls(), 0);
}

TEST_F(OsVersionAfterFlash, AVersionThatCannotBeReadIsNotReported) {
    Config(kEnabled);
    struct Case {
        const char* name;
        std::string devices;
        std::string getprop;
        std::wstring record;
    } cases[] = {
        {"never listed", "List of devices attached\nOTHER\tdevice\n\n", "",
         L"[SER1] Wait in to Android time out or can not find the device, Get OS version failed!!"},
        {"property read fails", "List of devices attached\nSER1\tdevice\n\n", "error: device 'SER1' not found\n",
         L"[SER1] Get OS version failed!!"},
    };
    ASSERT_NE(GetSharedAdbCommander(), nullptr);
    plat::SetTimeScaleForTesting(1000);  // 90 listings; nothing is uploaded
    for (const Case& c : cases) {
        ForgetAdbCalls();
        AdbReply(c.devices);
        AdbReply(2, c.getprop);  // once the device is listed, the second call reads the property
        EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1")) << c.name;
        const auto records = Records();
        ASSERT_EQ(records.size(), 2u) << c.name;
        EXPECT_EQ(records[1].text, c.record) << c.name;
        EXPECT_EQ(records[1].code, 0x5016u) << c.name;
    }
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(OsVersionAfterFlash, RefusedUploads) {
    fakes::RefusingPort refusing;
    struct Case {
        const char* name;
        int status;  // 0: the host cannot be reached
        std::string body;
        std::wstring record;
        std::vector<std::string> boxes;
    } cases[] = {
        {"body without the word", 200, "success", L"[SER1] Upload to osver.zelk-service.invalid failed!! Server response: success", {}},
        {"status 500", 500, "SUCCESS",
         L"[SER1] Unknown Server error!!  Upload OS version to osver.zelk-service.invalid failed!!",
         {"Unknown Server error!!  Upload OS version to osver.zelk-service.invalid failed!!"}},
        {"unreachable", 0, "",
         L"[SER1] Unknown Server error!!  Upload OS version to osver.zelk-service.invalid failed!!",
         {"Unknown Server error!!  Upload OS version to osver.zelk-service.invalid failed!!"}},
    };
    Config(kEnabled);
    ASSERT_NE(GetSharedAdbCommander(), nullptr);
    for (const Case& c : cases) {
        ForgetAdbCalls();
        AdbReply(2, "ZLK1CSC\r\n");
        if (c.status == 0)
            plat::RedirectHostForTesting(plat::WideFromNarrow(kHost), 443, refusing.port());
        else
            server.Reply(c.status, c.body);
        boxes.clear();
        EXPECT_TRUE(ReportOsVersionAfterFlash("A2", "SER1")) << c.name;
        const auto records = Records();
        ASSERT_EQ(records.size(), 4u) << c.name;
        EXPECT_EQ(records[3].text, c.record) << c.name;
        EXPECT_EQ(records[3].code, 0x6003u) << c.name;
        EXPECT_EQ(boxes, c.boxes) << c.name;
    }
}

}  // namespace
