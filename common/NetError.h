#pragma once
// A failed network operation; the message names the call and keeps the
// system's error text.
#include <stdexcept>
#include <string>

class NetError : public std::runtime_error {
public:
    explicit NetError(const std::string& message) : std::runtime_error(message) {}
};

// A receive or send that ran into the socket's time-out.
class NetTimeout : public NetError {
public:
    explicit NetTimeout(const std::string& message) : NetError(message) {}
};

// A listening address that is not (yet) one of this host's: a DHCP lease or
// an interface that comes later at boot, or a name that does not resolve.
class NetAddressMissing : public NetError {
public:
    explicit NetAddressMissing(const std::string& message) : NetError(message) {}
};

// "what: strerror(err)", for an errno value of the C library.
std::string errnoText(const std::string& what, int err);

// "what: text", for a socket error (SocketApi::lastError(): errno on POSIX,
// where it equals errnoText; a Winsock code on Windows).
std::string socketErrorText(const std::string& what, int err);
