#include "Clock.h"

#include "Process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace plat {
namespace {

using Steady = std::chrono::steady_clock;

// The scaled clock is continuous across changes of the factor.
struct ScaledClock {
    std::mutex lock;
    double factor = 1.0;
    Steady::time_point realBase = Steady::now();
    double scaledBaseMs = 0.0;

    double NowLocked(Steady::time_point real) const {
        return scaledBaseMs +
               std::chrono::duration<double, std::milli>(real - realBase).count() * factor;
    }
};

ScaledClock& Clock() {
    static ScaledClock clock;
    return clock;
}

std::atomic<uint32_t> realWorkCapMs{0};

}  // namespace

uint64_t NowMs() {
    ScaledClock& c = Clock();
    std::lock_guard<std::mutex> guard(c.lock);
    return static_cast<uint64_t>(c.NowLocked(Steady::now()));
}

uint64_t RealNowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch()).count());
}

uint64_t RealWorkLimitMs(uint64_t ms) {
    const uint32_t cap = realWorkCapMs;
    return cap ? std::min<uint64_t>(ms, cap) : ms;
}

void CapRealWorkLimitsForTesting(uint32_t ms) { realWorkCapMs = ms; }

void SleepMs(uint32_t ms) {
    if (ms == 0) return;
    double factor;
    {
        ScaledClock& c = Clock();
        std::lock_guard<std::mutex> guard(c.lock);
        factor = c.factor;
    }
    // A thread that has been told to stop sleeps no more.
    if (std::shared_ptr<StopSignal> stop = ThreadStopSignal()) {
        stop->WaitForStop(ms / factor);
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms / factor));
}

void SetTimeScaleForTesting(double factor) {
    if (!(factor > 0.0)) factor = 1.0;
    ScaledClock& c = Clock();
    std::lock_guard<std::mutex> guard(c.lock);
    Steady::time_point now = Steady::now();
    c.scaledBaseMs = c.NowLocked(now);
    c.realBase = now;
    c.factor = factor;
}

double TimeScale() {
    ScaledClock& c = Clock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.factor;
}

std::time_t WallNow() { return std::time(nullptr); }

}  // namespace plat
