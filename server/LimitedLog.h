#pragma once
// The log lines that clients cause (their commands, their exchanges), kept to
// a rate: a burst of lines passes, then so many a second on average; lines
// beyond that are counted instead of logged, and the count is logged as
// "Suppressed N log lines caused by clients" before the next line that
// passes, or at Flush(). A client that floods the server with commands can
// then neither fill the disk nor drown the server's own lines. Any thread;
// lines reach the sink in the order they were given.
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

class LimitedLog {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string& line)>;

    static constexpr int kBurst = 200;
    static constexpr int kLinesPerSecond = 50;

    explicit LimitedLog(Sink sink, int burst = kBurst, int linesPerSecond = kLinesPerSecond,
                        std::function<Clock::time_point()> now = Clock::now);

    void Line(const std::string& text);
    // Logs the count of the lines suppressed since the last one that passed.
    void Flush();

private:
    void flushLocked();

    const Sink sink_;
    const double burst_;
    const double perSecond_;
    const std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    double tokens_;
    Clock::time_point refilled_;
    long long suppressed_ = 0;
};
