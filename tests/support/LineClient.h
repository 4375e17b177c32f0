#pragma once
// A client of the bridge on a real loopback socket, reading lines as the
// server frames them. One test thread sends, one reads.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/LineReader.h"
#include "common/TcpSocket.h"

class LineClient {
public:
    // Connects to 127.0.0.1. receiveBuffer > 0 shrinks the socket's receive
    // buffer before it connects, so a client that stops reading fills up soon.
    explicit LineClient(int port, std::chrono::milliseconds receiveTimeout = std::chrono::seconds(20),
                        int receiveBuffer = 0);
    // On a connection made already.
    LineClient(TcpSocket connected, std::chrono::milliseconds receiveTimeout);
    // Connects once something listens on port, asking again until limit ran
    // out (nothing tells when a program's listening socket opens); nothing then.
    static std::unique_ptr<LineClient> connectWithin(int port, std::chrono::milliseconds limit,
                                                     std::chrono::milliseconds receiveTimeout = std::chrono::seconds(20));
    // The reader reads from this object's own socket: it stays where it is.
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    void send(const std::string& line);  // the line and LF
    void sendRaw(const std::string& bytes);
    // The next line; nothing at the end of the stream. Raises NetTimeout when
    // no line came within the receive time-out, NetError on a reset.
    std::optional<std::string> readLine();
    // The next line's bytes as the server sent them, line end included (up
    // to and with the LF; what came before the end of the stream, if it
    // ended first). Read a byte at a time, so the line reader keeps the
    // rest: call it before readLine, which may have read ahead.
    std::string readRawLine();
    // The same, but a reset ends the stream too.
    std::optional<std::string> readLineOrEnd();
    // Whether the stream ends in order (no more lines, no reset) within the
    // receive time-out.
    bool endsWithin();
    // Whether a line or the end of the stream is waiting right now.
    bool hasInput();
    TcpSocket& socket() { return socket_; }

private:
    TcpSocket socket_;
    LineReader reader_;
};

// The bridge's text for device bytes: two hex digits a byte.
std::string hexOf(const std::string& bytes);
