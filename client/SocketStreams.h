#pragma once
// The controller's line reader and line writer over its socket. Both share
// ownership of the socket with the controller and the receiver, so the
// descriptor is closed (by TcpSocket's destructor) exactly once, when the
// last of them lets go, and never under a thread that still reads from it.
// Closing a stream only shuts down its direction of the connection, which
// also ends a read blocked in another thread.
#include <atomic>
#include <memory>
#include <string>

#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpSocket.h"

class SocketLineReader {
public:
    explicit SocketLineReader(std::shared_ptr<TcpSocket> socket);

    // Receiver thread only. Raises NetError (NetTimeout on the receive time-out).
    LineReader::Result readLine();

    // Any thread: shuts down the receiving direction, so a read waiting in
    // another thread returns end of stream. A second close raises NetError:
    // it would mean two threads each believe they own the stream.
    void close();
    bool closed() const { return closed_; }

private:
    std::shared_ptr<TcpSocket> socket_;
    LineReader reader_;
    std::atomic<bool> closed_{false};
};

class SocketLineWriter {
public:
    explicit SocketLineWriter(std::shared_ptr<TcpSocket> socket);

    // Event thread only. Each line leaves at once. Raises NetError.
    void writeLine(const std::string& text);

    // Any thread: shuts down the sending direction (the server reads end of
    // stream). A second close raises NetError, as for the reader.
    void close();
    bool closed() const { return closed_; }

private:
    std::shared_ptr<TcpSocket> socket_;
    LineWriter writer_;
    std::atomic<bool> closed_{false};
};
