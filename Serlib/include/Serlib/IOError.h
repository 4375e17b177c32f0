#pragma once
// The serial port library's two kinds of failure besides illegal arguments
// (which are std::invalid_argument): I/O errors, whose what() is the exact
// message text of the failing operation, and driver-load errors, raised by any
// driver operation when no driver library could be loaded.
#include <stdexcept>
#include <string>

#include "Serlib/Bytes.h"

namespace Serlib {

class IOError : public std::runtime_error {
public:
    explicit IOError(const std::string& message) : std::runtime_error(message) {}
};

// A send that the port's send time-out ended with fewer bytes than asked: the
// line is held (by flow control, say) and the rest was never taken. The text
// is that of the failing send; sent() says how many bytes did go, so that a
// caller can go on from there.
class WriteTimeout : public IOError {
public:
    explicit WriteTimeout(const std::string& message, int sent = 0) : IOError(message), sent_(sent) {}
    int sent() const { return sent_; }

private:
    int sent_;
};

// Not an IOError on purpose: callers that catch I/O errors must not mistake a
// missing driver for a failed port operation.
class DriverLoadError : public std::runtime_error {
public:
    explicit DriverLoadError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace Serlib
