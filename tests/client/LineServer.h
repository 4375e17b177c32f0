#pragma once
// A bridge server stand-in for the client's tests: listens on a free port
// and speaks lines with one client at a time, scripted by the test.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ComPortOption.h"
#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpListener.h"
#include "common/TcpSocket.h"
#include "tests/support/TelnetClient.h"

class ServerPeer {
public:
    explicit ServerPeer(TcpSocket socket);
    ServerPeer(ServerPeer&&) = delete;

    void send(const std::string& line);
    // The next line from the client, or nothing at its end of stream.
    // Raises NetTimeout when nothing comes within the timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes the connection in order (FIN), as a server that ends a session.
    void close();
    // Resets the connection (RST), as a crashed or vanished server.
    void abort();

private:
    TcpSocket socket_;
    LineReader reader_;
    LineWriter writer_;
};

// The server's side of RFC 2217, scripted by the test: it asks for the Com
// Port Control Option at once (DO COM-PORT-OPTION, as orvo does), answers
// the client's negotiation, and keeps the client's commands apart from its
// data. One test thread uses it.
class Rfc2217Peer {
    TelnetClient peer_;  // made before data, which refers into it

public:
    explicit Rfc2217Peer(TcpSocket socket);

    // A message of the server's: the command's code plus 100, and a value.
    void tell(uint8_t command, const std::string& value = {});
    // Bytes as the device sent them (IAC doubled).
    void sendData(const std::string& bytes) { peer_.sendData(bytes); }
    // The value of the client's next command with this code, taken off the
    // list; nothing when none came in time.
    std::optional<std::string> next(uint8_t command, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return peer_.next(command, timeout);
    }
    // Whether at least n bytes of data came in time.
    bool dataCame(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string& data;  // the client's data so far
};

class LineServer {
public:
    LineServer() : listener_(TcpListener::listen(0)) {}
    int port() const { return listener_.port(); }
    // The next waiting client; the client's connect() has already returned,
    // so the connection is in the queue.
    TcpSocket accept() { return listener_.accept(); }

private:
    TcpListener listener_;
};

// A port on which nothing listens (it was just free).
int closedPort();

// A host that does not answer, on 127.0.0.1: a listener whose accept queue
// is full and which never accepts. The system drops every further connection
// request, so a connect() to it waits as for a silent host.
class FullQueueListener {
public:
    FullQueueListener();
    ~FullQueueListener();
    FullQueueListener(const FullQueueListener&) = delete;
    FullQueueListener& operator=(const FullQueueListener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<TcpSocket> queued_;  // the connections that fill the queue
};
