#pragma once
// The serial device as a stream protocol's session uses it: bytes both ways
// as they come, and the line's settings and signals, which a remote client
// (RFC 2217) may change. One thread may write (and change the line) while
// another waits for and reads what comes in (see SerialDevice).
#include <functional>

#include "common/Bytes.h"
#include "server/SerialLine.h"

class DeviceStream {
public:
    virtual ~DeviceStream() = default;

    // Waits up to waitMs and reads at most most bytes into buffer: their
    // count, 0 when none came, -1 while the device is away.
    virtual int Read(Bytes& buffer, int most, int waitMs) = 0;
    // All n bytes of data, waiting while the device's flow control holds the
    // line for as long as keepWaiting() says so; false when the device is
    // away or the wait was given up.
    virtual bool Write(const Bytes& data, int n, const std::function<bool()>& keepWaiting) = 0;

    // The line's settings in use.
    virtual SerialLine Line() = 0;
    // Runs the line with these settings: true when the device took them (a
    // setting already in use costs the device nothing); otherwise the line
    // stays as it was.
    virtual bool SetLine(const SerialLine& line) = 0;
    // The modem lines the bridge drives; true when the device did as asked,
    // or has no such line (a pseudo-terminal) and so is as asked.
    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
    // Holds the line in break, or lets it go; true when the device did.
    virtual bool SetBreak(bool on) = 0;
    // Drops what the device sent and nobody read yet, and what waits to be
    // sent to it.
    virtual void Purge(bool received, bool toSend) = 0;
    // The modem lines the device drives; each off where it has none.
    struct ModemLines {
        bool cts = false;
        bool dsr = false;
        bool ring = false;
        bool carrier = false;
        bool operator==(const ModemLines& o) const {
            return cts == o.cts && dsr == o.dsr && ring == o.ring && carrier == o.carrier;
        }
    };
    virtual ModemLines Modem() = 0;
    // Line errors seen since the last time this was asked.
    struct LineErrors {
        bool overrun = false;
        bool parity = false;
        bool framing = false;
        bool breakSeen = false;
    };
    virtual LineErrors Errors() = 0;
    // Back to the bridge's own settings, modem lines raised and no break:
    // the client that changed them has gone.
    virtual void Restore() = 0;
};
