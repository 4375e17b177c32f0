#include "tests/support/ProcessState.h"

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// The entries of a directory, not . and ..
size_t countEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) throw std::runtime_error(std::string("opendir ") + dir + ": " + std::strerror(errno));
    size_t n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n;
}

long statusKiB(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) throw std::runtime_error("no /proc status for process " + std::to_string(pid));
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    throw std::runtime_error("no " + key + " in /proc status of process " + std::to_string(pid));
}

}  // namespace

size_t threadCount() { return countEntries("/proc/self/task"); }

size_t threadCountSettledAt(size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    size_t n = threadCount();
    while (n > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = threadCount();
    }
    return n;
}

size_t openDescriptorCount() { return countEntries("/proc/self/fd") - 1; }

long residentKiB(pid_t pid) { return statusKiB(pid, "VmRSS:"); }

long peakResidentKiB(pid_t pid) { return statusKiB(pid, "VmHWM:"); }
