#include "server/TrafficLog.h"

#include <algorithm>
#include <utility>

#include "common/HexCodec.h"

TrafficLog::TrafficLog(std::string direction, std::function<void(const std::string&)> sink,
                       std::function<Clock::time_point()> now)
    : direction_(std::move(direction)), sink_(std::move(sink)), now_(std::move(now)) {}

void TrafficLog::Saw(const uint8_t* data, size_t n) {
    if (n == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    if (count_ > 0 && now - last_ >= kBurstGap) flushLocked();
    const size_t shown = shown_.size() / 2;
    if (shown < kShownBytes) {
        const size_t more = std::min(kShownBytes - shown, n);
        shown_ += HexCodec::BS2S(Bytes(data, data + more), static_cast<int>(more));
    }
    count_ += n;
    last_ = now;
}

void TrafficLog::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    flushLocked();
}

void TrafficLog::flushLocked() {
    if (count_ == 0) return;
    sink_(direction_ + ": " + std::to_string(count_) + (count_ == 1 ? " byte " : " bytes ") + shown_ +
          (count_ > kShownBytes ? "..." : ""));
    count_ = 0;
    shown_.clear();
}
