// Waiting for a condition with a deadline instead of sleeping a guessed time.
//
// Threads: called on the test's thread; `pred` must be safe to call there.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ts {

// Polls `pred` every 5 ms for up to `ms`; true as soon as it holds.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace ts
