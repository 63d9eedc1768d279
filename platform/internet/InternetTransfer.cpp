// The transfer driver and every time limit of the internet client: the limits a handle starts
// with and passes on (InternetInternal.h, InheritTimeLimits), the connect limit handed to curl
// (ConfigureRoute), and the connect, receive and per-thread limits that Pump enforces on the
// real-time clock, whatever the speed of the station clock.
#include "InternetInternal.h"

#include <sys/socket.h>

#include "Clock.h"
#include "Errors.h"
#include "InternetCurlCodes.h"
#include "Process.h"

namespace plat {

namespace {

// An InternetTimeLimit bounds how long the thread is blocked.
thread_local uint64_t t_deadline = 0;  // RealNowMs() limit of the thread's calls; 0: none

}  // namespace

namespace inet {

Transfer::Transfer() {
    InitCurlOnce();
    multi = curl_multi_init();
    easy = curl_easy_init();
    if (easy) {
        curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnSocket);
        curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
    }
}

Transfer::~Transfer() {
    Detach();
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
}

void Transfer::Activity() {
    connected = true;
    lastActivity = RealNowMs();
}

bool Transfer::Attach() {
    Detach();
    sockets.clear();
    done = false;
    result = CURLE_OK;
    started = lastActivity = RealNowMs();
    attached = curl_multi_add_handle(multi, easy) == CURLM_OK;
    return attached;
}

void Transfer::Detach() {
    if (attached) curl_multi_remove_handle(multi, easy);
    attached = false;
}

void Transfer::NoteConnection() {
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

int Transfer::OnSocket(void* user, curl_socket_t s, curlsocktype) {
    static_cast<Transfer*>(user)->sockets.push_back(s);
    return CURL_SOCKOPT_OK;
}

bool Transfer::Pump(const std::function<bool()>& ready, uint32_t connectTimeoutMs, uint32_t receiveTimeoutMs) {
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

void InheritTimeLimits(const InternetObject& parent, InternetObject& child) {
    child.connectTimeoutMs = parent.connectTimeoutMs;
    child.receiveTimeoutMs = parent.receiveTimeoutMs;
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

}  // namespace inet

InternetTimeLimit::InternetTimeLimit(uint32_t milliseconds) : previous_(t_deadline) {
    const uint64_t end = RealNowMs() + milliseconds;
    t_deadline = previous_ && previous_ < end ? previous_ : end;
}

InternetTimeLimit::~InternetTimeLimit() { t_deadline = previous_; }

}  // namespace plat
