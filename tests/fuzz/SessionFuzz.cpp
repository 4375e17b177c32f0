#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/fuzz/FakeSerialPort.h"
#include "tests/fuzz/FuzzChecks.h"
#include "common/HexCodec.h"
#include "common/LineReader.h"
#include "server/LocalCAM.h"
#include "tests/support/RecordingStatusView.h"
#include "server/SerOutPort.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerOutputStream.h"
#include "tests/fuzz/SessionHarness.h"
#include "common/TcpSocket.h"
#include "tests/support/ViewLog.h"

namespace {

// What the protocol says one client's byte stream must cause.
struct Expected {
    std::string serial;               // bytes on the serial line, in order
    std::vector<std::string> lines;   // lines the client receives
    std::vector<std::string> tx;      // transmit field texts, in order
};

Expected model(const std::string& stream) {
    Expected e;
    e.lines.push_back("OK");
    std::deque<unsigned char> deviceQueue;
    auto exchange = [&](const std::string& bytes) {
        e.serial += bytes;
        for (char c : FakeSerialPort::answerTo(bytes)) deviceQueue.push_back(static_cast<unsigned char>(c));
        Bytes answer;
        while (answer.size() < SerOutPort::kRxBufferSize && !deviceQueue.empty()) {
            answer.push_back(deviceQueue.front());
            deviceQueue.pop_front();
        }
        e.lines.push_back(HexCodec::BS2S(answer, static_cast<int>(answer.size())));
    };

    size_t i = 0;
    for (;;) {
        if (i >= stream.size()) break;  // end of stream
        const size_t end = stream.find_first_of("\r\n", i);
        std::string line = stream.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (end == std::string::npos) {
            i = stream.size();
        } else {
            i = end + 1;
            if (stream[end] == '\r' && i < stream.size() && stream[i] == '\n') ++i;
        }
        if (line.empty() || line == "Close" || line == "KILL") break;
        if (line.size() > 2 && line.compare(0, 2, "0x") == 0) {
            const std::string hex = line.substr(2);
            if (hex.size() <= 32) {
                e.tx.push_back(line);
                const Bytes bytes = HexCodec::S2BS(hex);
                exchange(std::string(bytes.begin(), bytes.end()));
            }
            continue;
        }
        if (line.size() <= 32) {
            e.tx.push_back(line);
            exchange(line + "\n");
        }
    }
    e.lines.push_back("CLOSE");
    return e;
}

std::string quoted(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += "\"" + s + "\" ";
    return out;
}

}  // namespace

std::string checkSession(const uint8_t* data, size_t size) {
    static SessionHarness harness;
    return harness.check(std::string(reinterpret_cast<const char*>(data), size));
}

// ---- SessionHarness

namespace {

// Reads from the client socket with an immediate acknowledgement of every
// read: the server writes its answers as small segments, and with the
// client's acknowledgement delayed each of them would wait up to 40 ms for
// the one before (Nagle), which only slows this harness down.
class QuickAckSource : public ByteSource {
public:
    explicit QuickAckSource(TcpSocket& socket) : socket_(socket) {}
    size_t receive(char* buf, size_t len) override {
        const int on = 1;
        ::setsockopt(socket_.fd(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        return socket_.receive(buf, len);
    }

private:
    TcpSocket& socket_;
};

}  // namespace

// Only the transmit field is checked: a megabyte of lines leaves no other
// record behind to count as the server's memory.
SessionHarness::SessionHarness()
    : port_(std::make_shared<FakeSerialPort>()), log_(std::make_shared<ViewLog>(std::vector<std::string>{"tx"})) {
    // The fake device in place of a serial port.
    // It answers as it is written to: no answer wait, so that thousands of
    // exchanges fit in seconds.
    LocalCAM::Options instantAnswers;
    instantAnswers.answerWaitMs = 0;
    cam_ = std::make_unique<LocalCAM>(
        "fake", 0, 115200, 8, 1, "None", "None", 0,
        recordingDependencies(log_, [this](std::shared_ptr<Serlib::SerialConfig>) { return port_; }), instantAnswers);
}

SessionHarness::~SessionHarness() { cam_.reset(); }

int SessionHarness::port() const { return cam_->listeningPort(); }

std::string SessionHarness::check(const std::string& stream) {
    port_->reset();
    log_->take();
    const int listening = cam_->listeningPort();
    if (listening <= 0) return "the controller is not listening";

    TcpSocket client = TcpSocket::connect("127.0.0.1", listening);
    client.setReceiveTimeout(20000);
    // Sent while the answers are read, so neither side can fill the other's
    // buffers and stall.
    std::thread sender([&client, &stream] {
        try {
            client.sendAll(stream.data(), stream.size());
            client.shutdownWrite();
        } catch (const NetError&) {
            // The server ended the session before taking everything: fine.
        }
    });
    std::vector<std::string> lines;
    std::string failure;
    QuickAckSource source(client);
    LineReader reader(source, 1 << 16);
    for (;;) {
        try {
            const LineReader::Result r = reader.readLine();
            if (r.endOfStream()) break;
            lines.push_back(r.text);
        } catch (const NetTimeout&) {
            failure = "the session did not end within 20 s";
            break;
        } catch (const NetError&) {
            // A reset after the server's last line: the client sent more
            // than the server read before it closed.
            break;
        }
    }
    if (!failure.empty()) client.shutdown();
    sender.join();
    if (!failure.empty()) return failure;

    const Expected want = model(stream);
    if (lines != want.lines) return "client lines: got " + quoted(lines) + "want " + quoted(want.lines);
    for (const std::string& l : lines) {
        if (l.size() > 2 * SerOutPort::kRxBufferSize) return "an answer of more than 32 bytes: " + l;
    }
    const std::string serial = port_->written();
    if (serial != want.serial) {
        return "serial bytes: got " + HexCodec::BS2S(Bytes(serial.begin(), serial.end()), static_cast<int>(serial.size())) +
               " want " + HexCodec::BS2S(Bytes(want.serial.begin(), want.serial.end()), static_cast<int>(want.serial.size()));
    }
    const std::vector<std::string> tx = log_->texts("tx");
    if (tx != want.tx) return "transmit field: got " + quoted(tx) + "want " + quoted(want.tx);
    return {};
}
