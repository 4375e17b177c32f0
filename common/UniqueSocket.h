#pragma once
// The owner of one socket (see UniqueResource): close on POSIX, closesocket
// on Windows. Files and terminals have their own owner, UniqueFd. Others may
// use get() (shutdown, for one) while the owner keeps it open.
#include "common/SocketApi.h"
#include "common/UniqueResource.h"

struct SocketTraits {
    using Native = SocketApi::Native;
    static Native invalid() { return SocketApi::kInvalid; }
    static bool valid(Native socket) { return SocketApi::isValid(socket); }
    // Nothing is left to do about a failed close: the socket is gone.
    static void close(Native socket) { static_cast<void>(SocketApi::close(socket)); }
};

using UniqueSocket = UniqueResource<SocketTraits>;

#ifdef _WIN32
// The owner of one Winsock event object (WSACreateEvent). Setting and waiting
// may come from any thread while the owner keeps it.
struct EventTraits {
    using Native = WSAEVENT;
    static Native invalid() { return WSA_INVALID_EVENT; }
    static bool valid(Native event) { return event != WSA_INVALID_EVENT; }
    static void close(Native event) { static_cast<void>(::WSACloseEvent(event)); }
};

using UniqueEvent = UniqueResource<EventTraits>;
#endif
