// vdev: a virtual serial device on a pseudo-terminal, for tests, the demo and
// anyone without hardware. It prints the device path as its first line and
// answers like a simple modem: a line (ended by CR or LF) that starts "AT"
// gets "OK" CR LF; every other byte is echoed back unchanged.
//
//   vdev [--link PATH] [--delay MS] [--silent] [--flood] [--wire BAUD] [--loopback]
//
//   --link PATH  make PATH a symbolic link to the device (removed on exit)
//   --delay MS   answer MS milliseconds after the line or byte arrived
//   --silent     read everything, answer nothing
//   --flood      send the byte values 0, 1, ..., 255, 0, ... without pause
//   --wire BAUD  answer as a line at BAUD bit/s would deliver: one byte each
//                ten bit times (a pseudo-terminal itself takes no time)
//   --loopback   echo every byte, AT lines too, as a loopback plug does; a
//                reader that does not keep up holds the writer back
//
// SIGUSR1 makes the device vanish (the pseudo-terminal is closed, as when a
// USB adapter is pulled); SIGUSR2 brings it back as a new pseudo-terminal and
// moves the link to it, printing the new path. SIGINT, SIGTERM and SIGHUP
// end the program.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "common/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string link;
    int delayMs = 0;
    bool silent = false;
    bool flood = false;
    int wireBaud = 0;  // 0: answers leave as fast as the terminal takes them
    bool loopback = false;
};

// The most a loopback holds on its way back before it stops reading: a far
// side that does not read then fills the terminal, as a real line's flow
// control would hold the sender.
constexpr size_t kMostLoopedBack = 256 * 1024;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "vdev: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// One pseudo-terminal pair. The slave end stays open here too, so the master
// keeps working while no program has the device open. An empty Pty is the
// device unplugged.
struct Pty {
    UniqueFd master;
    UniqueFd slave;
    std::string path;

    static Pty open() {
        int masterFd = -1;
        int slaveFd = -1;
        char name[256];
        if (::openpty(&masterFd, &slaveFd, name, nullptr, nullptr) < 0) die("openpty");
        Pty pty;
        pty.master = UniqueFd(masterFd);
        pty.slave = UniqueFd(slaveFd);
        pty.path = name;
        termios tio{};
        if (::tcgetattr(slaveFd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slaveFd, TCSANOW, &tio);
        }
        ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK);
        ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);
        ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
        return pty;
    }
    bool present() const { return master.valid(); }
};

// The modem's answer to what arrives: held back while a line may still turn
// out to start "AT", echoed as soon as it cannot.
class Modem {
public:
    std::string feed(const char* data, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (c == '\n' && swallowLF_) {
                swallowLF_ = false;
                continue;
            }
            swallowLF_ = false;
            if (c == '\r' || c == '\n') {
                // CR LF after a command is one line end, answered once.
                swallowLF_ = atLine_ && c == '\r';
                out += atLine_ ? std::string("OK\r\n") : held_ + c;
                held_.clear();
                atLine_ = false;
                undecided_ = true;
                continue;
            }
            if (atLine_) continue;
            if (undecided_) {
                held_ += c;
                if (held_ == "A") continue;
                if (held_ == "AT") {
                    atLine_ = true;
                    undecided_ = false;
                    held_.clear();
                    continue;
                }
                out += held_;
                held_.clear();
                undecided_ = false;
                continue;
            }
            out += c;
        }
        return out;
    }

private:
    std::string held_;
    bool undecided_ = true;  // the line so far is "" or "A"
    bool atLine_ = false;
    bool swallowLF_ = false;
};

// Points the --link path at the device, replacing whatever was there.
void placeLink(const Options& options, const std::string& target) {
    if (options.link.empty()) return;
    ::unlink(options.link.c_str());
    if (::symlink(target.c_str(), options.link.c_str()) < 0) die("symlink " + options.link);
}

// A link to a device that is gone would only mislead whoever opens it.
void removeLink(const Options& options) {
    if (!options.link.empty()) ::unlink(options.link.c_str());
}

// Tells whoever started vdev where the device is: one line, at once.
void announce(const std::string& path) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
}

// The command line; anything unknown ends the program with the usage (2).
Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc) {
            options.link = argv[++i];
        } else if (arg == "--delay" && i + 1 < argc) {
            options.delayMs = std::atoi(argv[++i]);
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--flood") {
            options.flood = true;
        } else if (arg == "--wire" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            options.wireBaud = std::atoi(argv[++i]);
        } else if (arg == "--loopback") {
            options.loopback = true;
        } else {
            std::fprintf(stderr,
                         "usage: vdev [--link PATH] [--delay MS] [--silent] [--flood] [--wire BAUD] [--loopback]\n");
            std::exit(2);
        }
    }
    return options;
}

// The signals vdev acts on arrive as reads in its one loop rather than as
// handlers cutting into it; a reader that went away must not end it either.
UniqueFd watchSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) < 0) die("sigprocmask");
    UniqueFd sigfd(::signalfd(-1, &signals, SFD_CLOEXEC));
    if (!sigfd.valid()) die("signalfd");
    ::signal(SIGPIPE, SIG_IGN);
    return sigfd;
}

// The device between two polls: its terminal (none while unplugged), the
// modem reading it, and the answers on their way back.
class Device {
public:
    explicit Device(const Options& options) : options_(options) {}

    bool present() const { return pty_.present(); }

    // Plugs the device in and says where it is. A returning adapter usually
    // gets a new device name; so does this one, to show links are followed.
    void plugIn() {
        pty_ = Pty::open();
        // Taken while the first pair still holds the old name.
        if (pty_.path == lastPath_) pty_ = Pty::open();
        lastPath_ = pty_.path;
        placeLink(options_, pty_.path);
        announce(pty_.path);
    }

    // Pulls it out like a USB adapter: the terminal hangs up and whatever was
    // on its way is lost.
    void unplug() {
        pty_ = Pty();
        removeLink(options_);
        pending_.clear();
        outgoing_.clear();
        modem_ = Modem();
    }

    // What poll should wait for on the terminal; only used while present.
    pollfd watch() const {
        const bool full = options_.loopback && outgoing_.size() >= kMostLoopedBack;
        pollfd p{pty_.master.get(), static_cast<short>(full ? 0 : POLLIN), 0};
        if ((!outgoing_.empty() && Clock::now() >= nextByte_) || options_.flood) p.events |= POLLOUT;
        return p;
    }

    // How long poll may sleep: until the next delayed answer is due, or the
    // next byte on a paced line.
    int waitMs() const {
        Clock::time_point next = Clock::time_point::max();
        if (!pending_.empty()) next = pending_.front().due;
        if (!outgoing_.empty() && options_.wireBaud > 0) next = std::min(next, nextByte_);
        if (next == Clock::time_point::max()) return -1;
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
        return wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
    }

    // Answers whose delay is over join what the terminal is given next.
    void releaseDue() {
        while (!pending_.empty() && pending_.front().due <= Clock::now()) {
            queue(pending_.front().bytes);
            pending_.pop_front();
        }
    }

    // Reads what the terminal sent and queues the modem's answer to it.
    void receive() {
        char buf[65536];
        const ssize_t n = ::read(pty_.master.get(), buf, sizeof buf);
        if (n <= 0 || options_.silent) return;
        std::string answer = options_.loopback ? std::string(buf, static_cast<size_t>(n))
                                               : modem_.feed(buf, static_cast<size_t>(n));
        if (answer.empty()) return;
        if (options_.delayMs > 0) {
            pending_.push_back({Clock::now() + std::chrono::milliseconds(options_.delayMs), answer});
        } else {
            queue(answer);
        }
    }

    // Gives the terminal the next flood block and the due answers, as much
    // of them as it takes now; the rest waits for the next round.
    void transmit() {
        if (options_.flood) {
            char block[256];
            for (char& b : block) b = static_cast<char>(floodByte_++);
            const ssize_t n = ::write(pty_.master.get(), block, sizeof block);
            // What the terminal did not take is resent from the same value,
            // so the far side sees one unbroken counting sequence.
            floodByte_ = static_cast<unsigned char>(floodByte_ - sizeof block + (n > 0 ? n : 0));
        }
        const Clock::time_point now = Clock::now();
        if (outgoing_.empty() || now < nextByte_) return;
        // On a paced line each byte a character time after the one before:
        // those whose time has come, however late this round is.
        size_t count = outgoing_.size();
        if (options_.wireBaud > 0) {
            count = std::min<size_t>(count, static_cast<size_t>((now - nextByte_) / characterTime()) + 1);
        }
        const ssize_t n = ::write(pty_.master.get(), outgoing_.data(), count);
        if (n <= 0) return;
        outgoing_.erase(0, static_cast<size_t>(n));
        if (options_.wireBaud > 0) nextByte_ += characterTime() * n;
    }

private:
    // Ten bit times: a start bit, eight data bits, a stop bit.
    Clock::duration characterTime() const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / options_.wireBaud));
    }

    // An answer on its way: on a paced line its first byte arrives one
    // character time from now, unless bytes are still on their way.
    void queue(const std::string& bytes) {
        if (options_.wireBaud > 0 && outgoing_.empty()) nextByte_ = Clock::now() + characterTime();
        outgoing_ += bytes;
    }

    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    const Options options_;
    Pty pty_;
    std::string lastPath_;
    Modem modem_;
    std::deque<Pending> pending_;  // answers not yet due, in order
    std::string outgoing_;         // due answers the terminal has not taken yet
    unsigned char floodByte_ = 0;
    Clock::time_point nextByte_{};  // when a paced line may deliver its next byte
};

// Acts on one signal from the descriptor: SIGUSR1 unplugs the device,
// SIGUSR2 brings it back if it is gone, any other ends the program. False
// once the program is to end.
bool handleSignal(int sigfd, Device& device) {
    signalfd_siginfo info{};
    if (::read(sigfd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return true;
    if (info.ssi_signo == SIGUSR1) {
        device.unplug();
    } else if (info.ssi_signo == SIGUSR2) {
        if (!device.present()) device.plugIn();
    } else {
        device.unplug();
        return false;
    }
    return true;
}

// Serves the device until a signal ends the program. A signal is handled
// alone in its round, so the terminal is never touched after it changed.
void serve(int sigfd, Device& device) {
    for (;;) {
        const int timeoutMs = device.waitMs();
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {}};
        if (device.present()) fds[1] = device.watch();
        const int ready = ::poll(fds, device.present() ? 2 : 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (fds[0].revents & POLLIN) {
            if (!handleSignal(sigfd, device)) return;
            continue;
        }
        device.releaseDue();
        if (!device.present()) continue;
        if (fds[1].revents & POLLIN) device.receive();
        device.transmit();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const UniqueFd sigfd = watchSignals();
    Device device(options);
    device.plugIn();
    serve(sigfd.get(), device);
    return 0;
}
