#include "InternetAgent.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "Clock.h"
#include "Errors.h"
#include "ProcessHelpers.h"
#include "Text.h"

namespace RYL {

namespace {

const wchar_t kAgentName[] = L"Zelk Service Tool";
const wchar_t kAddedHeaders[] =
    L"Accept: */*\r\nUser-Agent: RYL/2.0 (compatible; MSIE 7.0; Windows NT 5.1)\r\n";
const uint32_t kReceiveTimeoutMs = 25000;
const uint32_t kBodyDeadlineMs = 25000;
const uint32_t kReadSize = 2047;
const uint32_t kLastResponseChars = 512;

// A failure inside an operation; caught again at the operation's boundary.
struct Failure {
    std::string text;
};

[[noreturn]] void Raise(const char* call, uint32_t code) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed (ErrorCode=0x%08X)", call, code);
    throw Failure{text};
}

// Closes an internet handle when the call that opened it ends.
class Handle {
public:
    Handle() = default;
    ~Handle() {
        if (h_) plat::InternetCloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(plat::InternetHandle h) {
        h_ = h;
        return *this;
    }
    operator plat::InternetHandle() const { return h_; }

private:
    plat::InternetHandle h_ = nullptr;
};

}  // namespace

const wchar_t* const CInternetAgent::ProbeUrls[7] = {
    L"http://www.zelk.com/",
    L"http://support.zelk.com:888/",
    L"http://www.zelkmobile.com/",
    L"http://www.google.com/",
    L"http://www.bing.com/",
    L"http://www.yahoo.com/",
    L"http://www.baidu.com/",
};

CInternetAgent::CInternetAgent(void* parent, void* reserved) : parent_(parent), reserved_(reserved) {}

CInternetAgent::~CInternetAgent() = default;

bool CInternetAgent::CheckConnection(uint32_t* flags) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t state = 0;
        bool connected = plat::InternetGetConnectedState(&state);
        if (flags) *flags = state;
        if (connected) {
            for (const wchar_t* url : ProbeUrls) {
                if (plat::InternetCheckConnection(url, plat::kFlagIccForceConnection)) return true;
                if (plat::InternetGetLastError() == plat::kErrorInternetOperationCancelled) break;
            }
            return false;
        }
        WaitMilliseconds(1000);
    }
    return false;
}

bool CInternetAgent::HttpGet(const std::wstring& in_strHttpServerDns, const std::wstring& path,
                             const std::wstring& query, std::wstring* response, uint32_t* status,
                             bool https, std::wstring* error) {
    std::string failure;
    try {
        // Closed in reverse order when the call ends.
        Handle session, connection, request;
        if (!CheckConnection(nullptr)) throw Failure{"Can not connect to the Internet"};

        session = plat::InternetOpen(kAgentName, plat::kInternetOpenTypePreconfig, 0);
        if (!session) Raise("InternetOpen()", plat::InternetGetLastError());

        if (in_strHttpServerDns.empty()) throw Failure{"in_strHttpServerDns is empty"};
        uint16_t port = https ? plat::kInternetDefaultHttpsPort : plat::kInternetDefaultHttpPort;
        connection = plat::InternetConnect(session, in_strHttpServerDns, port, nullptr, nullptr,
                                           plat::kInternetServiceHttp, 0);
        if (!connection) Raise("InternetConnect()", plat::InternetGetLastError());

        if (path.empty()) throw Failure{"Invalid CGI parameter(s)"};
        std::wstring object = path + L"?" + query;
        uint32_t flags = https ? plat::kInternetFlagSecure | plat::kInternetFlagIgnoreCertDateInvalid |
                                     plat::kInternetFlagIgnoreCertCnInvalid
                               : plat::kInternetFlagNoCacheWrite;
        request = plat::HttpOpenRequest(connection, L"GET", object, L"HTTP/1.0", L"", flags);
        if (!request) Raise("HttpOpenRequest()", plat::InternetGetLastError());

        if (!plat::HttpAddRequestHeaders(request, kAddedHeaders, plat::kHttpAddReqFlagAdd))
            Raise("HttpAddRequestHeaders()", plat::InternetGetLastError());

        if (https) {
            uint32_t security = 0;
            uint32_t length = sizeof security;
            if (!plat::InternetQueryOption(request, plat::kInternetOptionSecurityFlags, &security,
                                           &length))
                Raise("InternetQueryOption()", plat::InternetGetLastError());
            security |= plat::kSecurityFlagIgnoreRevocation;
            if (!plat::InternetSetOption(request, plat::kInternetOptionSecurityFlags, &security,
                                         sizeof security))
                Raise("InternetSetOption()", plat::InternetGetLastError());
        }

        uint32_t timeout = kReceiveTimeoutMs;
        if (!plat::InternetSetOption(request, plat::kInternetOptionReceiveTimeout, &timeout,
                                     sizeof timeout))
            Raise("InternetSetOption() failed for INTERNET_OPTION_RECEIVE_TIMEOUT",
                  plat::InternetGetLastError());

        if (!plat::HttpSendRequest(request)) Raise("HttpSendRequest()", plat::InternetGetLastError());

        uint32_t replyStatus = 0;
        uint32_t length = sizeof replyStatus;
        uint32_t code = 0;
        if (!RetrieveHttpInfo(request, plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber,
                              &replyStatus, &length, &code))
            Raise("CInternetAgent::RetrieveHttpInfo()", code);
        if (status) *status = replyStatus;

        std::vector<char> buffer;
        try {
            buffer.assign(kReadSize + 1, 0);
        } catch (const std::bad_alloc&) {
            throw Failure{"Failed to allocate memory for pszText"};
        }
        std::string body;
        const uint64_t deadline = plat::RealNowMs() + kBodyDeadlineMs;
        for (;;) {
            if (plat::RealNowMs() > deadline) throw Failure{"InternetReadFile() timed out"};
            std::fill(buffer.begin(), buffer.end(), 0);
            uint32_t read = 0;
            if (!plat::InternetReadFile(request, buffer.data(), kReadSize, &read))
                Raise("InternetReadFile()", plat::InternetGetLastError());
            if (read == 0) break;
            // A zero byte ends what this chunk contributes.
            const void* nul = std::memchr(buffer.data(), 0, read);
            body.append(buffer.data(), nul ? static_cast<const char*>(nul) - buffer.data() : read);
        }

        std::wstring text = plat::WideFromNarrow(body);
        if (text.empty()) throw Failure{"The HTTP Response text is empty"};
        if (response) *response = std::move(text);
        return true;
    } catch (const Failure& f) {
        failure = f.text;
    } catch (...) {
        failure = "Unrecognized exception";
    }
    if (error) *error = L"[CInternetAgent::HttpGet]: " + plat::WideFromNarrow(failure) + L"!\n";
    return false;
}

bool CInternetAgent::FtpUpload(const std::wstring& in_strFtpServerIp, uint16_t port,
                               const std::wstring& in_strRemoteFilePath,
                               const std::wstring& in_strLocalFilePath, const std::wstring& user,
                               const std::wstring& password, bool passive, uint32_t transferFlags,
                               uint32_t* code, std::wstring* error) {
    uint32_t result = plat::kEFail;
    std::wstring text;
    try {
        Handle session, connection;
        if (!CheckConnection(nullptr)) {
            if (plat::InternetGetLastError() == plat::kErrorInternetOperationCancelled)
                result = plat::kErrorInternetOperationCancelled;  // the thread was asked to stop
            else
                text = L"Can not connect to Internet! \r\nPlease check your Internet connection.";
        } else if (!(session = plat::InternetOpen(L"", plat::kInternetOpenTypeDirect, 0))) {
            result = plat::InternetGetLastError();
        } else if (in_strFtpServerIp.empty()) {
            // refused with the starting code and text
        } else if (!(connection = plat::InternetConnect(
                         session, in_strFtpServerIp, port, user.empty() ? nullptr : &user,
                         password.empty() ? nullptr : &password, plat::kInternetServiceFtp,
                         passive ? static_cast<uint32_t>(plat::kInternetFlagPassive) : 0u))) {
            result = plat::InternetGetLastError();
        } else if (in_strRemoteFilePath.empty() || in_strLocalFilePath.empty()) {
            // refused with the starting code and text
        } else if (!plat::FtpPutFile(connection, in_strLocalFilePath, in_strRemoteFilePath,
                                     transferFlags)) {
            result = plat::InternetGetLastError();
        } else {
            if (code) *code = 0;
            if (error) error->clear();
            return true;
        }

        if (result == plat::kErrorInternetExtendedError) {
            wchar_t reply[kLastResponseChars];
            uint32_t length = kLastResponseChars;
            uint32_t replyCode = 0;
            if (plat::InternetGetLastResponseInfo(&replyCode, reply, &length) && length > 0)
                text.assign(reply, length);
        } else {
            std::wstring message;
            if (GetModuleMessageText(L"wininet.dll", result, message)) text = message;
        }
    } catch (...) {
        // keeps the code and text reached so far
    }
    if (code) *code = result;
    if (error) *error = text;
    return false;
}

bool CInternetAgent::RetrieveHttpInfo(plat::InternetHandle request, uint32_t infoLevel,
                                      void* buffer, uint32_t* length, uint32_t* code) {
    if (!request || !buffer || !length || *length == 0) {
        if (code) *code = plat::kEFail;
        return false;
    }
    if (!plat::HttpQueryInfo(request, infoLevel, buffer, length)) {
        if (code) *code = plat::InternetGetLastError();
        return false;
    }
    if (code) *code = 0;
    return true;
}

}  // namespace RYL
