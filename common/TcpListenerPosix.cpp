#include "common/TcpListener.h"

void TcpListener::prepareAccept() {}

TcpSocket TcpListener::accept() {
    for (;;) {
        TcpSocket accepted(::accept4(socket_.get(), nullptr, nullptr, SocketApi::kCloseOnExec));
        if (accepted.valid()) return accepted;
        const int err = SocketApi::lastError();
        if (err == EINTR || err == ECONNABORTED) continue;
        throw NetError(socketErrorText("accept", err));
    }
}

void TcpListener::shutdown() {
    if (socket_.valid()) static_cast<void>(SocketApi::shutdown(socket_.get(), SocketApi::kShutBoth));
}
