#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace terval::testing {

// How many times longer than usual a wait for a condition may take: TERVAL_TEST_TIME_SCALE, a
// whole number, 1 when unset. The sanitizer build runs the same tests several times slower; only
// deadlines stretch, never a window a test measures.
inline int timeScale() {
    static const int scale = [] {
        const char* text = std::getenv("TERVAL_TEST_TIME_SCALE");
        const int n = text ? std::atoi(text) : 1;
        return n >= 1 ? n : 1;
    }();
    return scale;
}

// Asks `condition` again every `every` until it holds or `timeout` (times timeScale()) has passed;
// whether it held.
// For what happens in its own time (a simulator's clock, a thread of the program): the test waits
// as long as a slow machine needs and no longer than a fast one does.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout * timeScale();
    for (;;) {
        if (condition()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(every, deadline - now));
    }
}

}  // namespace terval::testing
