#include "server/ServiceLog.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// JOURNAL_STREAM is "device:inode" of the stream systemd connected to the
// journal; it means ours only when standard error is still that stream.
bool journalListening() {
#ifdef _WIN32
    return false;
#else
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
#endif
}

}  // namespace

std::string ServiceLog::Stamp(std::chrono::system_clock::time_point when) {
    // Past January 2038 only where time_t has 64 bits, which a 32-bit build
    // asks for (_TIME_BITS=64).
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    ::localtime_s(&local, &seconds);
#else
    ::localtime_r(&seconds, &local);
#endif
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03lld ", static_cast<long long>(millis));
    return text;
}

ServiceLog ServiceLog::ForStandardError() { return ServiceLog(!journalListening()); }

void ServiceLog::Line(const std::string& text) const {
    const std::string line = (timestamps_ ? Stamp(std::chrono::system_clock::now()) : std::string()) + text + "\n";
    // One write per line, unbuffered: lines of several threads never mix.
    // Nowhere to log to changes nothing for the bridge.
#ifdef _WIN32
    // The C library buffers standard error there when it is not a console.
    static_cast<void>(std::fwrite(line.data(), 1, line.size(), stderr));
    static_cast<void>(std::fflush(stderr));
#else
    ssize_t written = 0;
    for (size_t done = 0; done < line.size(); done += static_cast<size_t>(written)) {
        written = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (written <= 0) return;
    }
#endif
}
