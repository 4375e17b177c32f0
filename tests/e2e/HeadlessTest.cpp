// The real `orvo` without windows, as a service runs it: the driver it loads,
// no display, options and a configuration file, who may connect, idle
// clients, systemd's notifications, the port given back on SIGTERM and a
// device that comes late.
// The server's log (standard error) is read as its output. TCP ports 3002 to
// 3007 are taken under the fixed-resources lock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/UniqueFd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LineClient.h"
#include "common/NetError.h"
#include "common/TcpSocket.h"
#include "tests/support/Terminal.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;

namespace {

// Every log line until the server has ended.
std::vector<std::string> restOfLog(ChildProcess& orvo) {
    std::vector<std::string> lines;
    while (std::optional<std::string> next = orvo.readLine(10s)) lines.push_back(*next);
    return lines;
}

// orvo --headless with its log on standard output, where the test reads it.
std::unique_ptr<ChildProcess> startHeadless(const std::vector<std::string>& options,
                                            const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv{programPath("orvo"), "--headless"};
    argv.insert(argv.end(), options.begin(), options.end());
    const std::string command = "exec env -u DISPLAY " + shellCommand(argv);
    return std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command + " 2>&1"}, env);
}

// Reads the log until a line contains text; false when it did not come.
bool logged(ChildProcess& orvo, const std::string& text, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const std::optional<std::string> line = orvo.readLine(left);
        if (!line) return false;
        if (line->find(text) != std::string::npos) return true;
    }
}

// A client from 127.0.0.1, or from another loopback address.
std::unique_ptr<LineClient> client(int port, const std::string& from = "") {
    if (from.empty()) return std::make_unique<LineClient>(port, 10s);
    TcpSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &address.sin_addr);
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw NetError("bind");
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw NetError("connect");
    return std::make_unique<LineClient>(std::move(socket), 10s);
}

// The next line; "<end>" when the stream ended.
std::string line(LineClient& c) { return c.readLineOrEnd().value_or("<end>"); }
std::string ask(LineClient& c, const std::string& command) {
    c.send(command);
    return line(c);
}

bool listening(int port, const std::string& address = "127.0.0.1") {
    try {
        TcpSocket::connect(address, port);
        return true;
    } catch (const NetError&) {
        return false;
    }
}

}  // namespace

TEST(Headless, ServesWithoutADisplayFromAFileAndAnOptionAndGivesThePortBackOnSigterm) {
    VirtualModem modem;
    TempDir dir;
    const std::string config = dir.path() + "/bridge.conf";
    std::ofstream(config) << "port = \"" << modem.path() << "\"\nbaud = 19200\ntcp-port = 3002\n";

    auto orvo = startHeadless({"--config", config, "--tcp-port", "3003", "--log-exchanges"});
    // The driver built for this platform, also where a 32-bit server runs on
    // a 64-bit kernel.
    ASSERT_TRUE(orvo->waitForText("SerialPort class loaded: ", 10s));
    EXPECT_EQ(orvo->seen().back(), "SerialPort class loaded: " ORVO_DRIVER_NAME);
    ASSERT_TRUE(logged(*orvo, "Server Socket Opened OK at Port 3003")) << "the option wins over the file";
    EXPECT_EQ(exclusiveUse(modem.path()), std::optional<bool>(true));
    {
        auto c = client(3003);
        EXPECT_EQ(line(*c), "OK");
        EXPECT_TRUE(logged(*orvo, "Client connection accepted! (127.0.0.1:"));
        EXPECT_EQ(ask(*c, "AT"), "4F4B0D0A");
        ASSERT_TRUE(orvo->waitForText("\"AT\" -> 4F4B0D0A in ", 10s));
        // The time includes the 150 ms wait; how much more depends on the load.
        const std::string& exchange = orvo->seen().back();
        const size_t in = exchange.rfind(" in ");
        EXPECT_GE(std::stoi(exchange.substr(in + 4)), 150) << exchange;
        EXPECT_EQ(exchange.substr(exchange.size() - 3), " ms") << exchange;
        orvo->signal(SIGTERM);
        EXPECT_EQ(line(*c), "CLOSE");
        EXPECT_EQ(orvo->wait(10s), 0);
    }
    EXPECT_EQ(exclusiveUse(modem.path()), std::optional<bool>(false));
    // A second bridge opens the port at once.
    auto again = startHeadless({"--port", modem.path(), "--tcp-port", "3003", "--answer-end", "0D0A", "--log-exchanges"});
    EXPECT_TRUE(logged(*again, ":9600 Data:8 Stop:1")) << "the port opened, not \"Could Not Open\"";
    ASSERT_TRUE(logged(*again, "Awaiting client connection"));
    auto c = client(3003);
    EXPECT_EQ(line(*c), "OK");
    EXPECT_EQ(ask(*c, "AT"), "4F4B0D0A");
    ASSERT_TRUE(again->waitForText("\"AT\" -> 4F4B0D0A in ", 10s)) << "the exchange log";
    EXPECT_NE(again->seen().back().find(", ended at 0D0A"), std::string::npos) << again->seen().back();
}

TEST(Headless, BadInputEndsWithStatusTwoHavingOpenedNothing) {
    VirtualModem modem;
    TempDir dir;
    const std::string config = dir.path() + "/bad.conf";
    std::ofstream(config) << "port = \"" << modem.path() << "\"\nparity = \"odd\"\n";
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--port", modem.path(), "--tcp-port", "3004", "--baud", "1234"},
          std::vector<std::string>{"--config", config, "--tcp-port", "3004"}}) {
        auto orvo = startHeadless(bad);
        EXPECT_TRUE(logged(*orvo, "orvo: --")) << "one line names what is wrong";
        EXPECT_EQ(orvo->wait(10s), 2);
        EXPECT_EQ(exclusiveUse(modem.path()), std::optional<bool>(false)) << "the port was never opened";
        EXPECT_FALSE(listening(3004));
    }
}

TEST(Headless, OnlyClientsOfTheAllowedNetworksAreGreeted) {
    VirtualModem modem;
    auto orvo = startHeadless({"--port", modem.path(), "--tcp-port", "3005", "--allow", "127.0.0.2/32"});
    ASSERT_TRUE(logged(*orvo, "Awaiting client connection"));
    auto refused = client(3005);
    EXPECT_EQ(line(*refused), "<end>") << "closed at once, without a greeting";
    EXPECT_TRUE(logged(*orvo, "Refused client connection from 127.0.0.1:"));
    auto allowed = client(3005, "127.0.0.2");
    EXPECT_EQ(line(*allowed), "OK");
    EXPECT_EQ(ask(*allowed, "AT"), "4F4B0D0A");
    EXPECT_TRUE(logged(*orvo, "Client connection accepted! (127.0.0.2:"));
}

TEST(Headless, AnIdleClientIsClosedAndTheNextOneServed) {
    VirtualModem modem;
    auto orvo = startHeadless({"--port", modem.path(), "--tcp-port", "3006", "--idle-timeout", "1"});
    ASSERT_TRUE(logged(*orvo, "Awaiting client connection"));
    auto idle = client(3006);
    EXPECT_EQ(line(*idle), "OK");
    auto queued = client(3006);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(line(*idle), "CLOSE");
    EXPECT_GE(std::chrono::steady_clock::now() - before, 800ms);
    EXPECT_EQ(line(*queued), "OK");
    EXPECT_EQ(ask(*queued, "AT"), "4F4B0D0A");
    EXPECT_TRUE(logged(*orvo, "Idle Close (127.0.0.1:"));
}

TEST(Headless, SystemdHearsReadyEachStatusAndTheStop) {
    // orvo tells systemd through libsystemd, which the package depends on;
    // a cross build's system root may lack it.
    void* libsystemd = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (libsystemd == nullptr) GTEST_SKIP() << "libsystemd0 is not installed for this architecture";
    ::dlclose(libsystemd);
    VirtualModem modem;
    TempDir dir;
    const std::string path = dir.path() + "/notify";
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(manager, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{10, 0};
    ::setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // Whether the manager has heard message, by now or within the time-out.
    std::vector<std::string> messages;
    const auto heard = [manager, &messages](const std::string& message) {
        for (size_t i = 0;; ++i) {
            if (i == messages.size()) {
                char buffer[512];
                const ssize_t n = ::recv(manager, buffer, sizeof buffer, 0);
                if (n <= 0) return false;
                messages.emplace_back(buffer, static_cast<size_t>(n));
            }
            if (messages[i].find(message) != std::string::npos) return true;
        }
    };

    auto orvo = startHeadless({"--port", modem.path(), "--tcp-port", "3007"}, {"NOTIFY_SOCKET=" + path});
    EXPECT_TRUE(heard("STATUS=Awaiting client connection"));
    EXPECT_TRUE(heard("READY=1"));
    // Ready means serving: a manager that hears it may start what needs
    // the port.
    const auto at = [&messages](const std::string& message) {
        for (size_t i = 0; i < messages.size(); ++i) {
            if (messages[i].find(message) != std::string::npos) return static_cast<long>(i);
        }
        return -1L;
    };
    EXPECT_GE(at("STATUS=Server Socket Opened OK at Port 3007"), 0);
    EXPECT_GT(at("READY=1"), at("STATUS=Server Socket Opened OK at Port 3007"));
    {
        auto c = client(3007);
        EXPECT_EQ(line(*c), "OK");
        EXPECT_TRUE(heard("STATUS=Client connection accepted! (127.0.0.1:"));
        EXPECT_EQ(ask(*c, "ATZ"), "4F4B0D0A");
        EXPECT_TRUE(heard("STATUS=RXD = 4F4B0D0A"));
    }
    orvo->signal(SIGTERM);
    EXPECT_TRUE(heard("STOPPING=1"));
    EXPECT_EQ(orvo->wait(10s), 0);
    // What a client sent is never the service's status: the manager shows
    // it to whoever asks, as the service's own word.
    for (const std::string& message : messages) EXPECT_EQ(message.find("ATZ"), std::string::npos) << message;

    // A server whose TCP port is taken never says it is ready, and ends so
    // that its manager reports the failure.
    messages.clear();
    auto holder = startHeadless({"--port", modem.path(), "--tcp-port", "3007"});
    ASSERT_TRUE(logged(*holder, "Awaiting client connection"));
    auto refused = startHeadless({"--port", modem.path(), "--tcp-port", "3007"}, {"NOTIFY_SOCKET=" + path});
    EXPECT_TRUE(logged(*refused, "Can't Get ServerSocket at Port 3007"));
    EXPECT_TRUE(logged(*refused, "Address already in use")) << "the reason, on a line of its own";
    EXPECT_EQ(refused->wait(10s), 1);
    timeval brief{0, 200000};
    ::setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
    EXPECT_FALSE(heard("READY=1"));
    ::close(manager);
}

TEST(Headless, ADeviceAbsentAtStartIsOpenedWhenItAppears) {
    TempDir dir;
    const std::string adapter = dir.path() + "/adapter";
    auto orvo = startHeadless({"--port", adapter, "--tcp-port", "3002"});
    ASSERT_TRUE(logged(*orvo, "Serial Port " + adapter + " Could Not Open"));
    ASSERT_TRUE(logged(*orvo, "Awaiting client connection")) << "it listens meanwhile";
    auto c = client(3002);
    EXPECT_EQ(line(*c), "OK");
    EXPECT_EQ(ask(*c, "AT"), "") << "no device yet";
    // The device is plugged in: its name appears.
    VirtualModem modem;
    ASSERT_EQ(::symlink(modem.path().c_str(), adapter.c_str()), 0);
    EXPECT_TRUE(logged(*orvo, "Serial device back", 10s));
    EXPECT_EQ(ask(*c, "AT"), "4F4B0D0A");
}

TEST(Headless, ALogNobodyReadsAnyMoreChangesNothingForTheBridge) {
    VirtualModem modem;
    TempDir dir;
    // As `orvo --headless ... 2>&1 | head -2`: the log's reader goes away.
    const std::string fifo = dir.path() + "/log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> argv{programPath("orvo"), "--headless", "--port", modem.path(), "--tcp-port", "3004"};
    ChildProcess orvo({"/bin/sh", "-c", "exec env -u DISPLAY " + shellCommand(argv) + " >" + shellQuoted(fifo) + " 2>&1"});
    {
        UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(reader.valid());
        std::string head;
        char chunk[256];
        while (std::count(head.begin(), head.end(), '\n') < 2) {
            const ssize_t n = ::read(reader.get(), chunk, sizeof chunk);
            ASSERT_GT(n, 0);
            head.append(chunk, static_cast<size_t>(n));
        }
    }
    auto c = LineClient::connectWithin(3004, 10s, 10s);
    ASSERT_TRUE(c);
    EXPECT_EQ(line(*c), "OK");
    EXPECT_EQ(ask(*c, "AT"), "4F4B0D0A");
    orvo.signal(SIGTERM);
    EXPECT_EQ(line(*c), "CLOSE");
    EXPECT_EQ(orvo.wait(10s), 0) << "not killed by SIGPIPE";
}

TEST(Headless, WhatAClientSendsIsLoggedEscapedShortAndAtALimitedRate) {
    VirtualModem modem;
    auto orvo = startHeadless({"--port", modem.path(), "--tcp-port", "3005", "--log-exchanges"});
    ASSERT_TRUE(logged(*orvo, "Awaiting client connection"));
    auto c = client(3005);
    EXPECT_EQ(line(*c), "OK");
    c->sendRaw(std::string("AT\0Server stopped by SIGTERM\n", 29));
    line(*c);
    c->sendRaw("\x1B]0;owned\x07\x1B[2J\n");
    line(*c);
    c->sendRaw(std::string(4000, 'A') + "\n");  // too long for a command: no answer
    // Lines too long to be commands cost the server nothing but their log.
    const std::string flood = std::string(40, 'F') + "\n";
    std::string many;
    for (int i = 0; i < 3000; ++i) many += flood;
    c->sendRaw(many);
    c->send("KILL");
    EXPECT_EQ(line(*c), "CLOSE");
    ASSERT_TRUE(orvo->waitForText("Closed client connection!", 20s));
    orvo->signal(SIGTERM);
    std::vector<std::string> log = orvo->seen();
    for (const std::string& more : restOfLog(*orvo)) log.push_back(more);

    size_t commands = 0;
    size_t bytes = 0;
    bool escaped = false, cut = false, counted = false;
    size_t stops = 0;
    for (const std::string& l : log) {
        bytes += l.size() + 1;
        EXPECT_EQ(l.find('\0'), std::string::npos) << l;
        EXPECT_EQ(l.find('\x1B'), std::string::npos) << "no escape sequence reaches a terminal: " << l;
        EXPECT_LT(l.size(), 300u) << l.substr(0, 300);
        const bool command = l.find("Client Command: ") != std::string::npos;
        if (command) ++commands;
        // The exchange log quotes the command, escaped as well.
        if (l.find("Server stopped by SIGTERM") != std::string::npos && !command && l.find("\"AT\\x00") == std::string::npos) {
            ++stops;
        }
        escaped = escaped || l.find("Client Command: AT\\x00Server stopped by SIGTERM (127.0.0.1:") != std::string::npos;
        cut = cut || (l.find("Client Command: AAAA") != std::string::npos && l.find("bytes, cut)") != std::string::npos);
        counted = counted || (l.find("Suppressed ") != std::string::npos && l.find(" log lines caused by clients") != std::string::npos);
    }
    EXPECT_EQ(stops, 1u) << "only the genuine one stands as a line of its own";
    EXPECT_TRUE(escaped);
    EXPECT_TRUE(cut);
    EXPECT_TRUE(counted) << "the suppressed lines are counted in the log";
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find("\\x1B]0;owned\\x07\\x1B[2J") != std::string::npos;
    }));
    EXPECT_LT(commands, 1500u) << "of 3003 command lines";
    EXPECT_GT(commands, 100u);
    EXPECT_LT(bytes, 200u * 1024) << "the flood sent 120 KiB";
}

TEST(Headless, AWayOutEndsALongExchangeAtOnceAndStartsNoSession) {
    VirtualModem modem({"--silent"});
    for (const std::vector<std::string>& timing :
         {std::vector<std::string>{"--answer-wait", "8000"},
          std::vector<std::string>{"--answer-wait", "8000", "--answer-gap", "2"}}) {
        std::vector<std::string> options{"--port", modem.path(), "--tcp-port", "3006"};
        options.insert(options.end(), timing.begin(), timing.end());
        auto orvo = startHeadless(options);
        ASSERT_TRUE(logged(*orvo, "Awaiting client connection"));
        auto c = client(3006);
        EXPECT_EQ(line(*c), "OK");
        auto queued = client(3006);  // next in line: it must not be served by a server that stops
        c->send("AT");
        ASSERT_TRUE(logged(*orvo, "Client Command: AT"));
        // Nothing says when the exchange begins to wait; it is a moment.
        std::this_thread::sleep_for(300ms);
        const auto before = std::chrono::steady_clock::now();
        orvo->signal(SIGTERM);
        EXPECT_EQ(line(*c), "CLOSE") << "no answer first: the exchange was ended, not finished";
        EXPECT_EQ(orvo->wait(10s), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, 3s) << "with an 8 s answer wait";
        for (const std::string& l : restOfLog(*orvo)) {
            EXPECT_EQ(l.find("Awaiting client connection"), std::string::npos) << "a session started while stopping";
        }
        EXPECT_EQ(line(*queued), "<end>");
    }
}

TEST(Headless, ListensOnTheGivenAddressOnlyAndWarnsOfAnAllowListThatAdmitsNobodyThere) {
    VirtualModem modem;
    auto orvo = startHeadless({"--port", modem.path(), "--tcp-port", "3006", "--listen", "127.0.0.1", "--allow", "::1"});
    ASSERT_TRUE(logged(*orvo, "Warning: --allow ::1 can never admit a client of --listen 127.0.0.1"));
    ASSERT_TRUE(logged(*orvo, "Awaiting client connection"));
    EXPECT_FALSE(listening(3006, "127.0.0.2")) << "another loopback address of this host";
    EXPECT_TRUE(listening(3006, "127.0.0.1"));
}

// An address that comes later (DHCP, an interface up late at boot) in a
// network namespace of the test's own, where the test adds it.
TEST(Headless, AListenAddressThatIsNotThereYetIsWaitedForAndThenServed) {
    if (::geteuid() != 0) GTEST_SKIP() << "a network namespace of its own (unshare -n) needs root";
    VirtualModem modem;
    const std::vector<std::string> argv{programPath("orvo"), "--headless", "--port", modem.path(),
                                        "--listen", "10.9.9.9", "--tcp-port", "3001"};
    ChildProcess orvo({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                       "ip link set lo up && exec env -u DISPLAY " + shellCommand(argv) + " 2>&1"});
    ASSERT_TRUE(logged(orvo, "Can't Get ServerSocket at Port 3001"));
    EXPECT_TRUE(logged(orvo, "Cannot assign requested address"));
    EXPECT_TRUE(logged(orvo, "Trying again every 2 s until 10.9.9.9 is an address of this host"));
    EXPECT_FALSE(orvo.wait(3s)) << "it waits rather than ending";
    const std::string ns = "/proc/" + std::to_string(orvo.pid()) + "/ns/net";
    ASSERT_EQ(std::system(("nsenter --net=" + shellQuoted(ns) + " ip addr add 10.9.9.9/32 dev lo").c_str()), 0);
    EXPECT_TRUE(logged(orvo, "Server Socket Opened OK at Port 3001", 10s));
    // A client in the same namespace: this thread alone enters it.
    std::optional<std::string> greeting;
    std::thread inside([&] {
        UniqueFd net(::open(ns.c_str(), O_RDONLY | O_CLOEXEC));
        if (!net.valid() || ::setns(net.get(), CLONE_NEWNET) != 0) return;
        LineClient c(TcpSocket::connect("10.9.9.9", 3001, 10000), 10s);
        greeting = c.readLineOrEnd();
    });
    inside.join();
    EXPECT_EQ(greeting, std::optional<std::string>("OK"));
}
