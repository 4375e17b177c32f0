#pragma once
// The orderly ways out of the program from outside: SIGTERM, SIGINT and
// SIGHUP on POSIX; Ctrl+C, Ctrl+Break, the console's close and the end of
// the session on Windows. Each runs the program's exit action (its client
// told, its serial port closed and its lock given back) instead of the
// process being cut off wherever it happens to be.
//
// POSIX: the signals are blocked in every thread and taken by one thread of
// their own; SIGPIPE is ignored, since a closed log pipe must not end the
// bridge. Windows: the console's control handler, on the thread the
// system starts for it.
//
// Threads: construct on the main thread before any other thread exists, so
// that every later thread inherits the blocked signals. One at a time.
#include <atomic>
#include <functional>
#include <thread>

class ExitSignals {
public:
    // onSignal runs with the way out's name ("SIGTERM", "Ctrl+C", ...); it
    // is expected to end the process.
    explicit ExitSignals(std::function<void(const char* name)> onSignal);
    ~ExitSignals();
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;

private:
    std::atomic<bool> stopping_{false};
    std::thread waiter_;  // POSIX: the thread that takes the signals
};
