#include "InternetAgent.h"

#include "ProbeRedirect.h"
#include "TestDir.h"
#include "Clock.h"
#include "Errors.h"
#include "FakeServers.h"
#include "Internet.h"
#include "Process.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every test reaches only loopback: the connected state is forced and every probe is redirected.
class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::SetConnectedStateForTesting(true);
        RedirectProbesTo(probe.port());
    }
    void TearDown() override {
        plat::SetConnectedStateForTesting(std::nullopt);
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
        plat::SetTimeScaleForTesting(1);
        plat::CapRealWorkLimitsForTesting(0);
    }
    fakes::Listener probe;
    RYL::CInternetAgent agent{nullptr, nullptr};
};

// HTTPS requests go to "service.test", served by the fake with its test CA trusted.
class AgentHttpTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        ASSERT_TRUE(server.ok());
        plat::RedirectHostForTesting(L"service.test", 443, server.port());
        plat::SetExtraCaFileForTesting(server.caFile());
    }
    TestDir dir;
    fakes::HttpsServer server{dir.path()};
};

const std::wstring kPrefix = L"[CInternetAgent::HttpGet]: ";

TEST_F(AgentHttpTest, RepliesAndTheirBodies) {
    std::string big;
    for (int i = 0; i < 5000; ++i) big += static_cast<char>('a' + i % 26);
    struct Case {
        std::wstring path;
        bool ok;
        uint32_t status;
        std::wstring text;  // body, or error after the prefix
    } cases[] = {
        {L"/status/200", true, 200, L"status 200 body"},
        {L"/status/404", true, 404, L"status 404 body"},  // every status counts
        {L"/status/500", true, 500, L"status 500 body"},
        {L"/big/5000", true, 200, plat::WideFromNarrow(big)},  // several reads of 2047 bytes
        {L"/nul", true, 200, L"firstsecond"},  // a zero byte drops the rest of its chunk only
        {L"/utf8", true, 200, L"Gr\u00fc\u00dfe"},
        {L"/redirect", true, 200, L"status 200 body"},
        {L"/empty", false, 200, L"The HTTP Response text is empty!\n"},
    };
    for (const Case& c : cases) {
        std::wstring response = L"untouched", error = L"untouched";
        uint32_t status = 0;
        bool ok = agent.HttpGet(L"service.test", c.path, L"q=1", &response, &status, true, &error);
        EXPECT_EQ(ok, c.ok) << plat::NarrowFromWide(c.path) << ": " << plat::NarrowFromWide(error);
        EXPECT_EQ(status, c.status) << plat::NarrowFromWide(c.path);
        if (c.ok) {
            EXPECT_EQ(response, c.text) << plat::NarrowFromWide(c.path);
            EXPECT_EQ(error, L"untouched");
        } else {
            EXPECT_EQ(error, kPrefix + c.text);
            EXPECT_EQ(response, L"untouched");
        }
    }
}

TEST_F(AgentHttpTest, SendsTheObjectAndHeadersAsGiven) {
    std::wstring response;
    ASSERT_TRUE(agent.HttpGet(L"service.test", L"/echo", L"", &response, nullptr, true, nullptr));
    std::string echo = plat::NarrowFromWide(response);
    EXPECT_EQ(echo.rfind("GET /echo? HTTP/1.0\r\n", 0), 0u) << echo;  // "?" also before an empty query
    EXPECT_NE(echo.find("\nAccept: */*\n"), std::string::npos) << echo;
    EXPECT_NE(echo.find("\nUser-Agent: RYL/2.0 (compatible; MSIE 7.0; Windows NT 5.1)\n"),
              std::string::npos)
        << echo;
    EXPECT_EQ(echo.find("Zelk Service Tool"), std::string::npos) << echo;
    EXPECT_NE(echo.find("\nHost: service.test\n"), std::string::npos) << echo;

    ASSERT_TRUE(agent.HttpGet(L"service.test", L"/echo", L"a=1&b=x y", &response, nullptr, true, nullptr));
    EXPECT_EQ(plat::NarrowFromWide(response).rfind("GET /echo?a=1&b=x%20y HTTP/1.0\r\n", 0), 0u);
}

// Dates and host names are not checked; the issuer still has to be trusted.
TEST_F(AgentHttpTest, CertificatesNeedOnlyATrustedIssuer) {
    TestDir expiredDir;
    fakes::HttpsServer expired(expiredDir.path(), true);
    ASSERT_TRUE(expired.ok());
    plat::RedirectHostForTesting(L"old.test", 443, expired.port());
    plat::SetExtraCaFileForTesting(expired.caFile());
    std::wstring response, error;
    EXPECT_TRUE(agent.HttpGet(L"old.test", L"/status/200", L"", &response, nullptr, true, &error))
        << plat::NarrowFromWide(error);

    plat::SetExtraCaFileForTesting("");
    EXPECT_FALSE(agent.HttpGet(L"old.test", L"/status/200", L"", &response, nullptr, true, &error));
    EXPECT_EQ(error, kPrefix + L"HttpSendRequest() failed (ErrorCode=0x00002F0D)!\n");  // 12045
}

TEST_F(AgentHttpTest, RefusedArgumentsAndConnections) {
    fakes::RefusingPort refusing;
    plat::RedirectHostForTesting(L"down.test", 443, refusing.port());
    struct Case {
        std::wstring host, path, error;
    } cases[] = {
        {L"", L"/status/200", L"in_strHttpServerDns is empty"},
        {L"service.test", L"", L"Invalid CGI parameter(s)"},
        {L"down.test", L"/status/200", L"HttpSendRequest() failed (ErrorCode=0x00002EFD)"},  // 12029
    };
    for (const Case& c : cases) {
        std::wstring response = L"untouched", error;
        uint32_t status = 7;
        EXPECT_FALSE(agent.HttpGet(c.host, c.path, L"", &response, &status, true, &error));
        EXPECT_EQ(error, kPrefix + c.error + L"!\n");
        EXPECT_EQ(response, L"untouched");
        EXPECT_EQ(status, 7u);
    }
}

// The client's limits are real time: these two take the 25 s they allow.
TEST_F(AgentHttpTest, StalledBodyEndsWithTheReceiveTimeout) {
    std::wstring error;
    uint32_t status = 0;
    std::wstring response;
    EXPECT_FALSE(agent.HttpGet(L"service.test", L"/stall", L"", &response, &status, true, &error));
    EXPECT_EQ(status, 200u);  // known before the body failed
    EXPECT_EQ(error, kPrefix + L"InternetReadFile() failed (ErrorCode=0x00002EE2)!\n");  // 12002
}

TEST_F(AgentHttpTest, SlowBodyEndsAtTheDeadline) {  // a byte arrives every 20 ms
    std::wstring error, response;
    EXPECT_FALSE(agent.HttpGet(L"service.test", L"/trickle", L"", &response, nullptr, true, &error));
    EXPECT_EQ(error, kPrefix + L"InternetReadFile() timed out!\n");
}

// Probes before the first one that answers refuse; the ones after it must not be contacted.
TEST_F(AgentTest, ProbesAreTriedInOrderUntilOneAnswers) {
    for (int first = 0; first <= 7; ++first) {  // 7: none answers
        std::vector<std::unique_ptr<fakes::RefusingPort>> refusing;
        std::vector<std::unique_ptr<fakes::Listener>> open;  // probes first..6
        for (int i = 0; i < 7; ++i) {
            if (i < first) {
                refusing.push_back(std::make_unique<fakes::RefusingPort>());
                RedirectProbe(i, refusing.back()->port());
            } else {
                open.push_back(std::make_unique<fakes::Listener>());
                RedirectProbe(i, open.back()->port());
            }
        }
        uint32_t flags = 0;
        EXPECT_EQ(agent.CheckConnection(&flags), first < 7) << "first answering probe " << first;
        EXPECT_EQ(flags, uint32_t(plat::kInternetConnectionLan));
        if (first == 7) continue;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (open[0]->connections() == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(open[0]->connections(), 1) << "probe " << first;
        for (size_t i = 1; i < open.size(); ++i)
            EXPECT_EQ(open[i]->connections(), 0) << "probe " << first + i;
    }
    EXPECT_EQ(probe.connections(), 0);
}

TEST_F(AgentTest, WithoutNetworkNothingIsTried) {
    plat::SetConnectedStateForTesting(false);
    plat::SetTimeScaleForTesting(100);
    uint32_t flags = 0xFFFF;
    EXPECT_FALSE(agent.CheckConnection(&flags));
    EXPECT_EQ(flags, 0u);

    std::wstring error;
    EXPECT_FALSE(agent.HttpGet(L"service.test", L"/status/200", L"", nullptr, nullptr, true, &error));
    EXPECT_EQ(error, kPrefix + L"Can not connect to the Internet!\n");

    uint32_t code = 0;
    EXPECT_FALSE(agent.FtpUpload(L"127.0.0.1", 21, L"r", L"l", L"", L"", true,
                                 plat::kFtpTransferTypeBinary, &code, &error));
    EXPECT_EQ(code, plat::kEFail);
    EXPECT_EQ(error, L"Can not connect to Internet! \r\nPlease check your Internet connection.");
    EXPECT_EQ(probe.connections(), 0);
}

TEST_F(AgentTest, RetrieveHttpInfoRefusesNullsAndZeroLength) {
    uint32_t value = 0, length = sizeof value, code = 0;
    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypeDirect, 0);
    struct Case {
        plat::InternetHandle handle;
        void* buffer;
        uint32_t* length;
        uint32_t code;
    } cases[] = {
        {nullptr, &value, &length, plat::kEFail},
        {session, nullptr, &length, plat::kEFail},
        {session, &value, nullptr, plat::kEFail},
        {session, &value, &length, plat::kErrorInternetIncorrectHandleType},
    };
    for (const Case& c : cases) {
        length = sizeof value;
        EXPECT_FALSE(agent.RetrieveHttpInfo(c.handle, plat::kHttpQueryStatusCode, c.buffer, c.length, &code));
        EXPECT_EQ(code, c.code);
    }
    uint32_t zero = 0;
    EXPECT_FALSE(agent.RetrieveHttpInfo(session, plat::kHttpQueryStatusCode, &value, &zero, &code));
    EXPECT_EQ(code, plat::kEFail);
    plat::InternetCloseHandle(session);
}

class AgentFtpTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        std::ofstream(local / "log.xml") << "<result>PASS</result>";
    }
    bool Upload(const fakes::FtpServer& server, const std::wstring& remote, const std::wstring& user,
                const std::wstring& password, bool passive, uint32_t& code, std::wstring& error,
                const std::wstring& localFile = L"") {
        code = 12345;
        error = L"untouched";
        return agent.FtpUpload(L"127.0.0.1", server.port(), remote,
                               localFile.empty() ? plat::WideFromNarrow(local / "log.xml") : localFile,
                               user, password, passive, plat::kFtpTransferTypeBinary, &code, &error);
    }
    TestDir root, local;
};

TEST_F(AgentFtpTest, UploadsInPassiveAndActiveMode) {
    fakes::FtpServer server(root.path(), {"station", "pw", false, ""});
    ASSERT_TRUE(server.ok());
    for (bool passive : {true, false}) {
        std::wstring remote = passive ? L"passive.xml" : L"active.xml";
        uint32_t code;
        std::wstring error;
        EXPECT_TRUE(Upload(server, remote, L"station", L"pw", passive, code, error))
            << code << " " << plat::NarrowFromWide(error);
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(error, L"");
        EXPECT_EQ(ReadAll(root / plat::NarrowFromWide(remote)), "<result>PASS</result>");
    }
}

TEST_F(AgentFtpTest, EmptyUserLogsInAnonymously) {
    fakes::FtpServer server(root.path(), {"", "", true, ""});
    ASSERT_TRUE(server.ok());
    uint32_t code;
    std::wstring error;
    EXPECT_TRUE(Upload(server, L"anon.xml", L"", L"", true, code, error)) << plat::NarrowFromWide(error);
    EXPECT_EQ(ReadAll(root / "anon.xml"), "<result>PASS</result>");
}

TEST_F(AgentFtpTest, ServerRefusalsReportTheServersReply) {
    fakes::FtpServer server(root.path(), {"station", "pw", false, "ro"});
    ASSERT_TRUE(server.ok());
    struct Case {
        std::wstring remote, password, reply;
    } cases[] = {
        {L"x.xml", L"wrong", L"530 "},   // refused login
        {L"ro/x.xml", L"pw", L"550 "},   // read-only directory
    };
    for (const Case& c : cases) {
        uint32_t code;
        std::wstring error;
        EXPECT_FALSE(Upload(server, c.remote, L"station", c.password, true, code, error));
        EXPECT_EQ(code, uint32_t(plat::kErrorInternetExtendedError));
        EXPECT_EQ(error.substr(0, 4), c.reply) << plat::NarrowFromWide(error);
        EXPECT_EQ(error.substr(error.size() - 2), L"\r\n");
    }
}

TEST_F(AgentFtpTest, EmptyArgumentsFailWithTheGeneralCode) {
    fakes::FtpServer server(root.path(), {"station", "pw", false, ""});
    ASSERT_TRUE(server.ok());
    uint32_t code;
    std::wstring error;
    EXPECT_FALSE(Upload(server, L"", L"station", L"pw", true, code, error));
    EXPECT_EQ(code, plat::kEFail);
    EXPECT_EQ(error, L"");
    EXPECT_FALSE(agent.FtpUpload(L"127.0.0.1", server.port(), L"x.xml", L"", L"station", L"pw", true,
                                 plat::kFtpTransferTypeBinary, &code, &error));
    EXPECT_EQ(code, plat::kEFail);
    EXPECT_EQ(error, L"");
    EXPECT_FALSE(agent.FtpUpload(L"", server.port(), L"x.xml", L"log.xml", L"station", L"pw", true,
                                 plat::kFtpTransferTypeBinary, &code, &error));
    EXPECT_EQ(code, plat::kEFail);
    EXPECT_EQ(error, L"");
    EXPECT_FALSE(Upload(server, L"x.xml", L"station", L"pw", true, code, error,
                        plat::WideFromNarrow(local / "missing.xml")));
    EXPECT_EQ(code, uint32_t(plat::kErrorFileNotFound));
}

TEST_F(AgentFtpTest, ConnectionFailuresGiveTheCodesText) {
    fakes::RefusingPort refusing;
    fakes::Listener silent(true);
    plat::CapRealWorkLimitsForTesting(1000);  // the silent peer never answers: no 30 s wait
    struct Case {
        uint16_t port;
        uint32_t code;
    } cases[] = {
        {refusing.port(), plat::kErrorInternetCannotConnect},
        {silent.port(), plat::kErrorInternetTimeout},
    };
    for (const Case& c : cases) {
        uint32_t code = 0;
        std::wstring error, text;
        EXPECT_FALSE(agent.FtpUpload(L"127.0.0.1", c.port, L"x.xml",
                                     plat::WideFromNarrow(local / "log.xml"), L"u", L"p", true,
                                     plat::kFtpTransferTypeBinary, &code, &error));
        EXPECT_EQ(code, c.code);
        ASSERT_TRUE(plat::ModuleMessageText(L"wininet.dll", c.code, text));
        EXPECT_EQ(error, text);
    }
    std::wstring timeout;
    plat::ModuleMessageText(L"wininet.dll", plat::kErrorInternetTimeout, timeout);
    EXPECT_NE(timeout.find(L"timed out"), std::wstring::npos);  // the result upload retries on it
}

TEST_F(AgentHttpTest, OneAgentServesManyThreadsAtOnce) {
    TestDir root, local;
    fakes::FtpServer ftp(root.path(), {"station", "pw", false, ""});
    ASSERT_TRUE(ftp.ok());
    const int kThreads = 8;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        std::string name = "log" + std::to_string(t) + ".xml";
        std::ofstream(local / name) << "device " << t;
        threads.emplace_back([&, t, name] {
            for (int round = 0; round < 3; ++round) {
                std::wstring response;
                uint32_t status = 0;
                if (!agent.HttpGet(L"service.test", L"/status/404", L"", &response, &status, true, nullptr) ||
                    response != L"status 404 body" || status != 404)
                    ++failures[t];
                if (!agent.HttpGet(L"service.test", L"/big/5000", L"", &response, nullptr, true, nullptr) ||
                    response.size() != 5000)
                    ++failures[t];
                uint32_t code = 1;
                std::wstring remote = plat::WideFromNarrow(std::to_string(round) + "_" + name);
                if (!agent.FtpUpload(L"127.0.0.1", ftp.port(), remote,
                                     plat::WideFromNarrow(local / name), L"station", L"pw", t % 2 == 0,
                                     plat::kFtpTransferTypeBinary, &code, nullptr) ||
                    code != 0)
                    ++failures[t];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        for (int round = 0; round < 3; ++round)
            EXPECT_EQ(ReadAll(root / (std::to_string(round) + "_log" + std::to_string(t) + ".xml")),
                      "device " + std::to_string(t));
    }
}

// Servers that accept and then say nothing: the receive limit counts from the moment the
// connection is made, not after the connect allowance. Real time; the three wait side by side.
TEST_F(AgentHttpTest, StallingServersEndWithTheReceiveLimit) {
    using Clock = std::chrono::steady_clock;
    fakes::Listener silent(true);  // accepts TCP, never speaks TLS
    TestDir quietDir, ftpRoot, local;
    fakes::ReplyServer quiet(quietDir.path(), 600, {"quiet.test"});  // TLS, then silence
    fakes::FtpOptions stalling{"u", "p", false, ""};
    stalling.stall = true;  // logs in, then silence
    fakes::FtpServer ftp(ftpRoot.path(), stalling);
    ASSERT_TRUE(quiet.ok());
    ASSERT_TRUE(ftp.ok());
    plat::RedirectHostForTesting(L"silent.test", 443, silent.port());
    plat::RedirectHostForTesting(L"quiet.test", 443, quiet.port());
    plat::SetExtraCaFileForTesting(quiet.caFile());
    std::ofstream(local / "log.xml") << "<result>PASS</result>";

    struct Outcome {
        bool ok = true;
        std::wstring error;
        uint32_t code = 0;
        Clock::duration took{};
    } outcomes[3];
    auto timed = [](Outcome& outcome, const std::function<bool()>& call) {
        const auto start = Clock::now();
        outcome.ok = call();
        outcome.took = Clock::now() - start;
    };
    std::thread threads[] = {
        std::thread([&] {
            timed(outcomes[0], [&] {
                std::wstring response;
                return agent.HttpGet(L"silent.test", L"/", L"", &response, nullptr, true, &outcomes[0].error);
            });
        }),
        std::thread([&] {
            timed(outcomes[1], [&] {
                std::wstring response;
                return agent.HttpGet(L"quiet.test", L"/", L"", &response, nullptr, true, &outcomes[1].error);
            });
        }),
        std::thread([&] {
            timed(outcomes[2], [&] {
                return agent.FtpUpload(L"127.0.0.1", ftp.port(), L"x.xml", plat::WideFromNarrow(local / "log.xml"),
                                       L"u", L"p", true, plat::kFtpTransferTypeBinary, &outcomes[2].code,
                                       &outcomes[2].error);
            });
        }),
    };
    for (std::thread& t : threads) t.join();
    for (const Outcome& outcome : outcomes) {
        EXPECT_FALSE(outcome.ok);
        // 25 s (HTTP) or 30 s (FTP) after the connection; with the connect allowance added it
        // took 60 s to 90 s.
        EXPECT_LT(outcome.took, std::chrono::seconds(50)) << plat::NarrowFromWide(outcome.error);
    }
    EXPECT_EQ(outcomes[0].error, kPrefix + L"HttpSendRequest() failed (ErrorCode=0x00002EE2)!\n");  // 12002
    EXPECT_EQ(outcomes[1].error, kPrefix + L"HttpSendRequest() failed (ErrorCode=0x00002EE2)!\n");
    EXPECT_EQ(outcomes[2].code, plat::kErrorInternetTimeout);
    EXPECT_NE(outcomes[2].error.find(L"timed out"), std::wstring::npos);
}

// A request on a thread that is asked to stop ends at once with the cancelled code.
TEST_F(AgentHttpTest, AStopRequestEndsARequestAtOnce) {
    fakes::Listener silent(true);
    TestDir ftpRoot, local;
    fakes::FtpOptions stalling{"u", "p", false, ""};
    stalling.stall = true;
    fakes::FtpServer ftp(ftpRoot.path(), stalling);
    ASSERT_TRUE(ftp.ok());
    plat::RedirectHostForTesting(L"silent.test", 443, silent.port());
    std::ofstream(local / "log.xml") << "<result>PASS</result>";

    std::wstring httpError, ftpError;
    uint32_t ftpCode = 0;
    std::atomic<int> ended{0};
    auto stopHttp = std::make_shared<plat::StopSignal>();
    auto stopFtp = std::make_shared<plat::StopSignal>();
    std::thread http([&] {
        plat::SetThreadStopSignal(stopHttp);
        std::wstring response;
        agent.HttpGet(L"silent.test", L"/", L"", &response, nullptr, true, &httpError);
        plat::SetThreadStopSignal(nullptr);
        ++ended;
    });
    std::thread upload([&] {
        plat::SetThreadStopSignal(stopFtp);
        agent.FtpUpload(L"127.0.0.1", ftp.port(), L"x.xml", plat::WideFromNarrow(local / "log.xml"), L"u", L"p",
                        true, plat::kFtpTransferTypeBinary, &ftpCode, &ftpError);
        plat::SetThreadStopSignal(nullptr);
        ++ended;
    });
    // Both wait on their server by now.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (silent.connections() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ended, 0);
    const auto start = std::chrono::steady_clock::now();
    stopHttp->RequestStop();
    stopFtp->RequestStop();
    http.join();
    upload.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "not the receive limit";
    EXPECT_EQ(httpError, kPrefix + L"HttpSendRequest() failed (ErrorCode=0x00002EF1)!\n");  // 12017
    EXPECT_EQ(ftpCode, plat::kErrorInternetOperationCancelled);
    std::wstring cancelled;
    ASSERT_TRUE(plat::ModuleMessageText(L"wininet.dll", plat::kErrorInternetOperationCancelled, cancelled));
    EXPECT_EQ(ftpError, cancelled);
}

// A time limit on the thread ends a request that a trickling server would keep alive for ever.
TEST_F(AgentHttpTest, ATimeLimitEndsATricklingReply) {
    TestDir trickleDir;
    fakes::ReplyServer trickle(trickleDir.path(), 0, {"trickle.test"}, 0.2);
    ASSERT_TRUE(trickle.ok());
    plat::RedirectHostForTesting(L"trickle.test", 443, trickle.port());
    plat::SetExtraCaFileForTesting(trickle.caFile());
    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypePreconfig, 0);
    ASSERT_NE(session, nullptr);
    // The handshake and the first byte come before the limit, so that a slow machine cannot
    // spend the limit on them.
    plat::InternetHandle file = plat::InternetOpenUrl(session, L"https://trickle.test/", L"", 0);
    ASSERT_NE(file, nullptr) << plat::InternetGetLastError();
    char buffer[64];
    uint32_t read = 0;
    ASSERT_TRUE(plat::InternetReadFile(file, buffer, 1, &read));
    ASSERT_EQ(read, 1u);
    const plat::InternetTimeLimit limit(5000);
    size_t total = 0;
    bool ok = true;
    while ((ok = plat::InternetReadFile(file, buffer, sizeof buffer, &read)) && read > 0)
        total += read;
    EXPECT_FALSE(ok);
    EXPECT_EQ(plat::InternetGetLastError(), plat::kErrorInternetTimeout);
    EXPECT_GT(total, 0u) << "bytes kept arriving until the limit";
    plat::InternetCloseHandle(file);
    plat::InternetCloseHandle(session);
}

}  // namespace
