#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace terval::testing {

// Asks `condition` again every `every` until it holds or `timeout` has passed; whether it held.
// For what happens in its own time (a simulator's clock, a thread of the program): the test waits
// as long as a slow machine needs and no longer than a fast one does.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
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
