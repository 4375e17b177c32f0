#include "server/LimitedLog.h"

#include <algorithm>
#include <utility>

LimitedLog::LimitedLog(Sink sink, int burst, int linesPerSecond, std::function<Clock::time_point()> now)
    : sink_(std::move(sink)),
      burst_(burst),
      perSecond_(linesPerSecond),
      now_(std::move(now)),
      tokens_(burst),
      refilled_(now_()) {}

void LimitedLog::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    const double seconds = std::chrono::duration<double>(now - refilled_).count();
    tokens_ = std::min(burst_, tokens_ + std::max(0.0, seconds) * perSecond_);
    refilled_ = now;
    if (tokens_ < 1.0) {
        ++suppressed_;
        return;
    }
    tokens_ -= 1.0;
    flushLocked();
    sink_(text);
}

void LimitedLog::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    flushLocked();
}

void LimitedLog::flushLocked() {
    if (suppressed_ == 0) return;
    const long long count = std::exchange(suppressed_, 0);
    sink_("Suppressed " + std::to_string(count) + " log line" + (count == 1 ? "" : "s") + " caused by clients");
}
