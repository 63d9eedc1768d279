#include "Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

TEST(Clock, SpeedUpShortensSleepsAndKeepsTimeMonotonic) {
    uint64_t before = plat::NowMs();
    plat::SetTimeScaleForTesting(10000);
    auto start = std::chrono::steady_clock::now();
    plat::SleepMs(3600000);  // an hour: 360 ms real
    auto took = std::chrono::steady_clock::now() - start;
    uint64_t after = plat::NowMs();
    plat::SetTimeScaleForTesting(1);
    EXPECT_LT(took, std::chrono::minutes(30));
    EXPECT_GE(after - before, 3600000u);
    EXPECT_GE(plat::NowMs(), after);
    plat::SleepMs(0);
}

// Limits on real work read a clock that the speed-up leaves alone; only tests cap them.
TEST(Clock, RealTimeIsNeverScaled) {
    plat::SetTimeScaleForTesting(1000);
    const auto ms = [](std::chrono::steady_clock::time_point t) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    };
    const uint64_t first = ms(std::chrono::steady_clock::now());
    const uint64_t real = plat::RealNowMs();
    const uint64_t last = ms(std::chrono::steady_clock::now());
    plat::SetTimeScaleForTesting(1);
    EXPECT_GE(real, first);
    EXPECT_LE(real, last);

    EXPECT_EQ(plat::RealWorkLimitMs(90000), 90000u);
    plat::CapRealWorkLimitsForTesting(1000);
    EXPECT_EQ(plat::RealWorkLimitMs(90000), 1000u);
    EXPECT_EQ(plat::RealWorkLimitMs(500), 500u);
    plat::CapRealWorkLimitsForTesting(0);
    EXPECT_EQ(plat::RealWorkLimitMs(90000), 90000u);
}
