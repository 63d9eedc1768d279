// The connectivity probes: whether any network interface is up, and whether a host's port takes
// a TCP connection.
#include "InternetInternal.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include "Errors.h"
#include "Text.h"

namespace plat {

using namespace inet;

bool InternetGetConnectedState(uint32_t* flags) {
    const std::optional<bool> forced = inet::ForcedConnectedState();
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

}  // namespace plat
