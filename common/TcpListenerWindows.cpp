#include "common/TcpListener.h"

void TcpListener::prepareAccept() {
    events_.acceptReady.reset(::WSACreateEvent());
    events_.stop.reset(::WSACreateEvent());
    if (!events_.acceptReady.valid() || !events_.stop.valid()) {
        throw NetError(socketErrorText("WSACreateEvent", SocketApi::lastError()));
    }
    // Makes the socket non-blocking; accept() waits on the event instead.
    if (::WSAEventSelect(socket_.get(), events_.acceptReady.get(), FD_ACCEPT) != 0) {
        throw NetError(socketErrorText("WSAEventSelect", SocketApi::lastError()));
    }
}

TcpSocket TcpListener::accept() {
    const WSAEVENT events[2] = {events_.stop.get(), events_.acceptReady.get()};
    for (;;) {
        if (!events_.stop.valid() || ::WaitForSingleObject(events_.stop.get(), 0) == WAIT_OBJECT_0) {
            throw NetError("accept: the listener was shut down");
        }
        TcpSocket accepted(::accept(socket_.get(), nullptr, nullptr));
        if (accepted.valid()) {
            // The accepted socket inherits the listener's event selection and
            // with it non-blocking mode; the connection blocks like any other.
            if (::WSAEventSelect(accepted.fd(), nullptr, 0) != 0 || !SocketApi::setBlocking(accepted.fd(), true)) {
                throw NetError(socketErrorText("accept: blocking mode", SocketApi::lastError()));
            }
            return accepted;
        }
        const int err = SocketApi::lastError();
        // A client that gave up before its turn; or a wake-up for nothing.
        if (err == WSAEINTR || err == WSAECONNRESET) continue;
        if (err != WSAEWOULDBLOCK) throw NetError(socketErrorText("accept", err));
        // The stop event comes first, so a shutdown wins over a waiting client.
        const DWORD woke = ::WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
        if (woke == WSA_WAIT_FAILED) throw NetError(socketErrorText("accept: wait", SocketApi::lastError()));
        if (woke == WSA_WAIT_EVENT_0 + 1) {
            // Clears the accept event until the next client arrives.
            WSANETWORKEVENTS happened{};
            static_cast<void>(::WSAEnumNetworkEvents(socket_.get(), events_.acceptReady.get(), &happened));
        }
    }
}

void TcpListener::shutdown() {
    if (events_.stop.valid()) static_cast<void>(::WSASetEvent(events_.stop.get()));
}
