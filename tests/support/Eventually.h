#pragma once
// For conditions nothing signals (a thread gone, a link removed, a state
// the code under test reaches on its own): asks again every few
// milliseconds. Wait on an event instead wherever there is one.
#include <chrono>
#include <functional>
#include <thread>

// Whether cond held within timeout.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
