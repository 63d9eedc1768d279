// The internet client's handles: sessions, connections and requests, their options, and the
// thread's last error. HTTP, FTP, the connectivity probes, the transfer with its time limits and
// the test-only routing are in InternetHttp.cpp, InternetFtp.cpp, InternetProbes.cpp,
// InternetTransfer.cpp and InternetTesting.cpp.
#include "Internet.h"

#include <cstring>
#include <unordered_map>

#include "Errors.h"
#include "InternetInternal.h"
#include "Text.h"

namespace plat {

namespace inet {

thread_local uint32_t t_lastError = 0;

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

// Host and port as a URL authority (IPv6 literals in brackets).
std::string Authority(const std::string& host, uint16_t port) {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port);
}

namespace {

std::mutex g_handlesLock;
std::unordered_map<InternetObject*, std::shared_ptr<InternetObject>> g_handles;

}  // namespace

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

}  // namespace inet

using namespace inet;

uint32_t InternetGetLastError() { return t_lastError; }

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
        InheritTimeLimits(*s, *c);
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

}  // namespace plat
