#pragma once
// A failed network operation; the message names the call and keeps errno.
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

// "what: strerror(err)"
std::string errnoText(const std::string& what, int err);
