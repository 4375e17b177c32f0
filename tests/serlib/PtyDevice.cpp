#include "PtyDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

int countEntries(const char* dir) {  // the entries, not . and ..
    DIR* d = ::opendir(dir);
    if (d == nullptr) {
        throw failure(std::string("opendir ") + dir);
    }
    int n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    ::closedir(d);
    return n;
}

}  // namespace

PtyDevice::PtyDevice() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        throw failure("openpty");
    }
    path_ = name;
    // The port opens the terminal by its path, as a program would; the
    // test keeps only the device's end.
    ::close(slave);
    if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
        throw failure("fcntl");
    }
}

PtyDevice::~PtyDevice() {
    vanish();
}

void PtyDevice::vanish() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyDevice::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            throw failure("write to pty master");
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

std::string PtyDevice::receive(size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;  // the port closed its end
        }
    }
    return got;
}

termios PtyDevice::settings() const {
    // On Linux the master reports the terminal's (the slave's) settings.
    termios tio{};
    if (::tcgetattr(master_, &tio) != 0) {
        throw failure("tcgetattr");
    }
    return tio;
}

PrivateDriver::PrivateDriver() {
    const std::string file = dir_.path() + "/" + std::filesystem::path(SERLIB_DRIVER_FILE).filename().string();
    std::filesystem::copy_file(SERLIB_DRIVER_FILE, file);
    ops_ = Serlib::Driver::loadFile(file);
    Serlib::Driver::install(ops_);
}

void PrivateDriver::linkPort(const std::string& name, const std::string& target) const {
    const std::filesystem::path ports = std::filesystem::path(dir_.path()) / "ports";
    std::filesystem::create_directories(ports);
    // A new link renamed over the old one: the name never goes missing.
    const std::filesystem::path link = ports / name;
    const std::filesystem::path fresh = ports / (name + ".new");
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(target, fresh);
    std::filesystem::rename(fresh, link);
}

void PrivateDriver::unlinkPort(const std::string& name) const {
    std::filesystem::remove(std::filesystem::path(dir_.path()) / "ports" / name);
}

Record::Record(const std::string& portName, int32_t port, const std::string& baseName)
    : name(portName.begin(), portName.end()), base(baseName.begin(), baseName.end()) {
    // A record without a name carries one zero byte.
    if (name.empty()) name.push_back(0);
    if (base.empty()) base.push_back(0);
    rec.port = port;
    rec.portName = name.data();
    rec.portNameLen = static_cast<int32_t>(name.size());
    rec.baseName = base.data();
    rec.baseNameLen = static_cast<int32_t>(base.size());
    rec.txLen = 2048;
    rec.rxLen = 4096;
    rec.bitRate = 7;
    rec.dataBits = 3;
}

int openDescriptorCount() {
    // Less the directory stream's own descriptor, open while counting.
    return countEntries("/proc/self/fd") - 1;
}

int threadCount() {
    return countEntries("/proc/self/task");
}
