#include "Recorder.h"

#include <algorithm>

void Recorder::record(Shown::Kind kind, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({kind, text, std::chrono::steady_clock::now()});
    }
    changed_.notify_all();
}

std::vector<Shown> Recorder::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> Recorder::texts(Shown::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return textsLocked(kind);
}

std::vector<std::string> Recorder::textsLocked(Shown::Kind kind) const {
    std::vector<std::string> out;
    for (const Shown& e : events_)
        if (e.kind == kind) out.push_back(e.text);
    return out;
}

int Recorder::countLocked(Shown::Kind kind, const std::string& text) const {
    return static_cast<int>(std::count_if(events_.begin(), events_.end(),
                                          [&](const Shown& e) { return e.kind == kind && e.text == text; }));
}

int Recorder::count(Shown::Kind kind, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(kind, text);
}

bool Recorder::waitFor(Shown::Kind kind, const std::string& text, int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(kind, text) >= n; });
}

bool Recorder::waitForOrder(Shown::Kind kind, const std::vector<std::string>& sequence,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return inOrder(textsLocked(kind), sequence); });
}

std::chrono::steady_clock::time_point Recorder::when(Shown::Kind kind, const std::string& text, int n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Shown& e : events_)
        if (e.kind == kind && e.text == text && --n == 0) return e.at;
    return {};
}

bool inOrder(const std::vector<std::string>& whole, const std::vector<std::string>& part) {
    size_t next = 0;
    for (const std::string& text : whole)
        if (next < part.size() && text == part[next]) ++next;
    return next == part.size();
}

std::vector<std::string> from(const std::vector<std::string>& texts, const std::string& first) {
    auto it = std::find(texts.begin(), texts.end(), first);
    return std::vector<std::string>(it, texts.end());
}
