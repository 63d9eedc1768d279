// Every sleep and every "now" that a timeout reads goes through here, so tests can speed time up.
#pragma once
#include <cstdint>
#include <ctime>

namespace plat {

uint64_t NowMs();           // monotonic milliseconds, scaled
void SleepMs(uint32_t ms);  // sleeps ms / scale real milliseconds; at once after a stop request
                            // to the calling thread (Process.h)
// Tests only: factor 10 makes every wait ten times shorter. 1 is real time.
void SetTimeScaleForTesting(double factor);
double TimeScale();         // the factor above

std::time_t WallNow();      // wall-clock seconds (log times, file names); never scaled

}  // namespace plat
