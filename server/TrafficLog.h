#pragma once
// One direction of a stream session's traffic as the exchange log shows it:
// a line a burst (bytes that came less than kBurstGap apart), saying how many
// bytes it held and showing its first ones in hexadecimal:
//   "127.0.0.1:50012 -> device: 12 bytes 41540D0A..."
// A burst's line is written once the next burst begins, or at Flush().
// Any thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class TrafficLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kBurstGap{50};
    static constexpr size_t kShownBytes = 16;

    // direction heads every line ("127.0.0.1:50012 -> device").
    TrafficLog(std::string direction, std::function<void(const std::string& line)> sink,
               std::function<Clock::time_point()> now = Clock::now);

    void Saw(const uint8_t* data, size_t n);
    // The burst so far is over: its line is written (nothing without one).
    void Flush();

private:
    void flushLocked();

    const std::string direction_;
    const std::function<void(const std::string&)> sink_;
    const std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    Clock::time_point last_{};
    unsigned long long count_ = 0;
    std::string shown_;  // the first bytes, in hexadecimal
};
