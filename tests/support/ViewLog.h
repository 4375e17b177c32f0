#pragma once
// Everything a recording view was shown, in one timeline: the field each
// text went to ("status", "tx", "rx", "serial", "ip" for the server's
// window; "status", "rx", "console" for the client's) and when it came.
// Threads: any; the waits block the calling thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ViewEvent {
    std::string field;
    std::string text;
    std::chrono::steady_clock::time_point at;
};

class ViewLog {
public:
    // Keeps every field's texts, or only those of the fields named: a long
    // run keeps no more than it checks, so its memory stays the server's.
    explicit ViewLog(std::vector<std::string> kept = {}) : kept_(std::move(kept)) {}

    void add(const std::string& field, const std::string& text);

    std::vector<ViewEvent> events() const;
    // The events so far, which the log then forgets.
    std::vector<ViewEvent> take();
    size_t size() const;
    std::vector<std::string> texts(const std::string& field) const;
    // The field's texts among the events from index from on.
    std::vector<std::string> textsFrom(const std::string& field, size_t from) const;
    size_t count(const std::string& field, const std::string& text) const;
    // When the field showed text for the n-th time (from 1); the clock's
    // epoch when it has not.
    std::chrono::steady_clock::time_point when(const std::string& field, const std::string& text, size_t n = 1) const;

    // Waits until the field has shown text at index from or later; returns
    // that index, or nothing when the time ran out.
    std::optional<size_t> waitFor(const std::string& field, const std::string& text, size_t from = 0,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until the field has shown text n times in all.
    bool waitForCount(const std::string& field, const std::string& text, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until the field's texts hold sequence in this order (inOrder).
    bool waitForOrder(const std::string& field, const std::vector<std::string>& sequence,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    std::vector<std::string> textsLocked(const std::string& field, size_t from = 0) const;
    size_t countLocked(const std::string& field, const std::string& text) const;

    const std::vector<std::string> kept_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ViewEvent> events_;
};

// part appears in whole in this order (other texts may come between).
bool inOrder(const std::vector<std::string>& whole, const std::vector<std::string>& part);
// The texts from the first one equal to first on (empty when there is none).
std::vector<std::string> from(const std::vector<std::string>& texts, const std::string& first);
