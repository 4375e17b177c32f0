#include "tests/support/PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Takes one complete line (ended by LF or CR, a CR LF pair counting as one
// end) off the front of pending.
std::optional<std::string> takeLine(std::string& pending) {
    const size_t end = pending.find_first_of("\r\n");
    if (end == std::string::npos) return std::nullopt;
    std::string line = pending.substr(0, end);
    size_t skip = end + 1;
    if (pending[end] == '\r' && skip < pending.size() && pending[skip] == '\n') ++skip;
    pending.erase(0, skip);
    return line;
}

// Waits until fd is ready for events or stop is written to; false on stop.
bool waitReady(int fd, short events, int stop, int timeoutMs = -1) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        const int ready = ::poll(fds, stop >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        return stop < 0 || fds[1].revents == 0;
    }
}

}  // namespace

PtyDevice::Responder PtyDevice::modem() {
    return lines([](const std::string& line) { return line.rfind("AT", 0) == 0 ? std::string("OK\r\n") : std::string(); });
}

PtyDevice::Responder PtyDevice::lines(std::function<std::string(const std::string&)> replyFor) {
    return [replyFor](std::string& pending) {
        std::string reply;
        while (auto line = takeLine(pending)) reply += replyFor(*line);
        return reply;
    };
}

PtyDevice::Responder PtyDevice::echo() {
    return [](std::string& pending) {
        std::string reply;
        reply.swap(pending);
        return reply;
    };
}

PtyDevice::PtyDevice() {
    open();
    // The port opens the terminal by its path, as a program would.
    slave_.reset();
}

PtyDevice::PtyDevice(Responder responder, std::chrono::milliseconds replyDelay)
    : responder_(std::move(responder)), replyDelay_(replyDelay) {
    open();
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0) throw failure("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0) throw failure("tcsetattr");
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) throw failure("pipe2");
    stopRead_.reset(stop[0]);
    stopWrite_.reset(stop[1]);
    thread_ = std::thread([this] { serve(); });
}

PtyDevice::~PtyDevice() { vanish(); }

void PtyDevice::open() {
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw failure("openpty");
    master_.reset(master);
    slave_.reset(slave);
    path_ = name;
    // Non-blocking: a device the port stopped reading must not hang the test.
    if (::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        throw failure("fcntl");
    }
}

void PtyDevice::stopServing() {
    if (!thread_.joinable()) return;
    const char c = 'x';
    while (::write(stopWrite_.get(), &c, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void PtyDevice::vanish() {
    stopServing();
    master_.reset();
    slave_.reset();
}

void PtyDevice::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            throw failure("write to pty master");
        } else if (!waitReady(master_.get(), POLLOUT, stopRead_.get(), 100)) {
            return;  // the device is being pulled
        }
    }
}

termios PtyDevice::settings() const {
    // On Linux the master reports the terminal's (the port's) settings.
    termios tio{};
    if (::tcgetattr(master_.get(), &tio) != 0) throw failure("tcgetattr");
    return tio;
}

std::string PtyDevice::receive(size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;  // the port closed its end
        }
    }
    return got;
}

void PtyDevice::serve() {
    std::string pending;
    for (;;) {
        if (!waitReady(master_.get(), POLLIN, stopRead_.get())) return;
        char buf[4096];
        const ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
        }
        changed_.notify_all();
        const std::string reply = responder_(pending);
        if (reply.empty()) continue;
        if (replyDelay_.count() > 0) {
            pollfd stop{stopRead_.get(), POLLIN, 0};
            if (::poll(&stop, 1, static_cast<int>(replyDelay_.count())) > 0) return;
        }
        try {
            send(reply);
        } catch (const std::runtime_error&) {
            return;  // the terminal is gone
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++replies_;
        }
        changed_.notify_all();
    }
}

std::string PtyDevice::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool PtyDevice::waitReceived(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

bool PtyDevice::waitReplied(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return replies_ >= n; });
}
