// The real `orvo` without windows, as a service runs it: no display, options
// and a configuration file, who may connect, idle clients, systemd's
// notifications, the port given back on SIGTERM and a device that comes late.
// The server's log (standard error) is read as its output. TCP ports 3002 to
// 3007 are taken under the fixed-resources lock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/LineClient.h"
#include "common/NetError.h"
#include "common/TcpSocket.h"
#include "tests/support/Terminal.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;

namespace {

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

bool listening(int port) {
    try {
        TcpSocket::connect("127.0.0.1", port);
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
    auto again = startHeadless({"--port", modem.path(), "--tcp-port", "3003"});
    EXPECT_TRUE(logged(*again, ":9600 Data:8 Stop:1")) << "the port opened, not \"Could Not Open\"";
    ASSERT_TRUE(logged(*again, "Awaiting client connection"));
    auto c = client(3003);
    EXPECT_EQ(line(*c), "OK");
    EXPECT_EQ(ask(*c, "AT"), "4F4B0D0A");
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
    {
        auto c = client(3007);
        EXPECT_EQ(line(*c), "OK");
        EXPECT_TRUE(heard("STATUS=Client connection accepted! (127.0.0.1:"));
    }
    orvo->signal(SIGTERM);
    EXPECT_TRUE(heard("STOPPING=1"));
    EXPECT_EQ(orvo->wait(10s), 0);
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
