#pragma once
// A blocking byte output stream over an open SerialPort. Errors of the port
// pass through. Not synchronised: one writer at a time.
#include <memory>

#include "Serlib/SerialPort.h"

namespace Serlib {

class SerOutputStream {
public:
    // IOError "Port not open" when the port's handle is negative; otherwise
    // sets the port's send timeout to 2147483647 ms.
    explicit SerOutputStream(std::shared_ptr<SerialPort> sp);

    void write(int b);                               // the low 8 bits
    void write(const Bytes& b);
    void write(const Bytes& b, int off, int len);    // std::out_of_range before sending
    void flush();                                    // until txBufCount() <= 0
    void close() {}                                  // leaves the port open

protected:
    std::shared_ptr<SerialPort> sp;
};

}  // namespace Serlib
