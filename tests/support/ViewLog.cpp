#include "tests/support/ViewLog.h"

#include <algorithm>

void ViewLog::add(const std::string& field, const std::string& text) {
    if (!kept_.empty() && std::find(kept_.begin(), kept_.end(), field) == kept_.end()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({field, text, std::chrono::steady_clock::now()});
    }
    changed_.notify_all();
}

std::vector<ViewEvent> ViewLog::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<ViewEvent> ViewLog::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ViewEvent> out;
    out.swap(events_);
    return out;
}

size_t ViewLog::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::vector<std::string> ViewLog::texts(const std::string& field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return textsLocked(field);
}

std::vector<std::string> ViewLog::textsFrom(const std::string& field, size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return textsLocked(field, from);
}

size_t ViewLog::count(const std::string& field, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(field, text);
}

std::chrono::steady_clock::time_point ViewLog::when(const std::string& field, const std::string& text,
                                                    size_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ViewEvent& e : events_) {
        if (e.field == field && e.text == text && --n == 0) return e.at;
    }
    return {};
}

std::optional<size_t> ViewLog::waitFor(const std::string& field, const std::string& text, size_t from,
                                       std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < events_.size(); ++i) {
            if (events_[i].field == field && events_[i].text == text) {
                found = i;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool ViewLog::waitForCount(const std::string& field, const std::string& text, size_t n,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(field, text) >= n; });
}

bool ViewLog::waitForOrder(const std::string& field, const std::vector<std::string>& sequence,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return inOrder(textsLocked(field), sequence); });
}

std::vector<std::string> ViewLog::textsLocked(const std::string& field, size_t from) const {
    std::vector<std::string> out;
    for (size_t i = from; i < events_.size(); ++i) {
        if (events_[i].field == field) out.push_back(events_[i].text);
    }
    return out;
}

size_t ViewLog::countLocked(const std::string& field, const std::string& text) const {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(), [&](const ViewEvent& e) {
        return e.field == field && e.text == text;
    }));
}

bool inOrder(const std::vector<std::string>& whole, const std::vector<std::string>& part) {
    size_t next = 0;
    for (const std::string& text : whole) {
        if (next < part.size() && text == part[next]) ++next;
    }
    return next == part.size();
}

std::vector<std::string> from(const std::vector<std::string>& texts, const std::string& first) {
    return std::vector<std::string>(std::find(texts.begin(), texts.end(), first), texts.end());
}
