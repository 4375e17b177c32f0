#pragma once
// Helpers for the bridge core tests: a view that records every display call,
// a pseudo-terminal device with a scripted answer, and a line client on a
// real TCP socket.
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LineReader.h"
#include "LocalCAM.h"
#include "StatusView.h"
#include "TcpSocket.h"

using namespace std::chrono_literals;

// Every display call in order, with the field it went to.
struct ViewEvent {
    std::string field;  // "status", "tx", "rx", "serial", "ip"
    std::string text;
};

class ViewLog {
public:
    void add(const std::string& field, const std::string& text);
    std::vector<ViewEvent> events();
    std::vector<std::string> texts(const std::string& field);
    size_t count(const std::string& field, const std::string& text);
    size_t size();
    // Waits until the field has shown text at index from or later; returns
    // that index, or nothing when the time ran out.
    std::optional<size_t> waitFor(const std::string& field, const std::string& text, size_t from = 0,
                                  std::chrono::milliseconds timeout = 10s);
    // Waits until the field has shown text at least n times.
    bool waitForCount(const std::string& field, const std::string& text, size_t n,
                      std::chrono::milliseconds timeout = 10s);
    // The status texts from index from on (indexes into events()).
    std::vector<std::string> statusesFrom(size_t from);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ViewEvent> events_;
};

class RecordingView : public StatusView {
public:
    explicit RecordingView(std::shared_ptr<ViewLog> log) : log_(std::move(log)) {}
    void ShowStatus(const std::string& a) override { log_->add("status", a); }
    void ShowTX(const std::string& a) override { log_->add("tx", a); }
    void ShowRX(const std::string& a) override { log_->add("rx", a); }
    void ShowSerial(const std::string& a) override { log_->add("serial", a); }
    void ShowIP(const std::optional<InetAddress>& a) override { log_->add("ip", InetAddressText(a)); }

private:
    std::shared_ptr<ViewLog> log_;
};

// A view factory that records into log.
LocalCAM::ViewFactory recordingViewFactory(const std::shared_ptr<ViewLog>& log);

// A serial device on a pseudo-terminal: the port name to open is path().
// Everything written to it is kept; the responder sees the unconsumed input
// (and may consume it) and returns the bytes to answer with.
class PtyDevice {
public:
    using Responder = std::function<std::string(std::string& pending)>;

    // Answers a line (ended by LF or CR) starting "AT" with "OK" CR LF,
    // other complete lines with nothing.
    static Responder modem();
    // Answers every complete line with replyFor(line).
    static Responder lines(std::function<std::string(const std::string&)> replyFor);

    explicit PtyDevice(Responder responder = modem(), std::chrono::milliseconds replyDelay = 0ms);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& path() const { return path_; }
    std::string received();
    // Waits until at least n bytes have arrived in all.
    bool waitReceived(size_t n, std::chrono::milliseconds timeout = 10s);
    // Waits until the device has answered n times in all.
    bool waitReplied(size_t n, std::chrono::milliseconds timeout = 10s);
    // The terminal settings the port set on the line.
    bool attributes(termios& tio) const;

private:
    void loop();

    int master_ = -1;
    int slave_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    Responder responder_;
    std::chrono::milliseconds replyDelay_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    size_t replies_ = 0;
    std::thread thread_;
};

// A client of the bridge on a real socket, reading lines as the protocol
// frames them.
class LineClient {
public:
    explicit LineClient(int port, std::chrono::milliseconds receiveTimeout = 10s);
    void send(const std::string& line);             // the line and LF
    void sendRaw(const std::string& bytes);
    // The next line; nothing at the end of the stream. Raises NetTimeout
    // when no line came in time.
    std::optional<std::string> readLine();
    // Whether the stream ends (no more lines) within the receive time-out.
    bool endsWithin();
    TcpSocket& socket() { return socket_; }

private:
    TcpSocket socket_;
    LineReader reader_;
};

// Threads of this process, from /proc.
size_t threadCount();
// Descriptors open in this process, from /proc.
size_t openDescriptorCount();

// Waits for cond, checking every few milliseconds; false when time ran out.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 10s);
