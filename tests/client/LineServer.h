#pragma once
// A bridge server stand-in for the client's tests: listens on a free port
// and speaks lines with one client at a time, scripted by the test.
#include <chrono>
#include <optional>
#include <string>

#include "LineReader.h"
#include "LineWriter.h"
#include "TcpListener.h"
#include "TcpSocket.h"

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
