// The stream protocols (raw TCP, RFC 2217) over real TCP on loopback, with
// the real controller, the real driver and a pseudo-terminal device.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ComPortOption.h"
#include "common/NetError.h"
#include "common/TelnetCodec.h"
#include "common/TcpSocket.h"
#include "server/LocalCAM.h"
#include "server/Protocols.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProcessState.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/RecordingStatusView.h"
#include "tests/support/TelnetClient.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;
namespace CPO = ComPortOption;

namespace {

// The server's log lines, as a test reads them.
class LogLines {
public:
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        };
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        return eventually([&] { return !find(text).empty(); }, timeout);
    }
    std::string find(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.find(text) != std::string::npos) return line;
        }
        return "";
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

class StreamBridge : public ::testing::Test {
protected:
    void start(const std::string& protocol, PtyDevice::Responder responder = PtyDevice::echo(),
               const std::string& devicePath = "") {
        if (devicePath.empty()) device = std::make_unique<PtyDevice>(std::move(responder));
        view = std::make_shared<ViewLog>();
        LocalCAM::Dependencies dependencies = recordingDependencies(view);
        dependencies.makeSession = ProtocolNamed(protocol)->makeSession;
        dependencies.log = log.sink();
        dependencies.clientLog = exchanges.sink();
        options.protocol = protocol;
        cam = std::make_unique<LocalCAM>(devicePath.empty() ? device->path() : devicePath, 0, 9600, 8, 1, "None",
                                         "None", 1, std::move(dependencies), options);
        ASSERT_GT(cam->listeningPort(), 0);
        ASSERT_TRUE(view->waitFor("status", "Awaiting client connection"));
    }
    void TearDown() override {
        cam.reset();
        device.reset();
    }
    TcpSocket connect() {
        TcpSocket socket = TcpSocket::connect("127.0.0.1", cam->listeningPort());
        socket.setReceiveTimeout(10000);
        return socket;
    }
    // At least n bytes, or what came before the time-out.
    static std::string receive(TcpSocket& socket, size_t n) {
        std::string got;
        char buffer[65536];
        while (got.size() < n) {
            size_t r = 0;
            try {
                r = socket.receive(buffer, sizeof buffer);
            } catch (const NetError&) {
                break;
            }
            if (r == 0) break;
            got.append(buffer, r);
        }
        return got;
    }

    LocalCAM::Options options;
    std::unique_ptr<PtyDevice> device;
    std::shared_ptr<ViewLog> view;
    LogLines log;
    LogLines exchanges;
    std::unique_ptr<LocalCAM> cam;
};

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

speed_t speedOf(const PtyDevice& device) {
    const termios tio = device.settings();
    return cfgetospeed(&tio);
}

}  // namespace

TEST_F(StreamBridge, RawRelaysEveryByteBothWaysAsItComesWithNoGreetingCapOrHex) {
    start("raw");
    TcpSocket client = connect();
    std::string sent;
    for (int i = 0; i < 1000; ++i) sent += static_cast<char>(i * 7);  // every byte value, 0xFF and NUL among them
    sent += std::string("\r\n\r\0AT\n", 7);
    client.sendAll(sent.data(), sent.size());
    EXPECT_EQ(receive(client, sent.size()), sent) << "the device's echo, whole and as it was, with no greeting";
    ASSERT_TRUE(eventually([&] { return device->received() == sent; }));
    EXPECT_TRUE(view->waitFor("status", "Client connection accepted!"));

    // Each small answer at once: no waiting to fill a packet.
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(getsockopt(servedSocketOnPort(cam->listeningPort()), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_EQ(noDelay, 1);

    client.shutdown();
    EXPECT_TRUE(log.waitFor("raw session of 127.0.0.1:"));
    EXPECT_NE(log.find("1007 bytes to the device, 1007 bytes from it"), "") << log.find("raw session");
    EXPECT_TRUE(view->waitFor("status", "Closed client connection!"));
    EXPECT_TRUE(view->waitForCount("status", "Awaiting client connection", 2)) << "the next client is served";
}

TEST_F(StreamBridge, TheExchangeLogIsALinePerBurstWithTheCountAndTheFirstBytes) {
    options.logExchanges = true;
    start("raw");
    TcpSocket client = connect();
    const std::string burst(100, 'A');
    client.sendAll(burst.data(), burst.size());
    ASSERT_EQ(receive(client, burst.size()), burst);
    EXPECT_TRUE(exchanges.waitFor("-> device: 100 bytes 41414141414141414141414141414141..."));
    EXPECT_TRUE(exchanges.waitFor("device -> 127.0.0.1:"));
    EXPECT_NE(exchanges.find(": 100 bytes 4141"), "");
}

TEST_F(StreamBridge, AClientThatDoesNotReadHoldsTheDeviceBackAndLosesNothing) {
    start("raw");
    TcpSocket client = connect();
    ASSERT_TRUE(view->waitFor("status", "Client connection accepted!"));
    // The device sends a counting sequence as fast as the terminal takes it.
    constexpr size_t kTotal = 8u << 20;
    std::thread flood([&] {
        unsigned char next = 0;
        std::string block(4096, '\0');
        for (size_t sent = 0; sent < kTotal; sent += block.size()) {
            for (char& c : block) c = static_cast<char>(next++);
            device->send(block);  // waits while the terminal is full
        }
    });
    // Not read for a while: the bridge holds at most its buffers.
    const long before = residentKiB();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(residentKiB() - before, 16 * 1024) << "the bridge buffered without bound";
    const std::string got = receive(client, kTotal);
    flood.join();
    ASSERT_EQ(got.size(), kTotal);
    for (size_t i = 1; i < got.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>(got[i]), static_cast<unsigned char>(got[i - 1] + 1)) << "at " << i;
    }
}

TEST_F(StreamBridge, BytesForADeviceThatIsAwayAreDroppedCountedAndLogged) {
    start("raw", PtyDevice::echo(), "/nonexistent/serial/device");
    TcpSocket client = connect();
    client.sendAll("hello", 5);
    client.shutdownWrite();
    EXPECT_TRUE(log.waitFor("5 bytes from the client dropped while the device was away")) << log.find("session");
}

TEST_F(StreamBridge, TheIdleLimitCountsBytesEitherWay) {
    options.idleTimeout = std::chrono::seconds(1);
    start("raw");
    TcpSocket talked = connect();
    // The client sends nothing, but the device keeps talking: not idle.
    ASSERT_TRUE(view->waitFor("status", "Client connection accepted!"));
    std::chrono::steady_clock::time_point lastTick;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) std::this_thread::sleep_for(300ms);
        device->send("tick");
        EXPECT_EQ(receive(talked, 4), "tick");
        lastTick = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(view->count("status", "Idle Close"), 0u);
    // Nothing either way: closed once the limit has passed since the last byte.
    EXPECT_EQ(receive(talked, 1), "");
    EXPECT_GE(std::chrono::steady_clock::now() - lastTick, 900ms);
    EXPECT_TRUE(view->waitFor("status", "Idle Close"));
}

TEST_F(StreamBridge, AClientThatEndsItsStreamStillGetsTheDevicesAnswer) {
    // The device answers a line late, as a slow instrument does.
    start("raw", PtyDevice::lines([](const std::string& line) { return line == "*IDN?" ? "ORVO,1\r\n" : ""; }));
    TcpSocket client = connect();
    client.sendAll("*IDN?\n", 6);
    client.shutdownWrite();  // as `printf '*IDN?\n' | nc` at the end of its input
    EXPECT_EQ(receive(client, 100), "ORVO,1\r\n") << "the answer, then the end of the stream";
}

TEST_F(StreamBridge, Rfc2217NegotiatesAndAcknowledgesEverySettingWithTheValueInUse) {
    start("rfc2217");
    TelnetClient client(connect());
    // The server's offers come first, unasked.
    const std::string offers = bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 253, 44});
    ASSERT_EQ(receive(client.socket(), offers.size()), offers);
    // The client's side, as pySerial's: a DO COM-PORT-OPTION is refused.
    client.sendRaw(bytes({255, 253, 1, 255, 251, 3, 255, 253, 3, 255, 253, 44, 255, 251, 44, 255, 251, 0, 255, 253, 0}));
    EXPECT_TRUE(client.readUntil([&] { return client.received(CPO::ServerCode(CPO::NOTIFY_MODEMSTATE)); }))
        << "the modem lines, once the option is agreed";

    client.command(CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 19200));
    EXPECT_EQ(client.answerTo(CPO::SET_BAUDRATE), CPO::EncodeBaudRate(0, 19200).substr(1));
    EXPECT_EQ(speedOf(*device), B19200) << "the line runs at it";
    client.command(CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 0));
    EXPECT_EQ(client.answerTo(CPO::SET_BAUDRATE), CPO::EncodeBaudRate(0, 19200).substr(1)) << "0 asks";
    client.command(CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 123457));
    EXPECT_EQ(client.answerTo(CPO::SET_BAUDRATE), CPO::EncodeBaudRate(0, 19200).substr(1))
        << "a rate the line refused: the one in use";

    const auto byteAnswer = [&](uint8_t code, uint8_t value) {
        client.command(CPO::EncodeByte(code, value));
        const std::optional<std::string> answer = client.answerTo(code);
        return answer && !answer->empty() ? static_cast<int>(static_cast<uint8_t>((*answer)[0])) : -1;
    };
    // A pseudo-terminal takes data size and parity as a line would.
    EXPECT_EQ(byteAnswer(CPO::SET_DATASIZE, 7), 7);
    EXPECT_EQ(byteAnswer(CPO::SET_PARITY, CPO::SET_PARITY_EVEN), CPO::SET_PARITY_EVEN);
    EXPECT_EQ(byteAnswer(CPO::SET_PARITY, CPO::SET_PARITY_SPACE), CPO::SET_PARITY_EVEN) << "no space parity";
    EXPECT_EQ(byteAnswer(CPO::SET_STOPSIZE, CPO::SET_STOPSIZE_2), CPO::SET_STOPSIZE_2);
    EXPECT_NE(device->settings().c_cflag & CSTOPB, 0u);
    EXPECT_EQ(byteAnswer(CPO::SET_STOPSIZE, CPO::SET_STOPSIZE_1_5), CPO::SET_STOPSIZE_2) << "no 1.5 stop bits";
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_FLOW_HARDWARE), CPO::SET_CONTROL_FLOW_HARDWARE);
    EXPECT_NE(device->settings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_QUERY_FLOW), CPO::SET_CONTROL_FLOW_HARDWARE);
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_FLOW_NONE), CPO::SET_CONTROL_FLOW_NONE);
    // A pseudo-terminal has no DTR or RTS: the line is as asked.
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_DTR_OFF), CPO::SET_CONTROL_DTR_OFF);
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_QUERY_DTR), CPO::SET_CONTROL_DTR_OFF);
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_RTS_ON), CPO::SET_CONTROL_RTS_ON);
    EXPECT_EQ(byteAnswer(CPO::SET_CONTROL, CPO::SET_CONTROL_BREAK_OFF), CPO::SET_CONTROL_BREAK_OFF);
    EXPECT_EQ(byteAnswer(CPO::SET_MODEMSTATE_MASK, 0x30), 0x30);
    EXPECT_EQ(byteAnswer(CPO::SET_LINESTATE_MASK, 0x1E), 0x1E);
    EXPECT_EQ(byteAnswer(CPO::PURGE_DATA, CPO::PURGE_DATA_BOTH), CPO::PURGE_DATA_BOTH);
    client.command(CPO::Encode(CPO::SIGNATURE));
    const std::optional<std::string> signature = client.answerTo(CPO::SIGNATURE);
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->rfind("Orvo ", 0), 0u) << *signature;

    // Data both ways with IAC doubled on the wire and nothing translated.
    const std::string data = std::string("\xFF\r\n\r\0x", 6) + "\xFF\xFF";
    client.sendData(data);
    EXPECT_TRUE(client.readUntil([&] { return client.data.size() >= data.size(); }));
    EXPECT_EQ(client.data, data);
    EXPECT_TRUE(eventually([&] { return device->received() == data; }));

    // The next client starts from the bridge's own settings.
    client.socket().shutdown();
    ASSERT_TRUE(log.waitFor("rfc2217 session of 127.0.0.1:"));
    EXPECT_TRUE(eventually([&] { return speedOf(*device) == B9600; }));
    EXPECT_EQ(device->settings().c_cflag & (CSTOPB | CRTSCTS), 0u);
}

TEST_F(StreamBridge, Rfc2217FlowControlSuspendHoldsTheDeviceBackUntilResume) {
    start("rfc2217");
    TelnetClient client(connect());
    client.sendRaw(bytes({255, 251, 44, 255, 251, 0, 255, 253, 0}));
    ASSERT_TRUE(client.readUntil([&] { return client.received(CPO::ServerCode(CPO::NOTIFY_MODEMSTATE)); }));
    client.command(CPO::Encode(CPO::FLOWCONTROL_SUSPEND));
    // An answer that comes with the suspend: the SET-DATASIZE after it is
    // answered, so the suspend has been taken.
    client.command(CPO::EncodeByte(CPO::SET_DATASIZE, 0));
    ASSERT_TRUE(client.answerTo(CPO::SET_DATASIZE));
    device->send("held");
    client.socket().setReceiveTimeout(500);
    client.readUntil([&] { return !client.data.empty(); });
    EXPECT_EQ(client.data, "") << "nothing while suspended";
    client.socket().setReceiveTimeout(10000);
    client.command(CPO::Encode(CPO::FLOWCONTROL_RESUME));
    EXPECT_TRUE(client.readUntil([&] { return client.data.size() >= 4; }));
    EXPECT_EQ(client.data, "held");
}

// A USB adapter pulled in the middle of a session and plugged back in: the
// client stays connected, hears nothing meanwhile, and the bytes flow again.
TEST_F(StreamBridge, ADeviceLostMidSessionIsReportedAndUsedAgainWithTheClientStillConnected) {
    VirtualModem modem({"--loopback"});
    start("raw", PtyDevice::echo(), modem.link());
    TcpSocket client = connect();
    client.sendAll("one", 3);
    EXPECT_EQ(receive(client, 3), "one");
    modem.vanish();
    EXPECT_TRUE(view->waitFor("status", "Serial device lost"));
    modem.comeBack();
    EXPECT_TRUE(view->waitFor("status", "Serial device back"));
    client.sendAll("two", 3);
    EXPECT_EQ(receive(client, 3), "two") << "the same connection, the device opened again";
    EXPECT_EQ(view->count("status", "Closed client connection!"), 0u);
}
