#pragma once
// A move-only owner of one socket, closed exactly once (close on POSIX,
// closesocket on Windows). Files and terminals have their own owner,
// UniqueFd. Like any value, one thread changes it at a time; others may use
// get() (shutdown, for one) while the owner keeps it open.
#include "common/SocketApi.h"

class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(SocketApi::Native socket) : socket_(socket) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    SocketApi::Native get() const { return socket_; }
    bool valid() const { return SocketApi::isValid(socket_); }
    SocketApi::Native release() {
        const SocketApi::Native socket = socket_;
        socket_ = SocketApi::kInvalid;
        return socket;
    }
    void reset(SocketApi::Native socket = SocketApi::kInvalid) {
        if (valid()) {
            // Nothing is left to do about a failed close: the socket is gone.
            static_cast<void>(SocketApi::close(socket_));
        }
        socket_ = socket;
    }

private:
    SocketApi::Native socket_ = SocketApi::kInvalid;
};

#ifdef _WIN32
// A move-only owner of one Winsock event object (WSACreateEvent), closed
// exactly once. Setting and waiting may come from any thread while the
// owner keeps it.
class UniqueEvent {
public:
    UniqueEvent() = default;
    explicit UniqueEvent(WSAEVENT event) : event_(event) {}
    ~UniqueEvent() { reset(); }
    UniqueEvent(UniqueEvent&& other) noexcept : event_(other.release()) {}
    UniqueEvent& operator=(UniqueEvent&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueEvent(const UniqueEvent&) = delete;
    UniqueEvent& operator=(const UniqueEvent&) = delete;

    WSAEVENT get() const { return event_; }
    bool valid() const { return event_ != WSA_INVALID_EVENT; }
    WSAEVENT release() {
        const WSAEVENT event = event_;
        event_ = WSA_INVALID_EVENT;
        return event;
    }
    void reset(WSAEVENT event = WSA_INVALID_EVENT) {
        if (valid()) static_cast<void>(::WSACloseEvent(event_));
        event_ = event;
    }

private:
    WSAEVENT event_ = WSA_INVALID_EVENT;
};
#endif
