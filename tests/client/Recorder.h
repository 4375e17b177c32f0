#pragma once
// Records what the client shows, as a window and a console would see it:
// status texts, receive-field texts and console lines, in one timeline.
// Threads: any; waits block the calling test thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KesView.h"

struct Shown {
    enum Kind { Status, Rx, Console };
    Kind kind;
    std::string text;
    std::chrono::steady_clock::time_point at;
};

class Recorder {
public:
    void record(Shown::Kind kind, const std::string& text);
    std::vector<Shown> events() const;
    std::vector<std::string> texts(Shown::Kind kind) const;
    // Waits until texts(kind) holds `text` at least `count` times.
    bool waitFor(Shown::Kind kind, const std::string& text, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until texts(kind) holds `sequence` in this order (see inOrder).
    bool waitForOrder(Shown::Kind kind, const std::vector<std::string>& sequence,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    int count(Shown::Kind kind, const std::string& text) const;
    // When the n-th (from 1) `text` of that kind was shown.
    std::chrono::steady_clock::time_point when(Shown::Kind kind, const std::string& text, int n = 1) const;

private:
    int countLocked(Shown::Kind kind, const std::string& text) const;
    std::vector<std::string> textsLocked(Shown::Kind kind) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Shown> events_;
};

// The window stand-in: records Show calls, answers with set field texts.
class RecordingView : public KesView {
public:
    RecordingView(Recorder& recorder, std::string host, std::string port)
        : recorder_(recorder), host_(std::move(host)), port_(std::move(port)) {}

    void ShowStatus(const std::string& a) override { recorder_.record(Shown::Status, a); }
    void RXShow(const std::string& a) override { recorder_.record(Shown::Rx, a); }
    std::string HostText() const override { return host_; }
    std::string PortText() const override { return port_; }

    void setPort(std::string port) { port_ = std::move(port); }

private:
    Recorder& recorder_;
    std::string host_;
    std::string port_;
};

// `part` appears in `whole` in this order (other texts may come between).
bool inOrder(const std::vector<std::string>& whole, const std::vector<std::string>& part);
// The texts from the first one equal to `from` on (empty when there is none).
std::vector<std::string> from(const std::vector<std::string>& texts, const std::string& first);
