#include "tests/support/ProcessState.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/Eventually.h"

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

// The threads of this process but the caller. One may end before it is
// looked at; what is read of it then is nothing.
std::vector<pid_t> otherThreads() {
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr) throw std::runtime_error(std::string("opendir /proc/self/task: ") + std::strerror(errno));
    std::vector<pid_t> threads;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const pid_t tid = static_cast<pid_t>(std::stol(e->d_name));
        if (tid != ::gettid()) threads.push_back(tid);
    }
    ::closedir(d);
    return threads;
}

}  // namespace

size_t threadCount() { return countEntries("/proc/self/task"); }

size_t threadCountSettledAt(size_t expected) {
    size_t n = 0;
    eventually([&] { return (n = threadCount()) <= expected; }, std::chrono::seconds(1));
    return n;
}

char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    // "tid (name) state ...": the name may hold spaces and parentheses.
    const size_t nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < line.size() ? line[nameEnd + 2] : 0;
}

size_t runnableOtherThreads() {
    size_t n = 0;
    for (const pid_t tid : otherThreads()) {
        if (threadState(tid) == 'R') ++n;
    }
    return n;
}

std::map<pid_t, long> sleepCounts() {
    std::map<pid_t, long> counts;
    for (const pid_t tid : otherThreads()) {
        std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
        std::string word;
        while (status >> word) {
            if (word == "voluntary_ctxt_switches:") {
                status >> counts[tid];
                break;
            }
            status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
    }
    return counts;
}

long sleepsSince(const std::map<pid_t, long>& before) {
    long sleeps = 0;
    for (const auto& [tid, count] : sleepCounts()) {
        const auto earlier = before.find(tid);
        sleeps += count - (earlier != before.end() ? earlier->second : 0);
    }
    return sleeps;
}

size_t openDescriptorCount() { return countEntries("/proc/self/fd") - 1; }

long residentKiB(pid_t pid) { return statusKiB(pid, "VmRSS:"); }

long peakResidentKiB(pid_t pid) { return statusKiB(pid, "VmHWM:"); }

int servedSocketOnPort(int port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t optionLength = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionLength) != 0 || listening) continue;
        const int localPort = address.ss_family == AF_INET6
                                  ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        if (localPort == port) return fd;
    }
    return -1;
}
