#pragma once
// Helpers for the soak and fault tests: a status view that records when each
// call came, a line client on a real loopback socket, a virtual modem (vdev)
// on a pseudo-terminal, and counts of this process's threads, descriptors
// and memory.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LineReader.h"
#include "LocalCAM.h"
#include "SerOutPort.h"
#include "StatusView.h"
#include "TcpSocket.h"

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

struct TimedEvent {
    SteadyClock::time_point at;
    std::string field;  // "status", "tx", "rx", "serial", "ip"
    std::string text;
};

// Every display call with its time; any thread.
class TimedLog {
public:
    void add(const std::string& field, const std::string& text);
    std::vector<TimedEvent> events();
    size_t count(const std::string& field, const std::string& text);
    // Waits until the field has shown text n times in all; false when the
    // time ran out.
    bool waitForCount(const std::string& field, const std::string& text, size_t n,
                      std::chrono::milliseconds timeout = 20s);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TimedEvent> events_;
};

class TimedView : public StatusView {
public:
    explicit TimedView(std::shared_ptr<TimedLog> log) : log_(std::move(log)) {}
    void ShowStatus(const std::string& a) override { log_->add("status", a); }
    void ShowTX(const std::string& a) override { log_->add("tx", a); }
    void ShowRX(const std::string& a) override { log_->add("rx", a); }
    void ShowSerial(const std::string& a) override { log_->add("serial", a); }
    void ShowIP(const std::optional<InetAddress>& a) override { log_->add("ip", InetAddressText(a)); }

private:
    std::shared_ptr<TimedLog> log_;
};

// The real controller on a free port with a recording view; serialPort is
// the device path (or one that does not open, for a fake port put in later).
std::unique_ptr<LocalCAM> startController(const std::string& serialPort, const std::shared_ptr<TimedLog>& log,
                                          SerOutPort::PortFactory openPort = SerOutPort::OpenLocalPort);

// A bridge client on loopback, reading lines as the server frames them.
class Client {
public:
    // receiveBuffer > 0 shrinks the socket's receive buffer before it
    // connects, so a client that stops reading fills up soon.
    explicit Client(int port, std::chrono::milliseconds receiveTimeout = 20s, int receiveBuffer = 0);
    void send(const std::string& line) { sendRaw(line + "\n"); }
    void sendRaw(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }
    // The next line, or nothing at the end of the stream (or a reset).
    // Raises NetTimeout when nothing came within the receive time-out.
    std::optional<std::string> readLine();
    // Whether a line or the end of the stream is waiting right now.
    bool hasInput();
    TcpSocket& socket() { return socket_; }

private:
    TcpSocket socket_;
    LineReader reader_;
};

// vdev on a pseudo-terminal, reached through a link in its own directory.
class VirtualModem {
public:
    explicit VirtualModem(const std::vector<std::string>& options = {});
    const std::string& link() const { return link_; }
    void vanish();      // SIGUSR1: the terminal goes away
    void comeBack();    // SIGUSR2: a new terminal, the link moved to it

private:
    TempDir dir_;
    std::string link_;
    std::unique_ptr<ChildProcess> process_;
};

size_t threadCount();
size_t descriptorCount();
// This process's resident and peak resident memory, in KiB.
long residentKiB();
long peakResidentKiB();

// Waits for cond, checking every few milliseconds; false when time ran out.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 20s);
