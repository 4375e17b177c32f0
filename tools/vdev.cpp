// vdev: a virtual serial device on a pseudo-terminal, for tests, the demo and
// anyone without hardware. It prints the device path as its first line and
// answers like a simple modem: a line (ended by CR or LF) that starts "AT"
// gets "OK" CR LF; every other byte is echoed back unchanged.
//
//   vdev [--link PATH] [--delay MS] [--silent] [--flood]
//
//   --link PATH  make PATH a symbolic link to the device (removed on exit)
//   --delay MS   answer MS milliseconds after the line or byte arrived
//   --silent     read everything, answer nothing
//   --flood      send the byte values 0, 1, ..., 255, 0, ... without pause
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

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string link;
    int delayMs = 0;
    bool silent = false;
    bool flood = false;
};

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

void placeLink(const Options& options, const std::string& target) {
    if (options.link.empty()) return;
    ::unlink(options.link.c_str());
    if (::symlink(target.c_str(), options.link.c_str()) < 0) die("symlink " + options.link);
}

void removeLink(const Options& options) {
    if (!options.link.empty()) ::unlink(options.link.c_str());
}

void announce(const std::string& path) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
}

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
        } else {
            std::fprintf(stderr, "usage: vdev [--link PATH] [--delay MS] [--silent] [--flood]\n");
            std::exit(2);
        }
    }
    return options;
}

struct Pending {
    Clock::time_point due;
    std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) < 0) die("sigprocmask");
    const UniqueFd sigfd(::signalfd(-1, &signals, SFD_CLOEXEC));
    if (!sigfd.valid()) die("signalfd");
    ::signal(SIGPIPE, SIG_IGN);

    Pty pty = Pty::open();
    std::string lastPath = pty.path;
    placeLink(options, pty.path);
    announce(pty.path);

    Modem modem;
    std::deque<Pending> pending;  // answers not yet due, in order
    std::string outgoing;         // due answers the terminal has not taken yet
    unsigned char floodByte = 0;

    for (;;) {
        int timeoutMs = -1;
        if (!pending.empty()) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(pending.front().due - Clock::now());
            timeoutMs = wait.count() < 0 ? 0 : static_cast<int>(wait.count()) + 1;
        }
        pollfd fds[2] = {{sigfd.get(), POLLIN, 0}, {pty.master.get(), 0, 0}};
        if (pty.present()) {
            fds[1].events = POLLIN;
            if (!outgoing.empty() || options.flood) fds[1].events |= POLLOUT;
        }
        const int ready = ::poll(fds, pty.present() ? 2 : 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sigfd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGUSR1) {
                    pty = Pty();
                    removeLink(options);
                    pending.clear();
                    outgoing.clear();
                    modem = Modem();
                } else if (info.ssi_signo == SIGUSR2) {
                    if (!pty.present()) {
                        // A returning adapter usually gets a new device
                        // name; so does this one, to show links are followed.
                        pty = Pty::open();
                        // Taken while the first pair still holds the old name.
                        if (pty.path == lastPath) pty = Pty::open();
                        lastPath = pty.path;
                        placeLink(options, pty.path);
                        announce(pty.path);
                    }
                } else {
                    pty = Pty();
                    removeLink(options);
                    return 0;
                }
            }
            continue;
        }

        while (!pending.empty() && pending.front().due <= Clock::now()) {
            outgoing += pending.front().bytes;
            pending.pop_front();
        }
        if (!pty.present()) continue;

        if (fds[1].revents & POLLIN) {
            char buf[4096];
            const ssize_t n = ::read(pty.master.get(), buf, sizeof buf);
            if (n > 0 && !options.silent) {
                std::string answer = modem.feed(buf, static_cast<size_t>(n));
                if (!answer.empty()) {
                    if (options.delayMs > 0) {
                        pending.push_back({Clock::now() + std::chrono::milliseconds(options.delayMs), answer});
                    } else {
                        outgoing += answer;
                    }
                }
            }
        }
        if (options.flood) {
            char block[256];
            for (char& b : block) b = static_cast<char>(floodByte++);
            const ssize_t n = ::write(pty.master.get(), block, sizeof block);
            // What the terminal did not take is resent from the same value,
            // so the far side sees one unbroken counting sequence.
            floodByte = static_cast<unsigned char>(floodByte - sizeof block + (n > 0 ? n : 0));
        }
        if (!outgoing.empty()) {
            const ssize_t n = ::write(pty.master.get(), outgoing.data(), outgoing.size());
            if (n > 0) outgoing.erase(0, static_cast<size_t>(n));
        }
    }
}
