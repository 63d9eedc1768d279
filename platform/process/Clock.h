// Every sleep and every "now" that a timeout reads goes through here, so tests can speed time up.
#pragma once
#include <cstdint>
#include <ctime>

namespace plat {

uint64_t NowMs();           // monotonic milliseconds, scaled
uint64_t RealNowMs();       // monotonic milliseconds, never scaled: for limits on real work
                            // (network, child processes, transfers)
uint64_t RealWorkLimitMs(uint64_t ms);  // a limit on real work, as tests may have capped it
void SleepMs(uint32_t ms);  // sleeps ms / scale real milliseconds; at once after a stop request
                            // to the calling thread (Process.h)
// Tests only: factor 10 makes every wait ten times shorter. 1 is real time.
void SetTimeScaleForTesting(double factor);
double TimeScale();         // the factor above
// Tests only: every limit on real work passes after at most ms real milliseconds (0: no cap). For
// tests whose peer never answers, so that they need not wait out minute-long limits.
void CapRealWorkLimitsForTesting(uint32_t ms);

std::time_t WallNow();      // wall-clock seconds (log times, file names); never scaled

}  // namespace plat
