#include "Errors.h"
#include "FakeServers.h"
#include "Internet.h"
#include "InternetCurlCodes.h"
#include "TestDir.h"
#include "Text.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Reads a request's body to its end.
bool ReadBody(plat::InternetHandle request, std::string& body) {
    char buffer[1000];
    for (;;) {
        uint32_t read = 0;
        if (!plat::InternetReadFile(request, buffer, sizeof buffer, &read)) return false;
        if (read == 0) return true;
        body.append(buffer, read);
    }
}

}  // namespace

TEST(InternetCodes, CurlResultsMapOntoInternetCodes) {
    struct Case {
        int curl;
        long verify;
        uint32_t code;
    } cases[] = {
        {CURLE_OK, 0, 0},
        {CURLE_COULDNT_CONNECT, 0, plat::kErrorInternetCannotConnect},
        {CURLE_COULDNT_RESOLVE_HOST, 0, plat::kErrorInternetNameNotResolved},
        {CURLE_OPERATION_TIMEDOUT, 0, plat::kErrorInternetTimeout},
        {CURLE_LOGIN_DENIED, 0, plat::kErrorInternetExtendedError},
        {CURLE_UPLOAD_FAILED, 0, plat::kErrorInternetExtendedError},
        {CURLE_REMOTE_ACCESS_DENIED, 0, plat::kErrorInternetExtendedError},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_HAS_EXPIRED,
         plat::kErrorInternetSecCertDateInvalid},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_OK, plat::kErrorInternetSecCertCnInvalid},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNSPECIFIED, plat::kErrorInternetSecCertCnInvalid},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         plat::kErrorInternetInvalidCa},
        {CURLE_SSL_CONNECT_ERROR, 0, plat::kErrorInternetSecurityChannelError},
        {CURLE_GOT_NOTHING, 0, plat::kErrorInternetConnectionAborted},
        {CURLE_RECV_ERROR, 0, plat::kErrorInternetConnectionReset},
        {CURLE_READ_ERROR, 0, plat::kErrorReadFault},
        {CURLE_TELNET_OPTION_SYNTAX, 0, plat::kErrorInternetInternalError},
    };
    for (const Case& c : cases)
        EXPECT_EQ(plat::InternetCodeFromCurl(c.curl, c.verify), c.code) << "curl " << c.curl;
}

TEST(InternetCodes, EveryMappedCodeHasAText) {
    for (int curl = 1; curl < CURL_LAST; ++curl) {
        for (long verify : {0L, long(X509_V_ERR_CERT_HAS_EXPIRED), long(X509_V_ERR_CERT_UNTRUSTED)}) {
            uint32_t code = plat::InternetCodeFromCurl(curl, verify);
            std::wstring text;
            EXPECT_TRUE(plat::ModuleMessageText(L"wininet.dll", code, text) ||
                        plat::SystemErrorText(code, text))
                << "curl " << curl << " -> " << code;
        }
    }
    std::wstring timeout;
    ASSERT_TRUE(plat::ModuleMessageText(L"wininet.dll", plat::kErrorInternetTimeout, timeout));
    EXPECT_NE(timeout.find(L"timed out"), std::wstring::npos);
}

TEST(Internet, ConnectedStateFollowsTheTestOverride) {
    uint32_t flags = 0xFFFF;
    plat::SetConnectedStateForTesting(false);
    EXPECT_FALSE(plat::InternetGetConnectedState(&flags));
    EXPECT_EQ(flags, 0u);
    plat::SetConnectedStateForTesting(true);
    EXPECT_TRUE(plat::InternetGetConnectedState(&flags));
    EXPECT_EQ(flags, uint32_t(plat::kInternetConnectionLan));
    plat::SetConnectedStateForTesting(std::nullopt);
}

TEST(Internet, CheckConnectionConnectsToTheUrlsHostAndPort) {
    fakes::Listener open;
    fakes::RefusingPort refusing;
    plat::RedirectHostForTesting(L"probe.test", 888, open.port());
    plat::RedirectHostForTesting(L"down.test", 80, refusing.port());

    EXPECT_TRUE(plat::InternetCheckConnection(L"http://probe.test:888/", plat::kFlagIccForceConnection));
    EXPECT_FALSE(plat::InternetCheckConnection(L"http://down.test/", plat::kFlagIccForceConnection));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInternetCannotConnect));
    EXPECT_TRUE(plat::InternetCheckConnection(
        L"http://127.0.0.1:" + std::to_wstring(open.port()) + L"/", plat::kFlagIccForceConnection));
    EXPECT_FALSE(plat::InternetCheckConnection(L"", plat::kFlagIccForceConnection));
    plat::ClearHostRedirectsForTesting();
}

TEST(Internet, HandlesAreCheckedForKind) {
    plat::InternetHandle session = plat::InternetOpen(L"agent", plat::kInternetOpenTypeDirect, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(plat::HttpOpenRequest(session, L"GET", L"/", L"HTTP/1.0", L"", 0), nullptr);
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInternetIncorrectHandleType));
    uint32_t value = 0, length = sizeof value;
    EXPECT_FALSE(plat::InternetQueryOption(session, plat::kInternetOptionSecurityFlags, &value, &length));
    EXPECT_EQ(plat::InternetConnect(session, L"", 80, nullptr, nullptr, plat::kInternetServiceHttp, 0),
              nullptr);
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInvalidParameter));
    EXPECT_TRUE(plat::InternetCloseHandle(session));
    EXPECT_FALSE(plat::InternetCloseHandle(session));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInvalidHandle));
    EXPECT_EQ(plat::InternetOpen(L"agent", 7, 0), nullptr);
}

class InternetHttps : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    void TearDown() override {
        plat::ClearHostRedirectsForTesting();
        plat::SetExtraCaFileForTesting("");
    }
    std::wstring Url(const std::wstring& path) {
        return L"https://localhost:" + std::to_wstring(server.port()) + path;
    }
    TestDir dir;
    fakes::HttpsServer server{dir.path()};
};

// Opening a URL checks the certificate fully: trusted issuer, host name and dates.
TEST_F(InternetHttps, OpenUrlChecksCertificatesFully) {
    TestDir expiredDir;
    fakes::HttpsServer expired(expiredDir.path(), true);
    ASSERT_TRUE(expired.ok());
    plat::RedirectHostForTesting(L"report.test", 443, server.port());
    std::wstring expiredUrl = L"https://localhost:" + std::to_wstring(expired.port()) + L"/utf8";
    struct Case {
        std::wstring url;
        std::string ca;
        uint32_t code;
    } cases[] = {
        {Url(L"/utf8"), server.caFile(), 0},
        {Url(L"/utf8"), "", plat::kErrorInternetInvalidCa},
        {L"https://report.test/utf8", server.caFile(), plat::kErrorInternetSecCertCnInvalid},
        {expiredUrl, expired.caFile(), plat::kErrorInternetSecCertDateInvalid},
        {L"gopher://localhost/", server.caFile(), plat::kErrorInternetUnrecognizedScheme},
    };
    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypePreconfig,
                                                      plat::kInternetFlagDontCache);
    ASSERT_NE(session, nullptr);
    for (const Case& c : cases) {
        plat::SetExtraCaFileForTesting(c.ca);
        plat::InternetHandle file = plat::InternetOpenUrl(session, c.url, L"", plat::kInternetFlagTransferAscii);
        EXPECT_EQ(file != nullptr, c.code == 0) << plat::NarrowFromWide(c.url);
        if (!file) {
            EXPECT_EQ(plat::InternetGetLastError(), c.code) << plat::NarrowFromWide(c.url);
            continue;
        }
        uint32_t status = 0, length = sizeof status;
        EXPECT_TRUE(plat::HttpQueryInfo(file, plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber,
                                        &status, &length));
        EXPECT_EQ(status, 200u);
        std::string body;
        EXPECT_TRUE(ReadBody(file, body));
        EXPECT_EQ(body, "Gr\xC3\xBC\xC3\x9F" "e");
        plat::InternetCloseHandle(file);
    }
    plat::InternetCloseHandle(session);
}

TEST_F(InternetHttps, QueryInfoTextsAndBufferSizes) {
    plat::SetExtraCaFileForTesting(server.caFile());
    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypeDirect, 0);
    plat::InternetHandle file = plat::InternetOpenUrl(session, Url(L"/status/404"), L"", 0);
    ASSERT_NE(file, nullptr);
    wchar_t text[64];
    uint32_t length = 2;
    EXPECT_FALSE(plat::HttpQueryInfo(file, plat::kHttpQueryStatusCode, text, &length));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInsufficientBuffer));
    EXPECT_EQ(length, 4 * sizeof(wchar_t));  // "404" and its terminating zero
    length = sizeof text;
    ASSERT_TRUE(plat::HttpQueryInfo(file, plat::kHttpQueryStatusCode, text, &length));
    EXPECT_EQ(std::wstring(text), L"404");
    EXPECT_EQ(length, 3 * sizeof(wchar_t));
    length = sizeof text;
    ASSERT_TRUE(plat::HttpQueryInfo(file, plat::kHttpQueryStatusText, text, &length));
    EXPECT_EQ(std::wstring(text), L"Not Found");
    uint32_t size = 0;
    length = sizeof size;
    ASSERT_TRUE(plat::HttpQueryInfo(file, plat::kHttpQueryContentLength | plat::kHttpQueryFlagNumber,
                                    &size, &length));
    EXPECT_EQ(size, std::string("status 404 body").size());
    plat::InternetCloseHandle(file);
    plat::InternetCloseHandle(session);
}

TEST_F(InternetHttps, RedirectsAreFollowed) {
    plat::SetExtraCaFileForTesting(server.caFile());
    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypeDirect, 0);
    plat::InternetHandle file = plat::InternetOpenUrl(session, Url(L"/redirect"), L"", 0);
    ASSERT_NE(file, nullptr);
    uint32_t status = 0, length = sizeof status;
    EXPECT_TRUE(plat::HttpQueryInfo(file, plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber,
                                    &status, &length));
    EXPECT_EQ(status, 200u);
    std::string body;
    EXPECT_TRUE(ReadBody(file, body));
    EXPECT_EQ(body, "status 200 body");
    plat::InternetCloseHandle(file);
    plat::InternetCloseHandle(session);
}

TEST(InternetFtp, PutFileAndItsRefusals) {
    TestDir root, local;
    fakes::FtpServer server(root.path(), {"user", "secret", false, "ro"});
    ASSERT_TRUE(server.ok());
    std::ofstream(local / "a.txt") << "contents";
    std::filesystem::create_directories(root / "in");

    plat::InternetHandle session = plat::InternetOpen(L"", plat::kInternetOpenTypeDirect, 0);
    std::wstring user = L"user", password = L"secret";
    plat::InternetHandle ftp = plat::InternetConnect(session, L"127.0.0.1", server.port(), &user,
                                                     &password, plat::kInternetServiceFtp,
                                                     plat::kInternetFlagPassive);
    ASSERT_NE(ftp, nullptr);
    std::wstring file = plat::WideFromNarrow(local / "a.txt");

    // Backslashes separate folders; a leading separator starts at the server's root.
    EXPECT_TRUE(plat::FtpPutFile(ftp, file, L"in\\b.txt", plat::kFtpTransferTypeBinary));
    EXPECT_TRUE(plat::FtpPutFile(ftp, file, L"/c d.txt", plat::kFtpTransferTypeBinary));
    EXPECT_EQ(ReadAll(root / "in/b.txt"), "contents");
    EXPECT_EQ(ReadAll(root / "c d.txt"), "contents");

    EXPECT_FALSE(plat::FtpPutFile(ftp, plat::WideFromNarrow(local / "missing"), L"x", 0));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorFileNotFound));

    EXPECT_FALSE(plat::FtpPutFile(ftp, file, L"ro/x.txt", plat::kFtpTransferTypeBinary));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInternetExtendedError));
    wchar_t reply[512];
    uint32_t length = 3, code = 0;
    EXPECT_FALSE(plat::InternetGetLastResponseInfo(&code, reply, &length));
    EXPECT_EQ(plat::InternetGetLastError(), uint32_t(plat::kErrorInsufficientBuffer));
    EXPECT_GT(length, 4u);
    length = 512;
    ASSERT_TRUE(plat::InternetGetLastResponseInfo(&code, reply, &length));
    EXPECT_EQ(std::wstring(reply, length).substr(0, 4), L"550 ");
    EXPECT_EQ(code, 550u);

    // The connection still serves after a refusal.
    EXPECT_TRUE(plat::FtpPutFile(ftp, file, L"in/d.txt", plat::kFtpTransferTypeAscii));
    EXPECT_EQ(ReadAll(root / "in/d.txt"), "contents");
    plat::InternetCloseHandle(ftp);
    plat::InternetCloseHandle(session);
}
