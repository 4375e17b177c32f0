#pragma once
// SIGTERM, SIGINT and SIGHUP as an orderly way out. They are blocked in every
// thread and taken by one thread of their own, which runs the program's exit
// action (its client told, its serial port closed and its lock given back)
// instead of the process being cut off wherever it happens to be.
//
// Threads: construct on the main thread before any other thread exists, so
// that every later thread inherits the blocked signals.
#include <atomic>
#include <functional>
#include <thread>

class ExitSignals {
public:
    // onSignal runs on the waiting thread with the signal's number; it is
    // expected to end the process.
    explicit ExitSignals(std::function<void(int signal)> onSignal);
    ~ExitSignals();
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;

private:
    std::atomic<bool> stopping_{false};
    std::thread waiter_;
};
