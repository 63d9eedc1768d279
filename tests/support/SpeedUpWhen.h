// Lets a test run the station clock slowly until it has seen what it waits for (the tries of a
// retry loop, say), then speeds the clock up, so that the limit of the wait passes soon after.
// The tries themselves are real work: a slow clock leaves them room on a loaded machine.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "Clock.h"

class SpeedUpWhen {
public:
    // The clock runs at slowFactor until seen() holds (or two minutes have passed), then at
    // fastFactor.
    SpeedUpWhen(double slowFactor, std::function<bool()> seen, double fastFactor = 100000) {
        plat::SetTimeScaleForTesting(slowFactor);
        thread_ = std::thread([this, seen = std::move(seen), fastFactor] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (!done_ && !seen() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            plat::SetTimeScaleForTesting(fastFactor);
        });
    }
    ~SpeedUpWhen() {
        done_ = true;
        thread_.join();
    }
    SpeedUpWhen(const SpeedUpWhen&) = delete;
    SpeedUpWhen& operator=(const SpeedUpWhen&) = delete;

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};
