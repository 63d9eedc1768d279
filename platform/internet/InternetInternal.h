// What the parts of the internet client share: the handle objects, the transfer driver, the
// failure bookkeeping and the test-only routing. Not for use outside platform/Internet*.cpp.
#pragma once
#include "Errors.h"
#include "Internet.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

namespace inet {

// The calling thread's last error (InternetGetLastError).
extern thread_local uint32_t t_lastError;

// Set the thread's last error: false / null with the code, or true with success.
bool Fail(uint32_t code);
InternetHandle FailHandle(uint32_t code);
bool Succeed();

void InitCurlOnce();

// Host and port as a URL authority (IPv6 literals in brackets).
std::string Authority(const std::string& host, uint16_t port);

struct CurlSlist {
    curl_slist* list = nullptr;
    ~CurlSlist() { curl_slist_free_all(list); }
    void Append(const std::string& line) {
        if (curl_slist* l = curl_slist_append(list, line.c_str())) list = l;
    }
    void Clear() {
        curl_slist_free_all(list);
        list = nullptr;
    }
};

// Certificate settings handed to the TLS context of a transfer.
struct TlsSettings {
    bool ignoreDates = false;
    std::string extraCaFile;
};

// ---- test-only routing (InternetTesting.cpp) ----

// The curl "connect to" entry for host:port, or empty when it is not redirected.
std::string RedirectFor(const std::string& host, uint16_t port);
// The extra CA file that TLS transfers trust; empty: none.
std::string ExtraCaFile();
// The connected state that tests force; empty: the real one.
std::optional<bool> ForcedConnectedState();

// ---- the transfer and its time limits (InternetTransfer.cpp) ----

// InternetCheckConnection's limit on making its connection.
inline constexpr uint32_t kProbeConnectTimeoutMs = 10000;

// One easy handle driven through its own multi handle, so that the caller's thread decides how
// long it waits for the peer (on the real-time clock), and a stop request to the thread ends
// the wait.
struct Transfer {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool attached = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    bool connected = false;     // the connection to the peer is made (kept by a later run)
    std::vector<curl_socket_t> sockets;  // opened for the transfer
    uint64_t started = 0;       // RealNowMs() of the run's start
    uint64_t lastActivity = 0;  // RealNowMs() of the connection or the last progress

    Transfer();
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool Valid() const { return multi && easy; }
    void Activity();
    bool Attach();
    void Detach();
    // The connection counts as made once one of the transfer's sockets has its peer (before
    // TLS, which the receive limit covers).
    void NoteConnection();
    static int OnSocket(void* user, curl_socket_t s, curlsocktype);

    // Runs the transfer until ready() holds or it ends. False with the code when it failed, with
    // a time-out when the connection was not made within the connect limit, when nothing arrived
    // within the receive limit after the connection or the last progress (0 ms: no limit), or at
    // the thread's deadline, and cancelled when the thread is asked to stop.
    bool Pump(const std::function<bool()>& ready, uint32_t connectTimeoutMs, uint32_t receiveTimeoutMs);
};

// ---- the handle objects (Internet.cpp) ----

enum class Kind { Session, Connection, Request };

}  // namespace inet

struct InternetObject {
    explicit InternetObject(inet::Kind k) : kind(k) {}
    virtual ~InternetObject() = default;
    const inet::Kind kind;
    std::mutex lock;
    uint32_t flags = 0;
    // The limits a new object starts with; a connection and its requests take their parent's
    // (InheritTimeLimits), and InternetSetOption changes them.
    uint32_t connectTimeoutMs = 60000;
    uint32_t receiveTimeoutMs = 30000;
};

namespace inet {

struct Session : InternetObject {
    Session() : InternetObject(Kind::Session) {}
    std::string agent;
    uint32_t accessType = kInternetOpenTypePreconfig;
};

struct Connection : InternetObject {
    Connection() : InternetObject(Kind::Connection) {}
    ~Connection() override { ftp.reset(); }
    std::shared_ptr<Session> session;
    std::string host;
    uint16_t port = 0;
    uint32_t service = kInternetServiceHttp;
    std::string user, password;  // FTP
    std::unique_ptr<Transfer> ftp;  // the logged-in control connection
    CurlSlist connectTo;
    std::string replyLines;         // FTP reply being received
    std::FILE* upload = nullptr;    // file of the running put
};

struct Request : InternetObject {
    Request() : InternetObject(Kind::Request) {}
    ~Request() override { transfer.reset(); }
    std::shared_ptr<Connection> connection;
    std::string verb, object, version, referrer;
    uint32_t securityFlags = 0;
    std::vector<std::string> headers;
    // Reply.
    std::unique_ptr<Transfer> transfer;
    CurlSlist headerList, connectTo;
    TlsSettings tls;
    bool sent = false;
    bool headersDone = false;
    uint32_t status = 0;
    std::string statusText;
    std::string rawHeaders;
    bool redirectPending = false;  // this reply's Location will be followed
    std::string body;
    size_t bodyOffset = 0;
};

InternetHandle Register(std::shared_ptr<InternetObject> object);
std::shared_ptr<InternetObject> Lookup(InternetHandle handle);

template <class T>
std::shared_ptr<T> LookupAs(InternetHandle handle, Kind kind) {
    std::shared_ptr<InternetObject> object = Lookup(handle);
    if (!object) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    if (object->kind != kind) {
        Fail(kErrorInternetIncorrectHandleType);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Option and query values into and out of the caller's buffer.
bool ReadU32(const void* buffer, uint32_t length, uint32_t& value);
bool WriteU32(uint32_t value, void* buffer, uint32_t* length);
bool WriteText(const std::string& text, void* buffer, uint32_t* length);

// The parent's connect and receive limits, for a new connection or request (the caller holds
// what lock the parent needs).
void InheritTimeLimits(const InternetObject& parent, InternetObject& child);
// Sets what every transfer of a connection shares: proxy, redirection, connect time-out.
void ConfigureRoute(CURL* easy, const Connection& c, CurlSlist& connectTo);

// ---- FTP (InternetFtp.cpp) ----

// Logs the connection in on a new control connection; false with the thread's last error.
bool FtpLogin(Connection& c);

}  // namespace inet

}  // namespace plat
