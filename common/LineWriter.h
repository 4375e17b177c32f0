#pragma once
// Writes text lines to a socket, each followed by the line end and sent at
// once (no buffering across lines). One writing thread at a time.
#include <string>

#include "common/TcpSocket.h"

class LineWriter {
public:
    // The socket must outlive the writer.
    explicit LineWriter(TcpSocket& socket, std::string lineEnd = "\n")
        : socket_(socket), lineEnd_(std::move(lineEnd)) {}

    // Raises NetError (NetTimeout when the peer stopped reading and the
    // socket's send time-out ran out).
    void writeLine(const std::string& text);

private:
    TcpSocket& socket_;
    const std::string lineEnd_;
};
