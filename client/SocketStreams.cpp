#include "client/SocketStreams.h"

#include <utility>

SocketLineReader::SocketLineReader(std::shared_ptr<TcpSocket> socket)
    : socket_(std::move(socket)), reader_(*socket_) {}

LineReader::Result SocketLineReader::readLine() { return reader_.readLine(); }

void SocketLineReader::close() {
    if (closed_.exchange(true)) throw NetError("line reader closed twice");
    socket_->shutdownRead();
}

// The server splits lines at LF, CR or CR LF; LF is this platform's own.
SocketLineWriter::SocketLineWriter(std::shared_ptr<TcpSocket> socket)
    : socket_(std::move(socket)), writer_(*socket_, "\n") {}

void SocketLineWriter::writeLine(const std::string& text) { writer_.writeLine(text); }

void SocketLineWriter::close() {
    if (closed_.exchange(true)) throw NetError("line writer closed twice");
    socket_->shutdownWrite();
}
