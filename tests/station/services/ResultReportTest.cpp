// The result reports against loopback fakes: the XML result log in a test directory, the FTP
// upload to pyftpdlib and the Tavio report to a scripted HTTPS server.
#include "KivResultReport.h"

#include "ProbeRedirect.h"
#include "StrictXml.h"
#include "TestDir.h"
#include "AwkwardValues.h"
#include "TextPattern.h"
#include "XmlValueShapes.h"
#include "Clock.h"
#include "FakeServers.h"
#include "Internet.h"
#include "InternetAgent.h"
#include "KivDevice.h"
#include "KivDeviceWorker.h"
#include "KivImageCheck.h"
#include "KivSharedServices.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <wx/filefn.h>
#include <wx/init.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> Files(const std::string& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// "%Y%m%d%H%M%S" of a wall-clock second, local time.
std::string Stamp(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

const char kLogText[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<REFLASH>\n"
    "<UNIT>\n"
    "<SSN>LIST&amp;KEY</SSN>\n"
    "<ESN>35&lt;9&gt;</ESN>\n"
    "<TIMESTAMP>20240102030405</TIMESTAMP>\n"
    "<RESULT>PASS</RESULT>\n"
    "<WIPEDATA>SUCCESS</WIPEDATA>\n"
    "<SOFTWARE_NAME>Zelk Flash Tool 1.0.0.24</SOFTWARE_NAME>\n"
    "<SOFTWARE_VER>V1.2 \"b\" 'c'</SOFTWARE_VER>\n"
    "<OEM_NAME>ZELK</OEM_NAME>\n"
    "</UNIT>\n"
    "</REFLASH>\n";

TEST(ResultReportFormats, XmlLogTextAndPath) {
    EXPECT_EQ(MakeXmlLogText("LIST&KEY", "35<9>", "20240102030405", "V1.2 \"b\" 'c'"), kLogText);
    EXPECT_EQ(MakeXmlLogPath("/results", "351234567890123", "20240102030405"),
              "/results/ZELK_351234567890123_20240102030405");
    EXPECT_EQ(MakeXmlLogPath("/results", "", "20240102030405"), "/results/ZELK__20240102030405");
    // Names of later tries, for a log whose earlier names are taken.
    EXPECT_EQ(MakeXmlLogPath("/results", "35", "20240102030405", 1), "/results/ZELK_35_20240102030405");
    EXPECT_EQ(MakeXmlLogPath("/results", "35", "20240102030405", 2), "/results/ZELK_35_20240102030405_2");
    EXPECT_EQ(MakeXmlLogPath("/results", "35", "20240102030405", kXmlLogNames),
              "/results/ZELK_35_20240102030405_" + std::to_string(kXmlLogNames));
}

TEST(ResultReportFormats, FtpRemotePath) {
    const wxString log = "/results/ZELK_1_2.xml";
    struct Case {
        const char* uploadPath;
        const char* remote;
    } cases[] = {
        {"inbox/reflash/", "inbox/reflash/ZELK_1_2.xml"},
        {"inbox/reflash", "inbox/reflash/ZELK_1_2.xml"},
        {"inbox\\reflash\\", "inbox\\reflash\\ZELK_1_2.xml"},
        {"", "ZELK_1_2.xml"},
        {"/", "/ZELK_1_2.xml"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MakeFtpRemotePath(c.uploadPath, log), c.remote) << c.uploadPath;
}

TEST(ResultReportFormats, OnlyATimeOutIsRetried) {
    EXPECT_TRUE(IsFtpRetryable("The internet operation timed out.\r\n"));
    EXPECT_FALSE(IsFtpRetryable("The internet operation Timed Out.\r\n"));
    EXPECT_FALSE(IsFtpRetryable("550 Not enough privileges."));
    EXPECT_FALSE(IsFtpRetryable(""));
}

TEST(ResultReportFormats, TavioQueries) {
    EXPECT_EQ(MakeTavioUploadQuery("SER&1", true, "02/01/2024", "03:04:05", "35<9", true),
              "action=ndss_upload&serial_no=SER%261&product_type=AT&test_result=PASS&test_id=Zelk_Flash_Tool"
              "&test_date=02%2F01%2F2024&test_time=03%3A04%3A05&imei=35%3C9&cleanData=Y");
    EXPECT_EQ(MakeTavioUploadQuery("S", false, "d", "t", "", false),
              "action=ndss_upload&serial_no=S&product_type=AT&test_result=FAIL&test_id=Zelk_Flash_Tool"
              "&test_date=d&test_time=t&imei=&cleanData=N");
    EXPECT_EQ(MakeTavioViewQuery("SER1"), "action=ndss_upload&serial_no=SER1&view=view");
    EXPECT_EQ(MakeTavioViewQuery("S&1"), "action=ndss_upload&serial_no=S%261&view=view");
}

TEST(ResultReportFormats, TavioViewReply) {
    struct Case {
        const char* name;
        const char* reply;
        bool found;
        const char* serial;
        const char* time;
    } cases[] = {
        {"both", "<RM_WTP_TEST_RESULT><SERIAL_NO>S1</SERIAL_NO><X/><TEST_TIME>10:11:12</TEST_TIME></RM_WTP_TEST_RESULT>",
         true, "S1", "10:11:12"},
        {"time first: the search moves forward only",
         "<RM_WTP_TEST_RESULT><TEST_TIME>10:11:12</TEST_TIME><SERIAL_NO>S1</SERIAL_NO></RM_WTP_TEST_RESULT>", true,
         "S1", ""},
        {"no time", "<RM_WTP_TEST_RESULT><SERIAL_NO>S1</SERIAL_NO></RM_WTP_TEST_RESULT>", true, "S1", ""},
        {"other root", "<RESULT><SERIAL_NO>S1</SERIAL_NO></RESULT>", false, "", ""},
        {"plain text", "SUCCESS", false, "", ""},
        {"empty", "", false, "", ""},
    };
    for (const Case& c : cases) {
        wxString serial = "untouched", time = "untouched";
        EXPECT_EQ(ReadTavioViewReply(c.reply, &serial, &time), c.found) << c.name;
        EXPECT_EQ(serial, c.serial) << c.name;
        EXPECT_EQ(time, c.time) << c.name;
    }
}

class XmlLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        resultDir = dir / "results";
        fs::create_directories(resultDir);
        SettingsData values;
        values.ResultPath = plat::WideFromNarrow(resultDir);
        settings.Assign(values);
    }
    TestDir dir;
    std::string resultDir;
    SettingsValues settings;
    KivDevice device{"SER1", "1", "1", DEV_CHECKING};
    KivResultReport report{&device, &settings};
};

TEST_F(XmlLog, WritesTheLogUnderItsFinalName) {
    wxString path = "untouched", error = "untouched";
    ASSERT_TRUE(report.GenerateXmlLog("LIST1", &path, "351234567890123", "V1.2", &error));
    EXPECT_EQ(error, "untouched");
    const auto files = Files(resultDir);
    ASSERT_EQ(files.size(), 1u) << "only the final file remains";
    EXPECT_EQ(path, wxString(files[0].string()));
    const std::string name = files[0].filename().string();
    ASSERT_TRUE(HasShape(name, "ZELK_351234567890123_##############.xml")) << name;
    EXPECT_EQ(ReadAll(files[0]), std::string(MakeXmlLogText("LIST1", "351234567890123", name.substr(21, 14), "V1.2")
                                                 .utf8_str()))
        << "the same stamp in name and text, UTF-8 without a byte-order mark";
}

TEST_F(XmlLog, EmptyImeiAndTextsOutsideAscii) {
    wxString path, error;
    ASSERT_TRUE(report.GenerateXmlLog("LIST1", &path, "", wxString::FromUTF8("V\xc3\xa9"), &error)) << error;
    EXPECT_NE(path.Find("/ZELK__"), wxNOT_FOUND) << path;
    const std::string text = ReadAll(path.ToStdString());
    EXPECT_NE(text.find("<ESN></ESN>\n"), std::string::npos);
    EXPECT_NE(text.find("<SOFTWARE_VER>V\xc3\xa9</SOFTWARE_VER>\n"), std::string::npos);
}

TEST_F(XmlLog, AnEmptyOrMissingLocationIsRefused) {
    struct Case {
        std::string location;
        const char* error;
    } cases[] = {
        {"", "The XML log location is not set"},
        {dir / "missing", "The XML log location doesn't exist"},
        {resultDir + "/../missing", "The XML log location doesn't exist"},
    };
    for (const Case& c : cases) {
        SettingsData values = settings.Copy();
        values.ResultPath = plat::WideFromNarrow(c.location);
        settings.Assign(values);
        wxString path, error;
        EXPECT_FALSE(report.GenerateXmlLog("LIST1", &path, "351234567890123", "V1", &error)) << c.location;
        EXPECT_EQ(error, c.error) << c.location;
        EXPECT_FALSE(path.EndsWith(".xml"));
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_TRUE(Files(resultDir).empty());
}

// The log's name with "_<n>" for its n-th try; its first try has none.
std::string Suffix(int nameTry) { return nameTry > 1 ? "_" + std::to_string(nameTry) : ""; }

// Files of the seconds around the call stand at some of the log's names, with or without ".xml":
// the log takes the first name free in both forms, and every earlier file stays as it was. When
// every name is taken, nothing is added.
TEST_F(XmlLog, ATakenNameGivesTheLogANameOfItsOwn) {
    struct Case {
        const char* what;
        std::vector<std::string> taken;  // of each second: the name's suffix and extension
        int nameTry;                     // that the log takes; 0: it fails
        const char* error;
    } cases[] = {
        {"the final name", {".xml"}, 2, ""},
        {"the name without extension", {""}, 2, ""},
        {"earlier names in both forms", {".xml", "_2", "_3.xml", "_3"}, 4, ""},
        {"a later name only", {"_2.xml"}, 1, ""},
        {"all names but the last", {}, kXmlLogNames, ""},
        {"every final name", {}, 0, "Rename xml log file failure"},
        {"every name without extension", {}, 0, "Create xml log file failure"},
    };
    for (int n = 1; n < kXmlLogNames; ++n)
        cases[4].taken.push_back(Suffix(n) + (n % 2 ? ".xml" : ""));
    for (int n = 1; n <= kXmlLogNames; ++n) {
        cases[5].taken.push_back(Suffix(n) + ".xml");
        cases[6].taken.push_back(Suffix(n));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(resultDir);
        fs::create_directories(resultDir);
        const std::time_t now = std::time(nullptr);
        for (std::time_t t = now - 1; t <= now + 20; ++t)
            for (const std::string& name : c.taken)
                std::ofstream(resultDir + "/ZELK_35_" + Stamp(t) + name) << "earlier";
        const auto before = Files(resultDir);
        wxString path, error;
        EXPECT_EQ(report.GenerateXmlLog("LIST1", &path, "35", "V1", &error), c.nameTry != 0);
        EXPECT_EQ(error, c.error);
        std::vector<fs::path> added;
        for (const fs::path& file : Files(resultDir)) {
            if (ReadAll(file) != "earlier")
                added.push_back(file);
        }
        EXPECT_EQ(Files(resultDir).size(), before.size() + added.size()) << "every earlier file stays";
        if (c.nameTry == 0) {
            EXPECT_TRUE(added.empty());
            continue;
        }
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(path, wxString(added[0].string()));
        const std::string name = added[0].filename().string();
        EXPECT_TRUE(HasShape(name, "ZELK_35_##############" + Suffix(c.nameTry) + ".xml")) << name;
        EXPECT_NE(ReadAll(added[0]).find("<TIMESTAMP>" + name.substr(8, 14) + "</TIMESTAMP>"), std::string::npos);
    }
}

TEST_F(XmlLog, AnImeiWithASeparatorWritesNothing) {
    fs::create_directories(resultDir + "/sub");
    for (const char* imei : {"../x", "sub/x", "sub\\x"}) {
        wxString path, error;
        EXPECT_FALSE(report.GenerateXmlLog("LIST1", &path, imei, "V1", &error)) << imei;
        EXPECT_EQ(error, "Create xml log file failure") << imei;
    }
    EXPECT_EQ(Files(dir.path()).size(), 1u) << "nothing beside the result directory";
    EXPECT_EQ(Files(resultDir + "/sub").size(), 0u);
    EXPECT_EQ(Files(resultDir).size(), 1u);
}

// Every final name is taken by a file, a directory or a link: the rename is refused, and ResultPath
// holds afterwards exactly what it held before, each entry unchanged.
TEST_F(XmlLog, ARefusedRenameLeavesNoFileBehind) {
    const std::string outside = dir / "outside";
    fs::create_directories(outside + "/dir");
    std::ofstream(outside + "/file") << "outside";
    const auto linksTo = [](const std::string& name, const std::string& target) {
        return fs::is_symlink(fs::symlink_status(name)) && fs::read_symlink(name) == target;
    };
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        std::function<bool(const std::string&)> unchanged;
    } cases[] = {
        {"a file", [](const std::string& name) { std::ofstream(name) << "earlier"; },
         [](const std::string& name) { return fs::is_regular_file(fs::symlink_status(name)) && ReadAll(name) == "earlier"; }},
        {"a directory", [](const std::string& name) { fs::create_directories(name + "/keep"); },
         [](const std::string& name) { return fs::is_directory(fs::symlink_status(name)) && fs::is_directory(name + "/keep"); }},
        {"a link to a file", [&](const std::string& name) { fs::create_symlink(outside + "/file", name); },
         [&](const std::string& name) { return linksTo(name, outside + "/file"); }},
        {"a link to a directory", [&](const std::string& name) { fs::create_symlink(outside + "/dir", name); },
         [&](const std::string& name) { return linksTo(name, outside + "/dir"); }},
        {"a dangling link", [&](const std::string& name) { fs::create_symlink(outside + "/missing", name); },
         [&](const std::string& name) { return linksTo(name, outside + "/missing"); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(resultDir);
        fs::create_directories(resultDir);
        const std::string imei = "35" + std::to_string(++n);
        // Every final name of the seconds around this call.
        const std::time_t now = std::time(nullptr);
        std::vector<fs::path> taken;
        for (std::time_t t = now - 1; t <= now + 20; ++t) {
            for (int n = 1; n <= kXmlLogNames; ++n) {
                taken.push_back(resultDir + "/ZELK_" + imei + "_" + Stamp(t) + Suffix(n) + ".xml");
                c.make(taken.back());
            }
        }
        std::sort(taken.begin(), taken.end());
        wxString path, error;
        EXPECT_FALSE(report.GenerateXmlLog("LIST1", &path, imei, "V1", &error));
        EXPECT_EQ(error, "Rename xml log file failure");
        EXPECT_FALSE(path.EndsWith(".xml")) << path;
        EXPECT_EQ(Files(resultDir), taken) << "no log without its extension stays";
        for (const fs::path& name : taken)
            EXPECT_TRUE(c.unchanged(name)) << name;
        EXPECT_EQ(ReadAll(outside + "/file"), "outside");
        EXPECT_TRUE(fs::is_empty(outside + "/dir"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(outside + "/missing")));
    }
}

// In a child process whose files may not grow past 100 bytes, less than the log's text: 0 when the
// short write is reported.
int GenerateWithFileLimit(KivResultReport& report) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    wxString path, error;
    const bool ok = report.GenerateXmlLog("LIST1", &path, "351234567890123", "V1", &error);
    if (ok || error != "Write xml log file failure")
        return 1;
    return wxFileExists(path) || wxFileExists(path + ".xml") ? 2 : 0;  // no partial log stays
}

TEST_F(XmlLog, AShortWriteIsAFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(GenerateWithFileLimit(report)), ::testing::ExitedWithCode(0), "");
}

// Every test reaches only loopback: the connected state is forced and the probes go to a listener.
class NetReport : public ::testing::Test {
protected:
    wxInitializer wx;
    void SetUp() override {
        plat::SetConnectedStateForTesting(true);
        RedirectProbesTo(probe.port());
    }
    void TearDown() override {
        DeleteSharedInternetAgent();
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
        plat::SetTimeScaleForTesting(1);
        plat::CapRealWorkLimitsForTesting(0);
    }
    fakes::Listener probe;
    SettingsValues settings;
    KivDevice device{"SER1", "1", "1", DEV_CHECKING};
    KivResultReport report{&device, &settings};
};

class FtpReport : public NetReport {
protected:
    void SetUp() override {
        NetReport::SetUp();
        log = local / "ZELK_351234567890123_20240102030405.xml";
        std::ofstream(log, std::ios::binary) << kLogText;
        plat::SetTimeScaleForTesting(200);  // the 2 s waits between tries
    }
    // The FTP host of the settings goes to that loopback port.
    void UseFtpPort(uint16_t port, const std::wstring& uploadPath = L"inbox/reflash/", bool passive = false) {
        SettingsData values;
        values.Ftp.UploadPath = uploadPath;
        values.Ftp.TransforMode = passive;
        settings.Assign(values);
        plat::RedirectHostForTesting(values.Ftp.Host, values.Ftp.Port, port);
    }
    TestDir root, local;
    std::string log;
};

TEST_F(FtpReport, UploadsIntoTheUploadPath) {
    fs::create_directories(root / "inbox/reflash");
    fakes::FtpServer server(root.path(), {"zelk", "qHtWmRbN", false, ""});
    ASSERT_TRUE(server.ok());
    for (bool passive : {false, true}) {
        UseFtpPort(server.port(), L"inbox/reflash", passive);
        uint32_t code = 99;
        wxString error = "untouched";
        EXPECT_TRUE(report.UploadXmlLog(log, &code, &error)) << error;
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(ReadAll(root / "inbox/reflash/ZELK_351234567890123_20240102030405.xml"), kLogText);
        fs::remove(root / "inbox/reflash/ZELK_351234567890123_20240102030405.xml");
    }
}

TEST_F(FtpReport, ATimeOutIsTriedFiveTimes) {
    fakes::Listener silent(true);
    plat::CapRealWorkLimitsForTesting(1000);  // it never answers: no 30 s wait on each try
    UseFtpPort(silent.port());
    uint32_t code = 0;
    wxString error;
    EXPECT_FALSE(report.UploadXmlLog(log, &code, &error));
    EXPECT_EQ(code, plat::kErrorInternetTimeout);
    EXPECT_TRUE(IsFtpRetryable(error)) << error;
    EXPECT_EQ(silent.connections(), 5);
}

// A worker uploading the log, as the result check does.
class UploadWorker : public KivDeviceWorker {
public:
    struct Outcome {
        std::atomic<bool> started{false};
        std::atomic<bool> ok{true};
        std::atomic<uint32_t> code{0};
    };
    UploadWorker(KivDevice* device, const SettingsValues* settings, wxString log, std::shared_ptr<Outcome> outcome)
        : KivDeviceWorker(device, KivSlot::Check), settings(settings), log(std::move(log)), outcome(std::move(outcome)) {}
    void Steps() override {
        outcome->started = true;
        KivResultReport report(device, settings);
        uint32_t code = 0;
        wxString error;
        outcome->ok = report.UploadXmlLog(log, &code, &error);
        outcome->code = code;
    }
    const SettingsValues* settings;
    wxString log;
    std::shared_ptr<Outcome> outcome;
};

TEST_F(FtpReport, DeletingTheRecordEndsAnUploadToAStallingServer) {
    plat::SetTimeScaleForTesting(1);  // the upload waits on the server in real time
    fakes::FtpOptions options{"zelk", "qHtWmRbN", false, ""};
    options.stall = true;  // logs in, then says nothing
    fakes::FtpServer server(root.path(), options);
    ASSERT_TRUE(server.ok());
    UseFtpPort(server.port());
    KivDevice::SetStopWaitForTesting(20000);
    auto* record = new KivDevice("SER2", "1", "1", DEV_CHECKING);
    auto outcome = std::make_shared<UploadWorker::Outcome>();
    auto* worker = new UploadWorker(record, &settings, log, outcome);
    const std::shared_ptr<KivWorkerControl> control = worker->control();
    ASSERT_EQ(worker->Launch(), wxTHREAD_NO_ERROR);
    while (!outcome->started)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // past the 2 s before the first try

    const auto start = std::chrono::steady_clock::now();
    delete record;  // stops the worker and waits for its end
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "not the server's silence";
    control->WaitEnded();
    EXPECT_FALSE(outcome->ok);
    EXPECT_EQ(outcome->code, plat::kErrorInternetOperationCancelled);
}

TEST_F(FtpReport, OtherFailuresAreTriedOnce) {
    fakes::Listener closing;  // closes every connection at once
    UseFtpPort(closing.port());
    uint32_t code = 0;
    wxString error;
    EXPECT_FALSE(report.UploadXmlLog(log, &code, &error));
    EXPECT_NE(code, 0u);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(IsFtpRetryable(error)) << error;
    EXPECT_EQ(closing.connections(), 1);

    fs::create_directories(root / "ro");
    fakes::FtpServer server(root.path(), {"zelk", "qHtWmRbN", false, "ro"});
    ASSERT_TRUE(server.ok());
    UseFtpPort(server.port(), L"ro");
    EXPECT_FALSE(report.UploadXmlLog(log, &code, &error));
    EXPECT_EQ(code, plat::kErrorInternetExtendedError) << "the server's refusal";
    EXPECT_TRUE(error.StartsWith("550")) << error;
    EXPECT_TRUE(fs::exists(log)) << "the local log stays";
}

class TavioReport : public NetReport {
protected:
    void SetUp() override {
        NetReport::SetUp();
        ASSERT_TRUE(server.ok());
        for (int i = 0; i < SettingsData::kTavioHostCount; ++i)
            plat::RedirectHostForTesting(SettingsData::TavioHostAt(i), 443, server.port());
        plat::SetExtraCaFileForTesting(server.caFile());
        wxCriticalSectionLocker locker(device.lock);
        device.detectedSerial = "DET42";
    }
    // The query of each request.
    std::vector<std::string> Queries() const {
        std::vector<std::string> queries;
        for (const std::string& request : server.requests()) {
            EXPECT_EQ(request.rfind("/remote/RemoteConnection?", 0), 0u) << request;
            queries.push_back(request.substr(request.find('?') + 1));
        }
        return queries;
    }
    TestDir dir;
    fakes::ReplyServer server{dir.path()};
};

const char kEcho[] =
    "<RM_WTP_TEST_RESULT><SERIAL_NO>{{serial_no}}</SERIAL_NO><TEST_TIME>{{test_time}}</TEST_TIME>"
    "</RM_WTP_TEST_RESULT>";

TEST_F(TavioReport, ReportsAndFindsTheRecord) {
    server.Reply(1, 200, "SUCCESS");
    server.Reply(2, 200, kEcho);
    wxString error = "untouched";
    EXPECT_TRUE(report.ReturnResultToTavio("351234567890123", true, true, &error));
    EXPECT_EQ(error, "");
    const auto queries = Queries();
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_TRUE(HasShape(queries[0], "action=ndss_upload&serial_no=DET42&product_type=AT&test_result=PASS"
                                     "&test_id=Zelk_Flash_Tool&test_date=##%2F##%2F####&test_time=##%3A##%3A##"
                                     "&imei=351234567890123&cleanData=Y"))
        << queries[0];
    EXPECT_EQ(queries[1], "action=ndss_upload&serial_no=DET42&view=view");
}

TEST_F(TavioReport, AFailedResultAndAnEmptyImei) {
    server.Reply(1, 200, "SUCCESS");
    server.Reply(2, 200, kEcho);
    wxString error;
    EXPECT_TRUE(report.ReturnResultToTavio("", false, false, &error)) << error;
    const auto queries = Queries();
    ASSERT_FALSE(queries.empty());
    EXPECT_NE(queries[0].find("&test_result=FAIL&"), std::string::npos) << queries[0];
    EXPECT_NE(queries[0].find("&imei=&cleanData=N"), std::string::npos) << queries[0];
}

using Replies = std::vector<std::pair<int, std::string>>;

Replies Times(int n, const Replies& replies) {
    Replies all;
    for (int i = 0; i < n; ++i)
        all.insert(all.end(), replies.begin(), replies.end());
    return all;
}

TEST_F(TavioReport, FailuresAndTheirTexts) {
    const std::pair<int, std::string> ok{200, "SUCCESS"}, none{200, ""}, rootless{200, "<R/>"};
    struct Case {
        const char* name;
        Replies replies;  // one per request, in order
        size_t requests;
        const char* error;
    } cases[] = {
        {"upload reply with a line break", {{200, "SUCCESS\n"}}, 1, "SUCCESS\n"},
        {"upload reply in small letters", {{200, "success"}}, 1, "success"},
        {"upload not received", Times(3, {none}), 3, "sent failure"},
        {"check not received", Times(3, {ok, none}), 6, "request check failure"},
        {"check without its root", Times(3, {ok, rootless}), 6,
         "Invalid response format: No find the element \"RM_WTP_TEST_RESULT\""},
        {"time before serial",
         Times(3, {ok,
                   {200, "<RM_WTP_TEST_RESULT><TEST_TIME>{{test_time}}</TEST_TIME><SERIAL_NO>{{serial_no}}"
                         "</SERIAL_NO></RM_WTP_TEST_RESULT>"}}),
         6, "check failure"},
        {"serial in other letters",
         Times(3, {ok,
                   {200, "<RM_WTP_TEST_RESULT><SERIAL_NO>det42</SERIAL_NO><TEST_TIME>{{test_time}}</TEST_TIME>"
                         "</RM_WTP_TEST_RESULT>"}}),
         6, "check failure"},
        {"the last try decides", {ok, none, ok, rootless, none}, 5, "sent failure"},
    };
    int offset = 0;  // the server counts every request of the test
    for (const Case& c : cases) {
        for (size_t i = 0; i < c.replies.size(); ++i)
            server.Reply(offset + static_cast<int>(i) + 1, c.replies[i].first, c.replies[i].second);
        wxString error = "untouched";
        EXPECT_FALSE(report.ReturnResultToTavio("351234567890123", true, true, &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        const size_t made = Queries().size() - offset;
        EXPECT_EQ(made, c.requests) << c.name;
        offset += static_cast<int>(made);
    }
}

TEST_F(TavioReport, ALaterTrySucceeds) {
    server.Reply(1, 200, "SUCCESS");
    server.Reply(2, 200, "<RM_WTP_TEST_RESULT><SERIAL_NO>OTHER</SERIAL_NO></RM_WTP_TEST_RESULT>");
    server.Reply(3, 200, "SUCCESS");
    server.Reply(4, 200, kEcho);
    wxString error;
    EXPECT_TRUE(report.ReturnResultToTavio("1", true, true, &error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(Queries().size(), 4u);
}

TEST_F(TavioReport, AHostIndexOutsideTheTableSendsNothing) {
    SettingsData values;
    values.TavioHostIndex = 5;
    settings.Assign(values);
    server.Reply(200, "SUCCESS");
    wxString error;
    EXPECT_FALSE(report.ReturnResultToTavio("1", true, true, &error));
    EXPECT_EQ(error, "sent failure");
    EXPECT_TRUE(Queries().empty());
}

TEST_F(TavioReport, TheHostOfTheIndexIsAsked) {
    // Only the fifth host reaches the server.
    fakes::RefusingPort refusing;
    for (int i = 0; i < 4; ++i)
        plat::RedirectHostForTesting(SettingsData::TavioHostAt(i), 443, refusing.port());
    SettingsData values;
    values.TavioHostIndex = 4;
    settings.Assign(values);
    server.Reply(1, 200, "SUCCESS");
    server.Reply(2, 200, kEcho);
    wxString error;
    EXPECT_TRUE(report.ReturnResultToTavio("1", true, true, &error)) << error;
}

class SlowTavioReport : public NetReport {
protected:
    TestDir slowDir;
    fakes::ReplyServer slow{slowDir.path(), 0.3};
};

TEST_F(SlowTavioReport, EveryTrySendsTheSameDateAndTime) {
    ASSERT_TRUE(slow.ok());
    for (int i = 0; i < SettingsData::kTavioHostCount; ++i)
        plat::RedirectHostForTesting(SettingsData::TavioHostAt(i), 443, slow.port());
    plat::SetExtraCaFileForTesting(slow.caFile());
    {
        wxCriticalSectionLocker locker(device.lock);
        device.detectedSerial = "DET42";
    }
    slow.Reply(1, 200, "SUCCESS");
    slow.Reply(200, "<RM_WTP_TEST_RESULT><SERIAL_NO>DET42</SERIAL_NO><TEST_TIME>x</TEST_TIME></RM_WTP_TEST_RESULT>");
    slow.Reply(3, 200, "SUCCESS");
    slow.Reply(5, 200, "SUCCESS");
    wxString error;
    EXPECT_FALSE(report.ReturnResultToTavio("1", true, true, &error));  // six requests over about two seconds
    EXPECT_EQ(error, "check failure");
    const auto requests = slow.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0], requests[2]);
    EXPECT_EQ(requests[0], requests[4]);
}

// Values with characters that mean something in a query or in XML reach the services and the log
// whole: the Tavio report and its check, the latest-image query, the XML result log.
class AwkwardValues : public TavioReport {};

TEST_F(AwkwardValues, ReachTheServicesAsTheyAre) {
    server.Reply(200, "SUCCESS");
    for (size_t i = 0; i < kAwkwardValues.size(); ++i)
        server.Reply(static_cast<int>(2 * i + 2), 200, kEcho);  // SERIAL_NO and TEST_TIME as received
    for (const std::string& value : kAwkwardValues) {
        SCOPED_TRACE(value);
        const wxString text = wxString::FromUTF8(value);
        {
            wxCriticalSectionLocker locker(device.lock);
            device.detectedSerial = text;
        }
        const size_t before = server.fields().size();
        wxString error;
        EXPECT_TRUE(report.ReturnResultToTavio(text, true, true, &error)) << error;
        const auto fields = server.fields();
        ASSERT_EQ(fields.size(), before + 2);
        EXPECT_EQ(fields[before].at("serial_no"), value);
        EXPECT_EQ(fields[before].at("imei"), value);
        EXPECT_EQ(fields[before].size(), 9u) << "no field added";
        EXPECT_EQ(fields[before + 1].at("serial_no"), value);
        EXPECT_EQ(fields[before + 1].size(), 3u);
    }

    RYL::CInternetAgent agent(nullptr, nullptr);
    for (const std::string& value : kAwkwardValues) {
        SCOPED_TRACE(value);
        std::wstring reply;
        ASSERT_TRUE(agent.HttpGet(SettingsData::TavioHostAt(0), kLatestImagePath,
                                  LatestImageQuery(wxString::FromUTF8(value)).ToStdWstring(), &reply, nullptr, true,
                                  nullptr));
        const auto fields = server.fields().back();
        EXPECT_EQ(fields.at("countryCode"), "CN");
        EXPECT_EQ(fields.at("SKU"), value);
        EXPECT_EQ(fields.at("model"), "");
        EXPECT_EQ(fields.size(), 3u);
    }
}

// The element texts of the log as a strict XML parser reads them (Python's), each line "NAME=HEX".
std::map<std::string, std::string> ParsedLog(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as E\n"
        "for e in E.parse(sys.argv[1]).getroot().find(\"UNIT\"): print(e.tag + \"=\" + (e.text or \"\").encode().hex())' '" +
        path + "'";
    std::map<std::string, std::string> texts;
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return texts;
    char line[4096];
    while (fgets(line, sizeof line, out)) {
        std::string text = line;
        const size_t equals = text.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value;
        for (size_t i = equals + 1; i + 1 < text.size() && text[i] != '\n'; i += 2)
            value += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
        texts[text.substr(0, equals)] = value;
    }
    pclose(out);
    return texts;
}

TEST_F(XmlLog, AwkwardValuesMakeAWellFormedLog) {
    const std::string imei = "35&<9>'\"";  // a file name holds no '/'
    for (const std::string& value : kAwkwardValues) {
        SCOPED_TRACE(value);
        wxString path, error;
        ASSERT_TRUE(report.GenerateXmlLog(wxString::FromUTF8(value), &path, wxString::FromUTF8(imei),
                                          wxString::FromUTF8(value), &error))
            << error;
        const fs::path plain = dir / "parsed.xml";  // a name the shell takes as it is
        fs::copy_file(path.ToStdString(), plain, fs::copy_options::overwrite_existing);
        const auto texts = ParsedLog(plain.string());
        ASSERT_EQ(texts.size(), 8u) << "a strict parser reads the whole log";
        EXPECT_EQ(texts.at("SSN"), value);
        EXPECT_EQ(texts.at("ESN"), imei);
        EXPECT_EQ(texts.at("SOFTWARE_VER"), value);
        fs::remove(path.ToStdString());
    }
}

// Every value shape in SSN and SOFTWARE_VER: expat reads the file and gets each value back (U+FFFD
// for what XML cannot carry).
TEST_F(XmlLog, AStrictParserReadsEveryValueBack) {
    int n = 0;
    for (const XmlValueShape& shape : XmlValueShapes()) {
        SCOPED_TRACE(shape.what);
        const wxString value(shape.value);
        const std::string imei = "35" + std::to_string(++n);
        wxString path, error;
        ASSERT_TRUE(report.GenerateXmlLog(value, &path, imei, value, &error)) << error;
        const StrictDocument log = ParseStrictXml(ReadAll(path.ToStdString()));
        ASSERT_EQ(log.error, "");
        const std::string expected = plat::NarrowFromWide(shape.readBack);
        EXPECT_EQ(log.Find("SSN")->text, expected);
        EXPECT_EQ(log.Find("ESN")->text, imei);
        EXPECT_EQ(log.Find("SOFTWARE_VER")->text, expected);
        EXPECT_EQ(log.Find("OEM_NAME")->text, "ZELK");
    }
}

}  // namespace
