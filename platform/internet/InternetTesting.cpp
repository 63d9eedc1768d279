// The test-only routing of the internet client: host:port redirects to loopback fakes, an extra CA
// file, a forced connected state. The shipped program never sets them.
#include "InternetInternal.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "Text.h"

namespace plat {

namespace {

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

}  // namespace

namespace inet {

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

std::optional<bool> ForcedConnectedState() {
    Testing& t = TestSettings();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.connected;
}

}  // namespace inet

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
