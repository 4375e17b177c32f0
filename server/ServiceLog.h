#pragma once
// Log lines on standard error, one write each so that lines from different
// threads never mix: with a local timestamp where a person reads them (a
// terminal, a file), without one where the systemd journal takes them, since
// the journal stamps every line itself. Any thread.
#include <chrono>
#include <string>

class ServiceLog {
public:
    // Timestamps unless JOURNAL_STREAM names the standard error this process
    // has now (the journal is listening on it).
    static ServiceLog ForStandardError();
    explicit ServiceLog(bool timestamps) : timestamps_(timestamps) {}

    void Line(const std::string& text) const;
    // The local time stamp a line written at `when` starts with:
    // "YYYY-MM-DD HH:MM:SS.mmm ".
    static std::string Stamp(std::chrono::system_clock::time_point when);
    bool timestamps() const { return timestamps_; }

private:
    bool timestamps_;
};
