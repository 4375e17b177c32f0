// The local port on Linux: one thread relays between the pseudo-terminal's
// master and the server's socket, both non-blocking, in one poll loop that
// also takes the exit signals (a signalfd) and keeps the reconnection's
// timers. Nothing in it blocks but poll, so a program's settings and bytes
// are served while the server is away or a connection is being made.
#include "client/LocalPort.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "client/PortLink.h"
#include "client/PseudoTerminal.h"
#include "client/Rfc2217Link.h"
#include "client/ServerLink.h"
#include "common/AddrInfo.h"
#include "common/SocketApi.h"
#include "common/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 8192;
// Back-pressure: the program is not read while this much waits for the
// server, and the server not while this much waits for the program.
constexpr size_t kMostQueued = 256 * 1024;
constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLongestRetry{10};
// A connection attempt the server does not answer is given up after this.
constexpr std::chrono::seconds kConnectTime{5};

// One line on standard error, in one write so that lines never mix.
void logLine(const std::string& text) {
    const std::string line = "kestrin: " + text + "\n";
    static_cast<void>(!::write(STDERR_FILENO, line.data(), line.size()));
}

std::string secondsText(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

const char* signalName(uint32_t signal) {
    return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
}

class Relay : private ServerLink::Listener {
public:
    Relay(const LocalPortOptions& options, PseudoTerminal& terminal, int signals)
        : options_(options), terminal_(terminal), signals_(signals), current_(terminal.Settings()) {}

    // Serves the port until an exit signal comes; its name.
    std::string Run();

private:
    enum class State { Waiting, Connecting, Up };

    // ServerLink::Listener
    void FromDevice(const char* data, size_t n) override;
    void LineInUse(const PortSettings& line) override;
    void Log(const std::string& text) override { logLine(text); }

    // The program's side.
    bool wantsProgramBytes() const;
    void fromProgram();
    void programStatus(uint8_t status);
    void settingsChanged();
    void toProgram();
    void hold(const char* data, size_t n);

    // The server's side.
    void connect(Clock::time_point now);
    void tryNextAddress(Clock::time_point now);
    void connectEnded(Clock::time_point now);
    void connected(Clock::time_point now);
    void unreachable(const std::string& why, Clock::time_point now);
    void fromServer(Clock::time_point now);
    // Sends what the link holds; false when the connection was lost.
    bool toServer(Clock::time_point now);
    void checkReady(Clock::time_point now);
    void lost(const std::string& why, Clock::time_point now);
    int pollTimeout(Clock::time_point now) const;
    ServerLink::Listener& listener() { return *this; }

    const LocalPortOptions& options_;
    PseudoTerminal& terminal_;
    const int signals_;

    State state_ = State::Waiting;
    Clock::time_point retryAt_{};
    Clock::duration retryDelay_ = kFirstRetry;
    Clock::time_point connectEnds_{};
    AddrInfoList addresses_;
    const addrinfo* nextAddress_ = nullptr;
    std::string lastFailure_;
    UniqueFd socket_;
    std::unique_ptr<ServerLink> link_;
    bool linkReady_ = false;
    bool everReady_ = false;
    bool failureLogged_ = false;
    std::optional<Clock::time_point> lostAt_;

    std::string toProgram_;  // the device's bytes the terminal did not take yet
    std::string held_;       // the program's bytes while the link is not ready
    size_t dropped_ = 0;     // ... and those beyond --hold

    PortSettings current_;     // the program's settings as last seen
    bool programSet_ = false;  // a program changed them since kestrin started
    bool lineKnown_ = false;   // the line has current_, as far as this connection told it
};

std::string Relay::Run() {
    connect(Clock::now());
    for (;;) {
        Clock::time_point now = Clock::now();
        if (state_ == State::Waiting && now >= retryAt_) connect(now);
        if (state_ == State::Connecting && now >= connectEnds_) {
            lastFailure_ = "no answer within " + std::to_string(kConnectTime.count()) + " s";
            socket_.reset();
            tryNextAddress(now);
        }
        if (state_ == State::Up) {
            link_->Tick(now);
            checkReady(now);
            toServer(now);
        }

        pollfd fds[3] = {};
        fds[0] = {signals_, POLLIN, 0};
        fds[1].fd = terminal_.master();
        // A status (a program's settings, a flush) is taken whatever happens.
        fds[1].events = static_cast<short>(POLLPRI | (wantsProgramBytes() ? POLLIN : 0) |
                                           (!toProgram_.empty() ? POLLOUT : 0));
        nfds_t count = 2;
        if (state_ == State::Connecting) {
            fds[2] = {socket_.get(), POLLOUT, 0};
            count = 3;
        } else if (state_ == State::Up) {
            fds[2].fd = socket_.get();
            fds[2].events = static_cast<short>((toProgram_.size() < kMostQueued ? POLLIN : 0) |
                                               (!link_->Outgoing().empty() ? POLLOUT : 0));
            count = 3;
        }
        const State polled = state_;
        const int ready = ::poll(fds, count, pollTimeout(now));
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        now = Clock::now();
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                return signalName(info.ssi_signo);
            }
        }
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            throw std::runtime_error(terminal_.path() + " hung up");
        }
        if ((fds[1].revents & (POLLIN | POLLPRI)) != 0) fromProgram();
        if ((fds[1].revents & POLLOUT) != 0) toProgram();
        // Unless the program's side lost the connection meanwhile.
        if (count == 3 && fds[2].revents != 0 && state_ == polled) {
            if (state_ == State::Connecting) {
                connectEnded(now);
            } else {
                if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) fromServer(now);
                if (state_ == State::Up && (fds[2].revents & POLLOUT) != 0) toServer(now);
            }
        }
    }
}

int Relay::pollTimeout(Clock::time_point now) const {
    std::optional<Clock::time_point> due;
    if (state_ == State::Waiting) due = retryAt_;
    if (state_ == State::Connecting) due = connectEnds_;
    if (state_ == State::Up) due = link_->Deadline();
    if (!due) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

// ---- the program's side

bool Relay::wantsProgramBytes() const {
    // While the link is down or opening, bytes are held (or dropped): the
    // program is never held up by a missing server.
    if (state_ != State::Up || !linkReady_) return true;
    return !link_->Suspended() && link_->Outgoing().size() < kMostQueued;
}

void Relay::fromProgram() {
    char buffer[kChunk + 1];
    uint8_t status = 0;
    const size_t n = terminal_.Read(buffer, sizeof buffer, &status);
    if (status != 0) {
        programStatus(status);
        return;
    }
    if (n == 0) return;
    if (state_ == State::Up && linkReady_) {
        link_->SendData(buffer, n);
        toServer(Clock::now());
    } else {
        hold(buffer, n);
    }
}

void Relay::hold(const char* data, size_t n) {
    const size_t room = options_.holdBytes > held_.size() ? options_.holdBytes - held_.size() : 0;
    const size_t kept = std::min(room, n);
    held_.append(data, kept);
    if (kept == n) return;
    if (dropped_ == 0) {
        logLine("holding " + std::to_string(options_.holdBytes) +
                " bytes (--hold): what the program writes now is dropped until the link is back");
    }
    dropped_ += n - kept;
}

void Relay::programStatus(uint8_t status) {
    if ((status & (TIOCPKT_IOCTL | TIOCPKT_NOSTOP | TIOCPKT_DOSTOP)) != 0) settingsChanged();
    const bool ready = state_ == State::Up && linkReady_;
    // The program dropped what it had not read: so does the line's far end.
    if ((status & TIOCPKT_FLUSHREAD) != 0) {
        toProgram_.clear();
        if (ready) link_->Purge(true, false);
    }
    // The program dropped what it had not sent.
    if ((status & TIOCPKT_FLUSHWRITE) != 0) {
        held_.clear();
        if (ready) link_->Purge(false, true);
    }
    if (ready) toServer(Clock::now());
}

void Relay::settingsChanged() {
    // A program that replaced the local modes wholesale cleared EXTPROC; its
    // next change would go unseen. Setting it again is kestrin's own change,
    // which shows as another status and is passed over below, as it changes
    // none of the settings.
    if (terminal_.KeepExtproc() && options_.verbose) logLine("the program cleared EXTPROC: set again");
    const PortSettings now = terminal_.Settings();
    if (now == current_) return;
    const PortSettings before = current_;
    current_ = now;
    programSet_ = true;
    if (options_.verbose) logLine("the program set " + now.Text());
    if (state_ == State::Up && linkReady_) {
        link_->SetPort(now, lineKnown_ ? std::optional<PortSettings>(before) : std::nullopt);
        lineKnown_ = true;
        toServer(Clock::now());
    }
}

void Relay::toProgram() {
    const size_t n = terminal_.Write(toProgram_.data(), toProgram_.size());
    toProgram_.erase(0, n);
}

void Relay::FromDevice(const char* data, size_t n) {
    if (toProgram_.empty()) {
        const size_t written = terminal_.Write(data, n);
        data += written;
        n -= written;
    }
    toProgram_.append(data, n);
}

void Relay::LineInUse(const PortSettings& line) {
    // The program's own settings win over the line's.
    if (programSet_) return;
    current_ = line;
    lineKnown_ = true;
    terminal_.Apply(line);
    if (options_.verbose) logLine("the port takes the line's settings: " + line.Text());
}

// ---- the server's side

void Relay::connect(Clock::time_point now) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(options_.port);
    const int rc = lookupAddresses(options_.host.c_str(), service.c_str(), hints, addresses_);
    if (rc != 0) {
        unreachable(lookupErrorText(rc), now);
        return;
    }
    nextAddress_ = addresses_.get();
    lastFailure_ = "no address";
    tryNextAddress(now);
}

void Relay::tryNextAddress(Clock::time_point now) {
    while (nextAddress_ != nullptr) {
        const addrinfo* address = nextAddress_;
        nextAddress_ = address->ai_next;
        UniqueFd socket(SocketApi::openSocket(address->ai_family, SOCK_STREAM, 0, true));
        if (!socket.valid()) {
            lastFailure_ = std::strerror(errno);
            continue;
        }
        if (::connect(socket.get(), address->ai_addr, address->ai_addrlen) == 0) {
            socket_ = std::move(socket);
            connected(now);
            return;
        }
        if (SocketApi::connectPending(errno)) {
            socket_ = std::move(socket);
            state_ = State::Connecting;
            connectEnds_ = now + kConnectTime;
            return;
        }
        lastFailure_ = std::strerror(errno);
    }
    unreachable(lastFailure_, now);
}

void Relay::connectEnded(Clock::time_point now) {
    const int err = SocketApi::pendingError(socket_.get());
    if (err == 0) {
        connected(now);
        return;
    }
    lastFailure_ = std::strerror(err);
    socket_.reset();
    tryNextAddress(now);
}

void Relay::unreachable(const std::string& why, Clock::time_point now) {
    state_ = State::Waiting;
    socket_.reset();
    retryAt_ = now + retryDelay_;
    const std::string next = "next try in " + secondsText(retryDelay_);
    retryDelay_ = std::min<Clock::duration>(retryDelay_ * 2, kLongestRetry);
    // Before the first connection the first failure is worth a line; after
    // a loss, that line has been written.
    if (!failureLogged_ && !everReady_) {
        failureLogged_ = true;
        logLine("cannot reach " + options_.Endpoint() + ": " + why + "; trying every " +
                std::to_string(kFirstRetry.count()) + " s at first, then up to every " +
                std::to_string(kLongestRetry.count()) + " s");
    } else if (options_.verbose) {
        logLine("cannot reach " + options_.Endpoint() + ": " + why + "; " + next);
    }
}

void Relay::connected(Clock::time_point now) {
    state_ = State::Up;
    // Small writes leave at once: a program waits for each answer.
    const int on = 1;
    static_cast<void>(SocketApi::setOption(socket_.get(), IPPROTO_TCP, TCP_NODELAY, on));
    // A server that vanished without closing is noticed within 25 s.
    static_cast<void>(SocketApi::setKeepAlive(socket_.get(), 10, 5, 3));
    if (options_.raw) {
        link_ = std::make_unique<RawLink>(listener());
    } else {
        link_ = std::make_unique<Rfc2217Link>(listener(), options_.extras, options_.verbose);
    }
    linkReady_ = false;
    lineKnown_ = false;
    retryDelay_ = kFirstRetry;
    link_->Start(now);
    if (toServer(now)) checkReady(now);
}

void Relay::checkReady(Clock::time_point now) {
    if (linkReady_ || state_ != State::Up || !link_->Ready()) return;
    linkReady_ = true;
    // The settings first, then what the program wrote meanwhile. A program
    // that set the port has its settings sent; otherwise the port takes the
    // line's.
    if (programSet_) {
        link_->SetPort(current_, std::nullopt);
        lineKnown_ = true;
    } else {
        link_->QueryPort();
    }
    std::string text = everReady_ ? "link back: " + options_.Endpoint() : "connected to " + options_.Endpoint();
    if (lostAt_) text += " after " + secondsText(now - *lostAt_);
    if (!held_.empty() || dropped_ > 0) {
        text += "; " + std::to_string(held_.size()) + " bytes the program wrote meanwhile go now";
        if (dropped_ > 0) text += ", " + std::to_string(dropped_) + " were dropped (--hold)";
    }
    logLine(text);
    everReady_ = true;
    lostAt_.reset();
    if (!held_.empty()) link_->SendData(held_.data(), held_.size());
    held_.clear();
    dropped_ = 0;
    toServer(now);
}

void Relay::fromServer(Clock::time_point now) {
    char buffer[65536];
    const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
        link_->Receive(buffer, static_cast<size_t>(n));
        if (toServer(now)) checkReady(now);
        return;
    }
    if (n == 0) {
        lost("the server closed the connection", now);
    } else if (errno != EAGAIN && errno != EINTR) {
        lost(std::strerror(errno), now);
    }
}

bool Relay::toServer(Clock::time_point now) {
    if (state_ != State::Up) return false;
    std::string& out = link_->Outgoing();
    size_t sent = 0;
    while (sent < out.size()) {
        const std::ptrdiff_t n = SocketApi::send(socket_.get(), out.data() + sent, out.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            lost(std::strerror(errno), now);
            return false;
        }
    }
    out.erase(0, sent);
    return true;
}

void Relay::lost(const std::string& why, Clock::time_point now) {
    logLine("link lost: " + why + "; the port stays open, reconnecting every " + std::to_string(kFirstRetry.count()) +
            " s at first, then up to every " + std::to_string(kLongestRetry.count()) + " s");
    socket_.reset();
    link_.reset();
    linkReady_ = false;
    lostAt_ = now;
    state_ = State::Waiting;
    retryDelay_ = kFirstRetry;
    retryAt_ = now + retryDelay_;
    retryDelay_ = std::min<Clock::duration>(retryDelay_ * 2, kLongestRetry);
}

}  // namespace

bool LocalPortSupported() { return true; }

const char* LocalPortMissing() { return ""; }

int RunLocalPort(const LocalPortOptions& options) {
    // The exit signals come through a descriptor the loop polls; a socket
    // the server closed must not end the program either.
    sigset_t exits;
    sigemptyset(&exits);
    sigaddset(&exits, SIGINT);
    sigaddset(&exits, SIGTERM);
    sigaddset(&exits, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &exits, nullptr) != 0 || ::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        logLine(std::string("signals: ") + std::strerror(errno));
        return 1;
    }
    const UniqueFd signals(::signalfd(-1, &exits, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals.valid()) {
        logLine(std::string("signalfd: ") + std::strerror(errno));
        return 1;
    }
    try {
        PseudoTerminal terminal;
        std::unique_ptr<PortLink> link;
        try {
            link = std::make_unique<PortLink>(options.link, terminal.path());
        } catch (const std::runtime_error& e) {
            logLine(std::string("--pty ") + e.what());
            return 1;
        }
        logLine(options.link + " is " + terminal.path() + ", the serial line behind " + options.Endpoint() + " (" +
                (options.raw ? "raw" : "RFC 2217") + ")");
        std::string ending;
        {
            Relay relay(options, terminal, signals.get());
            ending = relay.Run();
        }
        link.reset();
        logLine(ending + ": the port is closed and " + options.link + " removed");
        return 0;
    } catch (const std::exception& e) {
        logLine(e.what());
        return 1;
    }
}
