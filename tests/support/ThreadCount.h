// The threads of this process, for tests that must let detached threads finish: a worker thread
// still runs its library's clean-up for a moment after it has signalled its end.
#pragma once
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <system_error>
#include <thread>

inline size_t ThreadCount() {
    std::error_code ec;
    size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

// Waits until no more than `count` threads run, or the bound has passed (threads that a library
// keeps, once started, are not waited for longer than that).
inline void WaitForThreadCount(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (ThreadCount() > count && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
