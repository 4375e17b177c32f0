// orvo_bench: measures one running relay between TCP and a serial device
// (tools/bench starts orvo, ser2net and socat in turn on the same virtual
// modem and runs this against each).
//
//   orvo_bench --port PORT --protocol bridge|raw [--pid PID]
//              [--exchanges N] [--sessions N] [--idle SECONDS] [--echo TEXT]
//   orvo_bench --sleeps N
//   orvo_bench --port PORT --stream N [--pid PID]
//
// bridge: the Orvo line protocol: greeting "OK", "AT" answered by the hex
//         line "4F4B0D0A", "KILL" answered by "CLOSE".
// raw:    bytes straight through (ser2net, socat): "AT" LF out, "OK" CR LF
//         back.
// --echo TEXT sends TEXT instead of "AT", which the device (vdev) echoes with
//         its line feed: a longer answer, whose time on a paced line counts.
//
// --sleeps measures the machine instead: how late N bare sleeps of 150 ms
// end, which is the floor under the bridge's fixed wait.
//
// --stream measures a relay of a loopback device (vdev --loopback): N round
// trips of 8 bytes, each sent once the last came back, and the time 2 MiB
// take to come back while they are sent (throughput).
//
// Prints one "name value" line per figure; times in milliseconds, CPU in
// seconds, memory in KiB. The relay's CPU time and peak memory are those of
// PID and every process below it (socat serves each connection in a child).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/NetError.h"
#include "common/SocketApi.h"
#include "common/TcpSocket.h"
#include "common/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 0;
    bool bridge = true;
    int pid = 0;
    int exchanges = 200;
    int sessions = 200;
    int idleSeconds = 30;
    int sleeps = 0;
    int stream = 0;
    std::string echo;  // empty: "AT"
};

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 0xF];
    }
    return hex;
}

// Wrong or missing options end the program with the usage (2).
[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: orvo_bench --port PORT --protocol bridge|raw [--pid PID] [--exchanges N] [--sessions N] "
                 "[--idle SECONDS] [--echo TEXT]\n"
                 "       orvo_bench --port PORT --stream N [--pid PID]\n"
                 "       orvo_bench --sleeps N\n");
    std::exit(2);
}

// The command line: every option takes a value; a relay run needs a port.
Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage();
        const std::string value = argv[++i];
        if (arg == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (arg == "--protocol") {
            if (value != "bridge" && value != "raw") usage();
            o.bridge = value == "bridge";
        } else if (arg == "--pid") {
            o.pid = std::atoi(value.c_str());
        } else if (arg == "--exchanges") {
            o.exchanges = std::atoi(value.c_str());
        } else if (arg == "--sessions") {
            o.sessions = std::atoi(value.c_str());
        } else if (arg == "--idle") {
            o.idleSeconds = std::atoi(value.c_str());
        } else if (arg == "--sleeps") {
            o.sleeps = std::atoi(value.c_str());
        } else if (arg == "--echo") {
            o.echo = value;
        } else if (arg == "--stream") {
            o.stream = std::atoi(value.c_str());
        } else {
            usage();
        }
    }
    if (o.sleeps > 0) return o;
    if (o.stream > 0 && o.port > 0) return o;
    if (o.port <= 0 || o.exchanges <= 0 || o.sessions < 0 || o.idleSeconds < 0) usage();
    return o;
}

// Durations are reported in milliseconds.
double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The value below which the given share of the samples lie (nearest rank).
double percentile(std::vector<double> v, double share) {
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(share * static_cast<double>(v.size()) + 0.999999);
    rank = std::max<size_t>(1, std::min(rank, v.size()));
    return v[rank - 1];
}

// One "name value" line: what tools/bench reads back.
void report(const std::string& name, double value) { std::printf("%s %.3f\n", name.c_str(), value); }

// The median, p99 and worst of samples, as name_median, name_p99, name_max.
void reportSpread(const std::string& name, const std::vector<double>& samples) {
    report(name + "_median", percentile(samples, 0.5));
    report(name + "_p99", percentile(samples, 0.99));
    report(name + "_max", *std::max_element(samples.begin(), samples.end()));
}

// A connection speaking either protocol.
class Peer {
public:
    // command goes to the device, which answers answer.
    Peer(int port, bool bridge, std::string command = "AT", std::string answer = "OK\r\n")
        : socket_(TcpSocket::connect("127.0.0.1", port)),
          reader_(socket_),
          writer_(socket_),
          bridge_(bridge),
          command_(std::move(command)),
          answer_(std::move(answer)) {
        socket_.setReceiveTimeout(10000);
        socket_.setSendTimeout(10000);
    }

    std::string line() {
        const LineReader::Result r = reader_.readLine();
        if (r.endOfStream()) throw NetError("the relay ended the connection");
        return r.text;
    }

    void send(const std::string& text) { writer_.writeLine(text); }

    // The bridge greets every connection before it takes a command.
    void awaitGreeting() {
        if (bridge_ && line() != "OK") throw NetError("no greeting");
    }

    // The command and its answer, however the relay frames it.
    void exchange() {
        send(command_);
        if (bridge_) {
            const std::string answer = line();
            if (answer != hexOf(answer_)) throw NetError("unexpected answer \"" + answer + "\"");
            return;
        }
        std::string got;
        char buf[64];
        while (got.size() < answer_.size() || got.compare(got.size() - answer_.size(), answer_.size(), answer_) != 0) {
            const size_t n = socket_.receive(buf, sizeof buf);
            if (n == 0) throw NetError("the relay ended the connection");
            got.append(buf, n);
        }
    }

    void close() { socket_.shutdown(); }

    void end() {
        if (!bridge_) return;
        send("KILL");
        while (line() != "CLOSE") {
        }
    }

    // After "CLOSE" the server closes; its next session is up once the end is read.
    void awaitClosed() {
        while (true) {
            try {
                line();
            } catch (const NetError&) {
                return;
            }
        }
    }

private:
    TcpSocket socket_;
    LineReader reader_;
    LineWriter writer_;
    const bool bridge_;
    const std::string command_;
    const std::string answer_;
};

// The whole text of a /proc file; empty when the process has gone meanwhile.
std::string procText(const std::string& path) {
    std::string text;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// PID and every process below it.
std::vector<int> processTree(int pid) {
    std::vector<std::pair<int, int>> parents;  // (pid, ppid)
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            const int p = std::atoi(e->d_name);
            if (p <= 0) continue;
            const std::string text = procText("/proc/" + std::to_string(p) + "/stat");
            const size_t close = text.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(text.substr(close + 2));
            std::string state;
            int ppid = 0;
            rest >> state >> ppid;
            parents.emplace_back(p, ppid);
        }
        ::closedir(d);
    }
    std::vector<int> tree{pid};
    for (size_t i = 0; i < tree.size(); ++i) {
        for (const auto& [p, ppid] : parents) {
            if (ppid == tree[i]) tree.push_back(p);
        }
    }
    return tree;
}

// User plus system CPU seconds of the process tree.
double cpuSeconds(int pid) {
    double total = 0;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (int p : processTree(pid)) {
        const std::string text = procText("/proc/" + std::to_string(p) + "/stat");
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        // Fields 3 onwards; utime and stime are fields 14 and 15.
        for (int i = 3; i <= 13; ++i) rest >> field;
        long utime = 0, stime = 0;
        rest >> utime >> stime;
        total += static_cast<double>(utime + stime) / tick;
    }
    return total;
}

// Peak resident memory (VmHWM) of the process tree, summed.
long peakKiB(int pid) {
    long total = 0;
    for (int p : processTree(pid)) {
        std::istringstream status(procText("/proc/" + std::to_string(p) + "/status"));
        std::string key;
        while (status >> key) {
            if (key == "VmHWM:") {
                long kib = 0;
                status >> kib;
                total += kib;
                break;
            }
            status.ignore(4096, '\n');
        }
    }
    return total;
}

// socat serves each connection in a child that holds the device open until
// it has seen the connection end; the next connection's child must not find
// it still there, reading the answers meant for the new one.
void awaitChildrenGone(int pid, size_t processes) {
    if (pid <= 0) return;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (processTree(pid).size() > processes && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// How late bare sleeps of 150 ms end on this machine (--sleeps).
void measureSleeps(int count) {
    std::vector<double> late;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        late.push_back(ms(Clock::now() - t0) - 150.0);
    }
    reportSpread("sleep_late_ms", late);
}

// Exchanges on one connection, one at a time; for the bridge also what each
// costs above its fixed 150 ms wait.
void measureExchanges(const Options& o) {
    Peer peer = o.echo.empty() ? Peer(o.port, o.bridge) : Peer(o.port, o.bridge, o.echo, o.echo + "\n");
    peer.awaitGreeting();
    peer.exchange();  // the first one also opens the device for some relays
    std::vector<double> samples;
    for (int i = 0; i < o.exchanges; ++i) {
        const auto t0 = Clock::now();
        peer.exchange();
        samples.push_back(ms(Clock::now() - t0));
    }
    peer.end();
    reportSpread("exchange_ms", samples);
    if (o.bridge) {
        std::vector<double> above;
        for (double s : samples) above.push_back(s - 150.0);
        reportSpread("overhead_ms", above);
    }
}

// Whole sessions one after another: with the bridge connect, greeting,
// "KILL", "CLOSE"; raw relays have no greeting, so theirs carry one exchange
// instead.
void measureSessions(const Options& o, size_t relayProcesses) {
    std::vector<double> greetings;
    const auto t0 = Clock::now();
    for (int i = 0; i < o.sessions; ++i) {
        const auto s0 = Clock::now();
        Peer peer(o.port, o.bridge);
        if (o.bridge) {
            peer.awaitGreeting();
            greetings.push_back(ms(Clock::now() - s0));
            peer.end();
            peer.awaitClosed();
        } else {
            peer.exchange();
            // Ended before the next one, and that is part of its cost.
            peer.close();
            awaitChildrenGone(o.pid, relayProcesses);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    report("sessions_per_s", o.sessions / seconds);
    if (o.bridge) {
        report("greeting_ms_median", percentile(greetings, 0.5));
        report("greeting_ms_p99", percentile(greetings, 0.99));
    }
}

// The relay's CPU time with one client connected and idle, and its peak
// memory by then.
void measureIdle(const Options& o) {
    Peer peer(o.port, o.bridge);
    peer.awaitGreeting();
    peer.exchange();
    const double before = cpuSeconds(o.pid);
    std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
    const double used = cpuSeconds(o.pid) - before;
    report("idle_cpu_s", used);
    report("idle_cpu_percent", 100.0 * used / o.idleSeconds);
    report("peak_rss_kib", static_cast<double>(peakKiB(o.pid)));
    peer.end();
}

// Every figure of one relay in turn; 1, with the reason on stderr, when the
// relay failed or broke its protocol.
int measureRelay(const Options& o) {
    const size_t relayProcesses = o.pid > 0 ? processTree(o.pid).size() : 0;
    try {
        measureExchanges(o);
        awaitChildrenGone(o.pid, relayProcesses);
        if (o.sessions > 0) measureSessions(o, relayProcesses);
        if (o.pid > 0 && o.idleSeconds > 0) measureIdle(o);
    } catch (const NetError& e) {
        std::fprintf(stderr, "orvo_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}

// Reads exactly n bytes; false when the relay ended the connection first.
bool receiveExactly(TcpSocket& socket, char* into, size_t n) {
    for (size_t got = 0; got < n;) {
        const size_t r = socket.receive(into + got, n - got);
        if (r == 0) return false;
        got += r;
    }
    return true;
}

// Round trips and throughput through a relay of a loopback device (--stream).
int measureStream(const Options& o) {
    try {
        TcpSocket socket = TcpSocket::connect("127.0.0.1", o.port);
        socket.setReceiveTimeout(10000);
        const int on = 1;
        static_cast<void>(SocketApi::setOption(socket.fd(), IPPROTO_TCP, TCP_NODELAY, on));
        char sent[8] = {'o', 'r', 'v', 'o', 0x11, 0x13, static_cast<char>(0xFF), '\n'};
        char back[8];
        std::vector<double> trips;
        for (int i = -20; i < o.stream; ++i) {  // the first ones warm the path
            sent[0] = static_cast<char>(i);
            const auto t0 = Clock::now();
            socket.sendAll(sent, sizeof sent);
            if (!receiveExactly(socket, back, sizeof back)) throw NetError("the relay ended the connection");
            if (i >= 0) trips.push_back(ms(Clock::now() - t0));
            if (std::string(sent, sizeof sent) != std::string(back, sizeof back)) {
                throw NetError("the device's echo differs from what was sent");
            }
        }
        reportSpread("echo8_ms", trips);

        // At most kWindow on the way at a time, as a program that sends
        // while it reads would: a relay that writes to the device without
        // reading it at the same time (socat) would otherwise stall once
        // the device's echo fills the terminal.
        constexpr size_t kTotal = 2u << 20;
        constexpr size_t kWindow = 128u << 10;
        constexpr size_t kPiece = 16u << 10;
        std::string data(kTotal, '\0');
        for (size_t i = 0; i < kTotal; ++i) data[i] = static_cast<char>(i * 31 + (i >> 13));
        std::string got(kTotal, '\0');
        std::atomic<size_t> received{0};
        std::atomic<bool> stop{false};
        const auto t0 = Clock::now();
        bool sentAll = false;
        std::thread sender([&] {
            try {
                for (size_t sent = 0; sent < kTotal && !stop; sent += kPiece) {
                    while (sent - std::min(sent, received.load()) >= kWindow && !stop) std::this_thread::yield();
                    socket.sendAll(data.data() + sent, kPiece);
                }
                sentAll = !stop;
            } catch (const NetError&) {
                // The receiving side says what went wrong.
            }
        });
        bool whole = true;
        try {
            while (received < kTotal) {
                const size_t r = socket.receive(got.data() + received, kTotal - received);
                if (r == 0) {
                    whole = false;
                    break;
                }
                received += r;
            }
        } catch (const NetError&) {
            stop = true;
            socket.shutdown();
            sender.join();
            throw;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        sender.join();
        if (!sentAll) throw NetError("the relay took the 2 MiB only in part");
        if (!whole || got != data) throw NetError("the 2 MiB did not come back whole and in order");
        report("throughput_mb_s", static_cast<double>(kTotal) / seconds / 1e6);
        if (o.pid > 0) report("peak_rss_kib", static_cast<double>(peakKiB(o.pid)));
    } catch (const NetError& e) {
        std::fprintf(stderr, "orvo_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.sleeps > 0) {
        measureSleeps(o.sleeps);
        return 0;
    }
    if (o.stream > 0) return measureStream(o);
    return measureRelay(o);
}
