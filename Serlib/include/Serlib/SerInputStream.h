#pragma once
// A blocking byte input stream over an open SerialPort: reads poll the port
// every 20 ms until at least one byte has arrived. Errors of the port pass
// through. Not synchronised: one reader at a time.
#include <memory>

#include "Serlib/SerialPort.h"

namespace Serlib {

class SerInputStream {
public:
    // IOError "Port not open" when the port's handle is negative; otherwise
    // sets the port's receive timeout to 0.
    explicit SerInputStream(std::shared_ptr<SerialPort> sp);

    int read();                                // one byte, 0..255
    int read(Bytes& b);                        // at least one byte into b; 0 at once for an empty b
    // Range checked before reading (no read byte is ever dropped); a null b
    // stands for an absent array: bytes are read and 0 is returned.
    int read(Bytes* b, int off, int len);
    int available();                           // sp->rxReadyCount()
    void close();                              // closes the serial port

protected:
    std::shared_ptr<SerialPort> sp;
};

}  // namespace Serlib
