// HTTP and HTTPS: requests on a connection or from a URL, their headers, status and body.
#include "InternetInternal.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "Errors.h"
#include "Text.h"

namespace plat {

using namespace inet;

namespace {

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
    InheritTimeLimits(*c, *r);
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

}  // namespace

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
        InheritTimeLimits(*s, *c);
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

}  // namespace plat
