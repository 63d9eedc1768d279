// The internet client: sessions, connections, HTTP requests and FTP uploads, shaped after the
// operating system's internet library the design names, implemented on libcurl.
// Every failing call returns false (or a null handle) and leaves its code in InternetGetLastError()
// of the calling thread; the codes are the 12xxx internet codes (texts: ModuleMessageText with
// "wininet.dll") or, for local failures, the system codes of Errors.h.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct InternetObject;
using InternetHandle = InternetObject*;  // session, connection or request; null on failure

// Error codes of the internet client.
enum : uint32_t {
    kErrorInternetOutOfHandles = 12001,
    kErrorInternetTimeout = 12002,
    kErrorInternetExtendedError = 12003,  // the server refused; see InternetGetLastResponseInfo
    kErrorInternetInternalError = 12004,
    kErrorInternetInvalidUrl = 12005,
    kErrorInternetUnrecognizedScheme = 12006,
    kErrorInternetNameNotResolved = 12007,
    kErrorInternetInvalidOption = 12009,
    kErrorInternetBadOptionLength = 12010,
    kErrorInternetOptionNotSettable = 12011,
    kErrorInternetOperationCancelled = 12017,
    kErrorInternetIncorrectHandleType = 12018,
    kErrorInternetIncorrectHandleState = 12019,
    kErrorInternetCannotConnect = 12029,
    kErrorInternetConnectionAborted = 12030,
    kErrorInternetConnectionReset = 12031,
    kErrorInternetSecCertDateInvalid = 12037,
    kErrorInternetSecCertCnInvalid = 12038,
    kErrorInternetInvalidCa = 12045,
    kErrorHttpHeaderNotFound = 12150,
    kErrorHttpInvalidServerResponse = 12152,
    kErrorHttpRedirectFailed = 12156,
    kErrorInternetSecurityChannelError = 12157,
};

// Access types of InternetOpen.
enum : uint32_t {
    kInternetOpenTypePreconfig = 0,  // the system's proxy settings (here: the proxy variables)
    kInternetOpenTypeDirect = 1,     // no proxy
};

// Services and ports of InternetConnect.
enum : uint32_t {
    kInternetServiceFtp = 1,
    kInternetServiceHttp = 3,
};
enum : uint16_t {
    kInternetDefaultPort = 0,  // the service's own
    kInternetDefaultFtpPort = 21,
    kInternetDefaultHttpPort = 80,
    kInternetDefaultHttpsPort = 443,
};

// Flags of sessions, connections and requests.
enum : uint32_t {
    kInternetFlagTransferAscii = 0x00000001,
    kInternetFlagIgnoreCertCnInvalid = 0x00001000,
    kInternetFlagIgnoreCertDateInvalid = 0x00002000,
    kInternetFlagSecure = 0x00800000,
    kInternetFlagNoCacheWrite = 0x04000000,
    kInternetFlagDontCache = kInternetFlagNoCacheWrite,
    kInternetFlagPassive = 0x08000000,
    kInternetFlagNoAutoRedirect = 0x00200000,
};

// Transfer types of FtpPutFile.
enum : uint32_t {
    kFtpTransferTypeAscii = 0x1,
    kFtpTransferTypeBinary = 0x2,
};

// Connection-state flags of InternetGetConnectedState.
enum : uint32_t {
    kInternetConnectionLan = 0x02,
};

enum : uint32_t { kFlagIccForceConnection = 0x1 };  // InternetCheckConnection
enum : uint32_t { kHttpAddReqFlagAdd = 0x20000000 };

// Options of InternetQueryOption / InternetSetOption (32-bit values).
enum : uint32_t {
    kInternetOptionConnectTimeout = 2,
    kInternetOptionReceiveTimeout = 6,
    kInternetOptionSecurityFlags = 31,
};
enum : uint32_t {
    kSecurityFlagSecure = 0x00000001,
    kSecurityFlagIgnoreRevocation = 0x00000080,
    kSecurityFlagIgnoreUnknownCa = 0x00000100,
    kSecurityFlagIgnoreCertCnInvalid = 0x00001000,
    kSecurityFlagIgnoreCertDateInvalid = 0x00002000,
};

// Information levels of HttpQueryInfo.
enum : uint32_t {
    kHttpQueryContentLength = 5,
    kHttpQueryStatusCode = 19,
    kHttpQueryStatusText = 20,
    kHttpQueryRawHeadersCrlf = 22,
    kHttpQueryFlagNumber = 0x20000000,  // the value as a 32-bit number instead of text
};

uint32_t InternetGetLastError();  // of the calling thread

// True when a network interface other than loopback is up; flags get the connection-state flags.
bool InternetGetConnectedState(uint32_t* flags);
// True when a connection to the URL's host and port can be made now.
bool InternetCheckConnection(const std::wstring& url, uint32_t flags);

InternetHandle InternetOpen(const std::wstring& agent, uint32_t accessType, uint32_t flags);
// HTTP: only remembers the host. FTP: connects and logs in (empty user: anonymous).
InternetHandle InternetConnect(InternetHandle session, const std::wstring& server, uint16_t port,
                               const std::wstring* user, const std::wstring* password,
                               uint32_t service, uint32_t flags);
InternetHandle HttpOpenRequest(InternetHandle connection, const std::wstring& verb,
                               const std::wstring& object, const std::wstring& version,
                               const std::wstring& referrer, uint32_t flags);
// Headers: lines ended by CR LF.
bool HttpAddRequestHeaders(InternetHandle request, const std::wstring& headers, uint32_t modifiers);
bool InternetQueryOption(InternetHandle handle, uint32_t option, void* buffer, uint32_t* length);
bool InternetSetOption(InternetHandle handle, uint32_t option, const void* buffer, uint32_t length);
// Sends the request and returns once the reply's headers have arrived.
bool HttpSendRequest(InternetHandle request);
// Opens an http or https URL with a GET (full certificate checks unless flags relax them);
// the handle reads like a sent request.
InternetHandle InternetOpenUrl(InternetHandle session, const std::wstring& url,
                               const std::wstring& headers, uint32_t flags);
// Number levels write a uint32_t; text levels write wide text with a terminating zero, and
// length is in bytes both ways. Too small: kErrorInsufficientBuffer and the needed length.
bool HttpQueryInfo(InternetHandle request, uint32_t level, void* buffer, uint32_t* length);
// Up to toRead bytes of the body; 0 bytes read means the body has ended.
bool InternetReadFile(InternetHandle request, void* buffer, uint32_t toRead, uint32_t* read);
bool FtpPutFile(InternetHandle connection, const std::wstring& localFile,
                const std::wstring& remoteFile, uint32_t flags);
// The server's last reply on this thread (FTP). length: characters in, characters written out
// (without the terminating zero); too small: false, kErrorInsufficientBuffer and the needed length.
bool InternetGetLastResponseInfo(uint32_t* error, wchar_t* buffer, uint32_t* length);
bool InternetCloseHandle(InternetHandle handle);

// While it lives, the internet calls of the constructing thread wait no longer than the given
// time in all (real time, whatever the station clock's speed): a call that reaches the limit
// fails with kErrorInternetTimeout. Every call also ends within moments, with
// kErrorInternetOperationCancelled, once the thread's StopSignal (Process.h) is asked to stop.
class InternetTimeLimit {
public:
    explicit InternetTimeLimit(uint32_t milliseconds);
    ~InternetTimeLimit();
    InternetTimeLimit(const InternetTimeLimit&) = delete;
    InternetTimeLimit& operator=(const InternetTimeLimit&) = delete;

private:
    uint64_t previous_;
};

// Tests only; the shipped program never sets these.
// Connections to host:port go to 127.0.0.1:toPort instead (without a proxy).
void RedirectHostForTesting(const std::wstring& host, uint16_t port, uint16_t toPort);
void ClearHostRedirectsForTesting();
// Issuers in this PEM file are trusted besides the system's (empty: none).
void SetExtraCaFileForTesting(const std::string& pemFile);
// Overrides the answer of InternetGetConnectedState (nullopt: ask the interfaces again).
void SetConnectedStateForTesting(std::optional<bool> connected);

}  // namespace plat
