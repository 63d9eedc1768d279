#include "Internet.h"

#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "Clock.h"
#include "Errors.h"
#include "InternetCurlCodes.h"
#include "Paths.h"
#include "Process.h"
#include "Text.h"

namespace plat {

namespace {

thread_local uint32_t t_lastError = 0;
thread_local std::string t_lastResponse;  // the server's last complete reply (FTP), UTF-8

bool Fail(uint32_t code) {
    t_lastError = code;
    return false;
}

InternetHandle FailHandle(uint32_t code) {
    t_lastError = code;
    return nullptr;
}

bool Succeed() {
    t_lastError = kErrorSuccess;
    return true;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Test-only settings.
struct Testing {
    std::mutex lock;
    std::map<std::string, uint16_t> redirects;  // "host:port" -> loopback port
    std::string caFile;
    std::optional<bool> connected;
};

Testing& TestSettings() {
    static Testing testing;
    return testing;
}

std::string RedirectKey(std::string host, uint16_t port) {
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host + ":" + std::to_string(port);
}

// The curl "connect to" entry for host:port, or empty when it is not redirected.
std::string RedirectFor(const std::string& host, uint16_t port) {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.redirects.find(RedirectKey(host, port));
    if (it == t.redirects.end()) return {};
    return host + ":" + std::to_string(port) + ":127.0.0.1:" + std::to_string(it->second);
}

std::string ExtraCaFile() {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.caFile;
}

// Host and port as a URL authority (IPv6 literals in brackets).
std::string Authority(const std::string& host, uint16_t port) {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port);
}

// Bytes a URL cannot carry as they are ('#' would end the path) are sent escaped.
std::string EscapeUnsafe(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || c == '#') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

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

CURLcode ConfigureTls(CURL*, void* sslCtx, void* user) {
    auto* settings = static_cast<TlsSettings*>(user);
    auto* ctx = static_cast<SSL_CTX*>(sslCtx);
    if (settings->ignoreDates)
        X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), X509_V_FLAG_NO_CHECK_TIME);
    if (!settings->extraCaFile.empty() &&
        X509_STORE_load_file(SSL_CTX_get_cert_store(ctx), settings->extraCaFile.c_str()) != 1)
        return CURLE_SSL_CACERT_BADFILE;
    return CURLE_OK;
}

// An InternetTimeLimit bounds how long the thread is blocked: real time, whatever the speed of
// the station clock.
thread_local uint64_t t_deadline = 0;  // RealNowMs() limit of the thread's calls; 0: none

const uint32_t kProbeConnectTimeoutMs = 10000;  // InternetCheckConnection

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

    Transfer() {
        InitCurlOnce();
        multi = curl_multi_init();
        easy = curl_easy_init();
        if (easy) {
            curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnSocket);
            curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
        }
    }
    ~Transfer() {
        Detach();
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool Valid() const { return multi && easy; }
    void Activity() {
        connected = true;
        lastActivity = RealNowMs();
    }
    bool Attach() {
        Detach();
        sockets.clear();
        done = false;
        result = CURLE_OK;
        started = lastActivity = RealNowMs();
        attached = curl_multi_add_handle(multi, easy) == CURLM_OK;
        return attached;
    }
    void Detach() {
        if (attached) curl_multi_remove_handle(multi, easy);
        attached = false;
    }
    // The connection counts as made once one of the transfer's sockets has its peer (before
    // TLS, which the receive limit covers).
    void NoteConnection() {
        if (connected) return;
        for (curl_socket_t s : sockets) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
                Activity();
                return;
            }
        }
    }
    static int OnSocket(void* user, curl_socket_t s, curlsocktype) {
        static_cast<Transfer*>(user)->sockets.push_back(s);
        return CURL_SOCKOPT_OK;
    }

    // Runs the transfer until ready() holds or it ends. False with the code when it failed, with
    // a time-out when the connection was not made within the connect limit, when nothing arrived
    // within the receive limit after the connection or the last progress (0 ms: no limit), or at
    // the thread's deadline, and cancelled when the thread is asked to stop.
    bool Pump(const std::function<bool()>& ready, uint32_t connectTimeoutMs,
              uint32_t receiveTimeoutMs) {
        const std::shared_ptr<StopSignal> stop = ThreadStopSignal();
        for (;;) {
            if (stop && stop->StopRequested()) return Fail(kErrorInternetOperationCancelled);
            if (!done) {
                int running = 0;
                if (curl_multi_perform(multi, &running) != CURLM_OK)
                    return Fail(kErrorInternetInternalError);
                int left = 0;
                while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                    if (msg->msg == CURLMSG_DONE) {
                        done = true;
                        result = msg->data.result;
                    }
                }
                NoteConnection();
            }
            if (ready()) return true;
            if (done) {
                if (result == CURLE_OK) return true;
                long verify = 0;
                curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
                return Fail(InternetCodeFromCurl(result, verify));
            }
            const uint64_t now = RealNowMs();
            if (!connected && connectTimeoutMs && now - started > RealWorkLimitMs(connectTimeoutMs))
                return Fail(kErrorInternetTimeout);
            if (connected && receiveTimeoutMs && now - lastActivity > RealWorkLimitMs(receiveTimeoutMs))
                return Fail(kErrorInternetTimeout);
            if (t_deadline && RealNowMs() >= t_deadline) return Fail(kErrorInternetTimeout);
            curl_multi_poll(multi, nullptr, 0, 20, nullptr);
        }
    }
};

enum class Kind { Session, Connection, Request };

}  // namespace

struct InternetObject {
    explicit InternetObject(Kind k) : kind(k) {}
    virtual ~InternetObject() = default;
    const Kind kind;
    std::mutex lock;
    uint32_t flags = 0;
    uint32_t connectTimeoutMs = 60000;
    uint32_t receiveTimeoutMs = 30000;
};

namespace {

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

std::mutex g_handlesLock;
std::unordered_map<InternetObject*, std::shared_ptr<InternetObject>> g_handles;

InternetHandle Register(std::shared_ptr<InternetObject> object) {
    InternetObject* raw = object.get();
    std::lock_guard<std::mutex> guard(g_handlesLock);
    g_handles.emplace(raw, std::move(object));
    t_lastError = kErrorSuccess;
    return raw;
}

std::shared_ptr<InternetObject> Lookup(InternetHandle handle) {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    auto it = g_handles.find(handle);
    return it == g_handles.end() ? nullptr : it->second;
}

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

bool ReadU32(const void* buffer, uint32_t length, uint32_t& value) {
    if (!buffer) return Fail(kErrorInvalidParameter);
    if (length != sizeof(uint32_t)) return Fail(kErrorInternetBadOptionLength);
    std::memcpy(&value, buffer, sizeof value);
    return true;
}

bool WriteU32(uint32_t value, void* buffer, uint32_t* length) {
    if (!length) return Fail(kErrorInvalidParameter);
    if (!buffer || *length < sizeof(uint32_t)) {
        *length = sizeof(uint32_t);
        return Fail(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, &value, sizeof value);
    *length = sizeof(uint32_t);
    return Succeed();
}

bool WriteText(const std::string& text, void* buffer, uint32_t* length) {
    if (!length) return Fail(kErrorInvalidParameter);
    std::wstring wide = WideFromNarrow(text);
    uint32_t needed = static_cast<uint32_t>((wide.size() + 1) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, wide.c_str(), needed);
    *length = needed - sizeof(wchar_t);
    return Succeed();
}

// Sets what every transfer of a connection shares: proxy, redirection, connect time-out.
void ConfigureRoute(CURL* easy, const Connection& c, CurlSlist& connectTo) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(c.connectTimeoutMs));
    connectTo.Clear();
    std::string redirect = RedirectFor(c.host, c.port);
    if (!redirect.empty()) connectTo.Append(redirect);
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo.list);
    bool direct = c.session->accessType == kInternetOpenTypeDirect || !redirect.empty();
    curl_easy_setopt(easy, CURLOPT_NOPROXY, direct ? "*" : nullptr);
}

// ---- HTTP ----

size_t OnHttpHeader(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Request*>(user);
    size_t n = size * count;
    r->transfer->Activity();
    std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {  // a new reply (after a 1xx or a followed redirect)
        r->rawHeaders.clear();
        r->status = 0;
        r->statusText.clear();
        r->redirectPending = false;
        size_t sp = line.find(' ');
        if (sp != std::string::npos) {
            r->status = static_cast<uint32_t>(std::strtoul(line.c_str() + sp + 1, nullptr, 10));
            size_t sp2 = line.find(' ', sp + 1);
            if (sp2 != std::string::npos) {
                r->statusText = line.substr(sp2 + 1);
                while (!r->statusText.empty() &&
                       (r->statusText.back() == '\n' || r->statusText.back() == '\r'))
                    r->statusText.pop_back();
            }
        }
    } else if (line == "\r\n" || line == "\n") {
        if (r->status >= 200 && !r->redirectPending) r->headersDone = true;
    } else if (strncasecmp(line.c_str(), "location:", 9) == 0) {
        bool follow = !(r->flags & kInternetFlagNoAutoRedirect);
        uint32_t s = r->status;
        if (follow && (s == 301 || s == 302 || s == 303 || s == 307 || s == 308))
            r->redirectPending = true;
    }
    r->rawHeaders += line;
    return n;
}

size_t OnHttpBody(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Request*>(user);
    size_t n = size * count;
    r->transfer->Activity();
    r->headersDone = true;
    if (r->bodyOffset > 0 && r->bodyOffset == r->body.size()) {
        r->body.clear();
        r->bodyOffset = 0;
    }
    r->body.append(data, n);
    return n;
}

// Sends the request and waits for the reply's headers.
bool SendLocked(Request& r) {
    Connection& c = *r.connection;
    r.transfer = std::make_unique<Transfer>();
    if (!r.transfer->Valid()) return Fail(kErrorNotEnoughMemory);
    r.sent = true;
    r.headersDone = false;
    r.status = 0;
    r.statusText.clear();
    r.rawHeaders.clear();
    r.redirectPending = false;
    r.body.clear();
    r.bodyOffset = 0;

    CURL* easy = r.transfer->easy;
    bool secure = r.flags & kInternetFlagSecure;
    std::string url = std::string(secure ? "https://" : "http://") + Authority(c.host, c.port) +
                      (r.object[0] != '/' ? "/" : "") + EscapeUnsafe(r.object);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    ConfigureRoute(easy, c, r.connectTo);
    if (r.verb == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (r.verb == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                     r.version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    if (!c.session->agent.empty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, c.session->agent.c_str());
    if (!r.referrer.empty()) curl_easy_setopt(easy, CURLOPT_REFERER, r.referrer.c_str());

    // Added headers, in order; without an added Accept none is sent.
    r.headerList.Clear();
    bool hasAccept = false;
    for (const std::string& h : r.headers) {
        r.headerList.Append(h);
        if (strncasecmp(h.c_str(), "accept:", 7) == 0) hasAccept = true;
    }
    if (!hasAccept) r.headerList.Append("Accept:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r.headerList.list);

    bool follow = !(r.flags & kInternetFlagNoAutoRedirect);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER,
                     (r.securityFlags & kSecurityFlagIgnoreUnknownCa) ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST,
                     (r.securityFlags & kSecurityFlagIgnoreCertCnInvalid) ? 0L : 2L);
    r.tls.ignoreDates = r.securityFlags & kSecurityFlagIgnoreCertDateInvalid;
    r.tls.extraCaFile = ExtraCaFile();
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, ConfigureTls);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &r.tls);

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHttpHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnHttpBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
    if (!r.transfer->Attach()) return Fail(kErrorInternetInternalError);
    return r.transfer->Pump([&r] { return r.headersDone; }, r.connectTimeoutMs,
                            r.receiveTimeoutMs) &&
           Succeed();
}

uint32_t SecurityFlagsFromRequestFlags(uint32_t flags) {
    uint32_t security = 0;
    if (flags & kInternetFlagSecure) security |= kSecurityFlagSecure;
    if (flags & kInternetFlagIgnoreCertCnInvalid) security |= kSecurityFlagIgnoreCertCnInvalid;
    if (flags & kInternetFlagIgnoreCertDateInvalid) security |= kSecurityFlagIgnoreCertDateInvalid;
    return security;
}

std::shared_ptr<Request> NewRequest(const std::shared_ptr<Connection>& c, const std::string& verb,
                                    const std::string& object, const std::string& version,
                                    const std::string& referrer, uint32_t flags) {
    auto r = std::make_shared<Request>();
    r->connection = c;
    r->verb = verb.empty() ? "GET" : verb;
    r->object = object.empty() ? "/" : object;
    r->version = version.empty() ? "HTTP/1.1" : version;
    r->referrer = referrer;
    r->flags = flags;
    r->securityFlags = SecurityFlagsFromRequestFlags(flags);
    r->connectTimeoutMs = c->connectTimeoutMs;
    r->receiveTimeoutMs = c->receiveTimeoutMs;
    return r;
}

bool AddHeaders(Request& r, const std::string& headers) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) {
            if (line.find(':') == std::string::npos) return Fail(kErrorInvalidParameter);
            lines.push_back(line);
        }
        start = end + 1;
    }
    if (lines.empty()) return Fail(kErrorInvalidParameter);
    r.headers.insert(r.headers.end(), lines.begin(), lines.end());
    return Succeed();
}

// ---- FTP ----

size_t OnFtpReply(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    size_t n = size * count;
    c->ftp->Activity();
    std::string line(data, n);
    c->replyLines += line;
    // "123 text" ends a reply; "123-text" starts or continues a multi-line one.
    if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ') {
        t_lastResponse = c->replyLines;
        c->replyLines.clear();
    }
    return n;
}

size_t OnFtpRead(char* buffer, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    c->ftp->Activity();
    size_t n = std::fread(buffer, size, count, c->upload);
    if (n == 0 && std::ferror(c->upload)) return CURL_READFUNC_ABORT;
    return n;
}

std::string FtpUrl(const Connection& c, const std::string& remote) {
    std::string url = "ftp://" + Authority(c.host, c.port) + "/";
    std::string path = remote;
    std::replace(path.begin(), path.end(), '\\', '/');
    size_t start = 0;
    if (!path.empty() && path[0] == '/') {
        url += "%2F";  // absolute: from the server's root, not the login directory
        start = 1;
    }
    CURL* easy = c.ftp->easy;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        char* escaped = curl_easy_escape(easy, part.c_str(), static_cast<int>(part.size()));
        if (escaped) {
            url += escaped;
            curl_free(escaped);
        }
        if (end < path.size()) url += "/";
        start = end + 1;
    }
    return url;
}

bool FtpRun(Connection& c) {
    if (!c.ftp->Attach()) return Fail(kErrorInternetInternalError);
    bool ok = c.ftp->Pump([] { return false; }, c.connectTimeoutMs, c.receiveTimeoutMs);
    c.ftp->Detach();
    return ok && Succeed();
}

bool FtpLogin(Connection& c) {
    t_lastResponse.clear();
    c.ftp = std::make_unique<Transfer>();
    if (!c.ftp->Valid()) return Fail(kErrorNotEnoughMemory);
    CURL* easy = c.ftp->easy;
    std::string url = "ftp://" + Authority(c.host, c.port) + "/";
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    ConfigureRoute(easy, c, c.connectTo);
    if (!c.user.empty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, c.user.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, c.password.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnFtpReply);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);  // log in, nothing else
    return FtpRun(c);
}

}  // namespace

uint32_t InternetGetLastError() { return t_lastError; }

bool InternetGetConnectedState(uint32_t* flags) {
    std::optional<bool> forced;
    {
        Testing& t = TestSettings();
        std::lock_guard<std::mutex> guard(t.lock);
        forced = t.connected;
    }
    bool connected = false;
    if (forced) {
        connected = *forced;
    } else {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs* a = list; a; a = a->ifa_next) {
                if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP))
                    continue;
                int family = a->ifa_addr->sa_family;
                if (family == AF_INET || family == AF_INET6) {
                    connected = true;
                    break;
                }
            }
            freeifaddrs(list);
        }
    }
    if (flags) *flags = connected ? static_cast<uint32_t>(kInternetConnectionLan) : 0u;
    return connected ? Succeed() : Fail(kErrorInternetCannotConnect);
}

bool InternetCheckConnection(const std::wstring& url, uint32_t /*flags*/) {
    InitCurlOnce();
    if (url.empty()) return Fail(kErrorInvalidParameter);
    CURLU* parsed = curl_url();
    if (!parsed) return Fail(kErrorNotEnoughMemory);
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> guard(parsed, curl_url_cleanup);
    std::string narrow = NarrowFromWide(url);
    if (curl_url_set(parsed, CURLUPART_URL, narrow.c_str(), 0) != CURLUE_OK)
        return Fail(kErrorInternetInvalidUrl);
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(parsed, CURLUPART_HOST, &host, 0) != CURLUE_OK ||
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) != CURLUE_OK) {
        curl_free(host);
        return Fail(kErrorInternetInvalidUrl);
    }
    std::string h = host;
    uint16_t p = static_cast<uint16_t>(std::strtoul(port, nullptr, 10));
    curl_free(host);
    curl_free(port);
    if (!h.empty() && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);

    // A plain TCP connection to the host and port forces the connection.
    Transfer transfer;
    if (!transfer.Valid()) return Fail(kErrorNotEnoughMemory);
    CURL* easy = transfer.easy;
    CurlSlist connectTo;
    std::string redirect = RedirectFor(h, p);
    if (!redirect.empty()) connectTo.Append(redirect);
    std::string probe = "http://" + Authority(h, p) + "/";
    curl_easy_setopt(easy, CURLOPT_URL, probe.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kProbeConnectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo.list);
    if (!transfer.Attach()) return Fail(kErrorInternetInternalError);
    return transfer.Pump([] { return false; }, kProbeConnectTimeoutMs, 0) && Succeed();
}

InternetHandle InternetOpen(const std::wstring& agent, uint32_t accessType, uint32_t flags) {
    InitCurlOnce();
    if (accessType != kInternetOpenTypePreconfig && accessType != kInternetOpenTypeDirect)
        return FailHandle(kErrorInvalidParameter);
    auto s = std::make_shared<Session>();
    s->agent = NarrowFromWide(agent);
    s->accessType = accessType;
    s->flags = flags;
    return Register(s);
}

InternetHandle InternetConnect(InternetHandle session, const std::wstring& server, uint16_t port,
                               const std::wstring* user, const std::wstring* password,
                               uint32_t service, uint32_t flags) {
    auto s = LookupAs<Session>(session, Kind::Session);
    if (!s) return nullptr;
    if (server.empty()) return FailHandle(kErrorInvalidParameter);
    if (service != kInternetServiceHttp && service != kInternetServiceFtp)
        return FailHandle(kErrorInvalidParameter);
    auto c = std::make_shared<Connection>();
    c->session = s;
    c->host = NarrowFromWide(server);
    c->service = service;
    c->flags = flags;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        c->connectTimeoutMs = s->connectTimeoutMs;
        c->receiveTimeoutMs = s->receiveTimeoutMs;
    }
    if (port == kInternetDefaultPort)
        port = service == kInternetServiceFtp ? kInternetDefaultFtpPort : kInternetDefaultHttpPort;
    c->port = port;
    if (user && !user->empty()) {
        c->user = NarrowFromWide(*user);
        if (password) c->password = NarrowFromWide(*password);
    }
    if (service == kInternetServiceFtp) {
        std::lock_guard<std::mutex> guard(c->lock);
        if (!FtpLogin(*c)) {
            uint32_t code = t_lastError;
            c->ftp.reset();
            return FailHandle(code);
        }
    }
    return Register(c);
}

InternetHandle HttpOpenRequest(InternetHandle connection, const std::wstring& verb,
                               const std::wstring& object, const std::wstring& version,
                               const std::wstring& referrer, uint32_t flags) {
    auto c = LookupAs<Connection>(connection, Kind::Connection);
    if (!c) return nullptr;
    if (c->service != kInternetServiceHttp) return FailHandle(kErrorInternetIncorrectHandleType);
    return Register(NewRequest(c, NarrowFromWide(verb), NarrowFromWide(object),
                               NarrowFromWide(version), NarrowFromWide(referrer), flags));
}

bool HttpAddRequestHeaders(InternetHandle request, const std::wstring& headers, uint32_t) {
    auto r = LookupAs<Request>(request, Kind::Request);
    if (!r) return false;
    std::lock_guard<std::mutex> guard(r->lock);
    return AddHeaders(*r, NarrowFromWide(headers));
}

bool InternetQueryOption(InternetHandle handle, uint32_t option, void* buffer, uint32_t* length) {
    auto object = Lookup(handle);
    if (!object) return Fail(kErrorInvalidHandle);
    std::lock_guard<std::mutex> guard(object->lock);
    switch (option) {
    case kInternetOptionConnectTimeout:
        return WriteU32(object->connectTimeoutMs, buffer, length);
    case kInternetOptionReceiveTimeout:
        return WriteU32(object->receiveTimeoutMs, buffer, length);
    case kInternetOptionSecurityFlags:
        if (object->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
        return WriteU32(static_cast<Request&>(*object).securityFlags, buffer, length);
    default:
        return Fail(kErrorInternetInvalidOption);
    }
}

bool InternetSetOption(InternetHandle handle, uint32_t option, const void* buffer, uint32_t length) {
    auto object = Lookup(handle);
    if (!object) return Fail(kErrorInvalidHandle);
    std::lock_guard<std::mutex> guard(object->lock);
    uint32_t value = 0;
    switch (option) {
    case kInternetOptionConnectTimeout:
        if (!ReadU32(buffer, length, value)) return false;
        object->connectTimeoutMs = value;
        return Succeed();
    case kInternetOptionReceiveTimeout:
        if (!ReadU32(buffer, length, value)) return false;
        object->receiveTimeoutMs = value;
        return Succeed();
    case kInternetOptionSecurityFlags:
        if (object->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
        if (!ReadU32(buffer, length, value)) return false;
        static_cast<Request&>(*object).securityFlags = value;
        return Succeed();
    default:
        return Fail(kErrorInternetInvalidOption);
    }
}

bool HttpSendRequest(InternetHandle request) {
    auto r = LookupAs<Request>(request, Kind::Request);
    if (!r) return false;
    std::lock_guard<std::mutex> guard(r->lock);
    return SendLocked(*r);
}

InternetHandle InternetOpenUrl(InternetHandle session, const std::wstring& url,
                               const std::wstring& headers, uint32_t flags) {
    auto s = LookupAs<Session>(session, Kind::Session);
    if (!s) return nullptr;
    std::string narrow = NarrowFromWide(url);
    CURLU* parsed = curl_url();
    if (!parsed) return FailHandle(kErrorNotEnoughMemory);
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> guard(parsed, curl_url_cleanup);
    if (curl_url_set(parsed, CURLUPART_URL, narrow.c_str(), CURLU_NON_SUPPORT_SCHEME |
                                                                CURLU_PATH_AS_IS) != CURLUE_OK)
        return FailHandle(kErrorInternetInvalidUrl);
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(parsed, CURLUPART_HOST, &host, 0);
    curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
    std::string sch = scheme ? scheme : "", h = host ? host : "", p = port ? port : "0";
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    if (sch != "http" && sch != "https") return FailHandle(kErrorInternetUnrecognizedScheme);
    if (h.empty()) return FailHandle(kErrorInternetInvalidUrl);
    if (h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);

    // The object is the URL's text from the path on, as given (without a fragment).
    size_t authority = narrow.find("://") + 3;
    size_t pathStart = narrow.find_first_of("/?#", authority);
    std::string object = pathStart == std::string::npos ? "/" : narrow.substr(pathStart);
    object = object.substr(0, object.find('#'));
    if (object.empty() || object[0] != '/') object = "/" + object;

    auto c = std::make_shared<Connection>();
    c->session = s;
    c->host = h;
    c->port = static_cast<uint16_t>(std::strtoul(p.c_str(), nullptr, 10));
    {
        std::lock_guard<std::mutex> sguard(s->lock);
        c->connectTimeoutMs = s->connectTimeoutMs;
        c->receiveTimeoutMs = s->receiveTimeoutMs;
    }
    uint32_t requestFlags = flags | (sch == "https" ? static_cast<uint32_t>(kInternetFlagSecure) : 0u);
    auto r = NewRequest(c, "GET", object, "HTTP/1.1", "", requestFlags);
    std::lock_guard<std::mutex> rguard(r->lock);
    if (!headers.empty() && !AddHeaders(*r, NarrowFromWide(headers))) return nullptr;
    if (!SendLocked(*r)) return nullptr;
    return Register(r);
}

bool HttpQueryInfo(InternetHandle request, uint32_t level, void* buffer, uint32_t* length) {
    auto r = LookupAs<Request>(request, Kind::Request);
    if (!r) return false;
    std::lock_guard<std::mutex> guard(r->lock);
    if (!r->sent || !r->headersDone) return Fail(kErrorInternetIncorrectHandleState);
    bool number = level & kHttpQueryFlagNumber;
    switch (level & ~kHttpQueryFlagNumber) {
    case kHttpQueryStatusCode:
        return number ? WriteU32(r->status, buffer, length)
                      : WriteText(std::to_string(r->status), buffer, length);
    case kHttpQueryStatusText:
        if (number) return Fail(kErrorHttpHeaderNotFound);
        return WriteText(r->statusText, buffer, length);
    case kHttpQueryRawHeadersCrlf:
        if (number) return Fail(kErrorHttpHeaderNotFound);
        return WriteText(r->rawHeaders, buffer, length);
    case kHttpQueryContentLength: {
        size_t pos = 0;
        while (pos < r->rawHeaders.size()) {
            size_t end = r->rawHeaders.find('\n', pos);
            if (end == std::string::npos) end = r->rawHeaders.size();
            std::string line = r->rawHeaders.substr(pos, end - pos);
            if (strncasecmp(line.c_str(), "content-length:", 15) == 0) {
                std::string value = line.substr(15);
                value.erase(0, value.find_first_not_of(" \t"));
                while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
                    value.pop_back();
                return number ? WriteU32(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)),
                                         buffer, length)
                              : WriteText(value, buffer, length);
            }
            pos = end + 1;
        }
        return Fail(kErrorHttpHeaderNotFound);
    }
    default:
        return Fail(kErrorHttpHeaderNotFound);
    }
}

bool InternetReadFile(InternetHandle request, void* buffer, uint32_t toRead, uint32_t* read) {
    auto r = LookupAs<Request>(request, Kind::Request);
    if (!r) return false;
    if (!read || (!buffer && toRead)) return Fail(kErrorInvalidParameter);
    std::lock_guard<std::mutex> guard(r->lock);
    *read = 0;
    if (!r->sent) return Fail(kErrorInternetIncorrectHandleState);
    Request& q = *r;
    if (q.bodyOffset == q.body.size() &&
        !q.transfer->Pump([&q] { return q.bodyOffset < q.body.size(); }, q.connectTimeoutMs,
                          q.receiveTimeoutMs))
        return false;
    size_t n = std::min<size_t>(toRead, q.body.size() - q.bodyOffset);
    if (n) std::memcpy(buffer, q.body.data() + q.bodyOffset, n);
    q.bodyOffset += n;
    *read = static_cast<uint32_t>(n);
    return Succeed();
}

bool FtpPutFile(InternetHandle connection, const std::wstring& localFile,
                const std::wstring& remoteFile, uint32_t flags) {
    auto c = LookupAs<Connection>(connection, Kind::Connection);
    if (!c) return false;
    if (c->service != kInternetServiceFtp) return Fail(kErrorInternetIncorrectHandleType);
    if (localFile.empty() || remoteFile.empty()) return Fail(kErrorInvalidParameter);
    std::lock_guard<std::mutex> guard(c->lock);
    std::FILE* file = std::fopen(NativePath(localFile).c_str(), "rb");
    if (!file) return Fail(CodeFromErrno(errno));
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(file, std::fclose);
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);

    t_lastResponse.clear();
    c->replyLines.clear();
    c->upload = file;
    CURL* easy = c->ftp->easy;
    std::string url = FtpUrl(*c, NarrowFromWide(remoteFile));
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnFtpRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, c.get());
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size < 0 ? 0 : size));
    curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, (flags & kFtpTransferTypeAscii) ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_FTPPORT, (c->flags & kInternetFlagPassive) ? nullptr : "-");
    bool ok = FtpRun(*c);
    c->upload = nullptr;
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
    return ok;
}

bool InternetGetLastResponseInfo(uint32_t* error, wchar_t* buffer, uint32_t* length) {
    if (!length) return Fail(kErrorInvalidParameter);
    std::wstring text = WideFromNarrow(t_lastResponse);
    if (error) *error = text.size() >= 3 ? static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 10)) : 0;
    uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(kErrorInsufficientBuffer);
    }
    std::wmemcpy(buffer, text.c_str(), needed);
    *length = needed - 1;
    return Succeed();
}

bool InternetCloseHandle(InternetHandle handle) {
    std::shared_ptr<InternetObject> object;
    {
        std::lock_guard<std::mutex> guard(g_handlesLock);
        auto it = g_handles.find(handle);
        if (it == g_handles.end()) return Fail(kErrorInvalidHandle);
        object = std::move(it->second);
        g_handles.erase(it);
    }
    { std::lock_guard<std::mutex> guard(object->lock); }  // let a running call on it end
    object.reset();
    return Succeed();
}

InternetTimeLimit::InternetTimeLimit(uint32_t milliseconds) : previous_(t_deadline) {
    const uint64_t end = RealNowMs() + milliseconds;
    t_deadline = previous_ && previous_ < end ? previous_ : end;
}

InternetTimeLimit::~InternetTimeLimit() { t_deadline = previous_; }

void RedirectHostForTesting(const std::wstring& host, uint16_t port, uint16_t toPort) {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    t.redirects[RedirectKey(NarrowFromWide(host), port)] = toPort;
}

void ClearHostRedirectsForTesting() {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    t.redirects.clear();
}

void SetExtraCaFileForTesting(const std::string& pemFile) {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    t.caFile = pemFile;
}

void SetConnectedStateForTesting(std::optional<bool> connected) {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    t.connected = connected;
}

}  // namespace plat
