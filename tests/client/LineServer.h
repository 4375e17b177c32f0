#pragma once
// A bridge server stand-in for the client's tests: listens on a free port
// and speaks lines with one client at a time, scripted by the test.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpListener.h"
#include "common/TcpSocket.h"

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
