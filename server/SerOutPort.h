#pragma once
// The serial line adapter: turns the operator's line settings into a port
// configuration, opens the port, and performs the server's one kind of
// exchange: write a command, wait 150 ms, collect what the device sent back.
//
// Threads: not synchronised. The port, its streams and the receive buffer
// are class-wide, so exchanges must not overlap; the controller makes each
// whole exchange mutually exclusive.
#include <functional>
#include <memory>
#include <string>

#include "Bytes.h"

namespace Serlib {
class SerialConfig;
class SerialPort;
class SerInputStream;
class SerOutputStream;
}  // namespace Serlib

class SerOutPort {
public:
    static constexpr int kRxBufferSize = 32;
    static constexpr int kAnswerWaitMs = 150;
    // The most a command's write may take, besides its time on the wire: a
    // line held by flow control (an XOFF the device echoed, CTS held low)
    // would otherwise hold the exchange, and with it every other, for ever.
    static constexpr int kWriteTimeoutMs = 2000;

    // Opens the port; a failure prints one console line and leaves
    // serialPort empty, it is never thrown.
    SerOutPort(const std::string& s, int baudrate, int dbits, int sbits, const std::string& parity,
               const std::string& handshake, int dtr);
    // Releases the port and its streams when they are still this adapter's.
    ~SerOutPort();
    SerOutPort(const SerOutPort&) = delete;
    SerOutPort& operator=(const SerOutPort&) = delete;

    // Writes the line settings into serCfg; a value outside the tables
    // leaves the record's default.
    void SerCfgGeneric(int baudrate, int dbits, int sbits, const std::string& parity, const std::string& handshake);

    // One exchange: clears serin, writes, and only when the write succeeded
    // waits 150 ms and reads. Returns serin; numBytes counts its answer bytes
    // (0 when the write failed).
    const Bytes& SendSerial(const Bytes& bytes);
    const Bytes& SendSerial(const std::string& text);

    bool SendSer(const Bytes& bytes);        // the bytes unchanged
    bool SendSer(const std::string& text);   // the text and one line feed
    // Collects, in arrival order, at most the 32 bytes serin holds; later
    // bytes stay queued in the port for the next exchange.
    const Bytes& ReadSer();

    // Drops what the device has sent and nobody collected yet (the late
    // answer of an earlier client); returns how many bytes that was.
    int DiscardPending();
    // Closes the port now, giving back its lock and exclusive use; every
    // later exchange fails as with a port that never opened.
    void ClosePort();

    // Called on the exchanging thread once the command is on the line, as
    // the wait for the answer begins: the controller lets its window catch
    // up then, while nothing waits on it.
    std::function<void()> onAnswerWait;

    int SerCount() const { return numBytes; }
    int GetSerError() const { return SerError; }
    // Whether the last exchange failed because its write ran out of time;
    // what it had not sent was dropped, and the line runs again.
    bool WriteTimedOut() const { return writeTimedOut_; }

    static void OutLine(const std::string& s);  // trace sink: discards

    // Class-wide, as the one adapter's: the trace text of the current
    // exchange, the receive buffer, the port (empty when opening failed) and
    // its streams (empty when making them failed).
    static std::string iodebug;
    static Bytes serin;
    static std::shared_ptr<Serlib::SerialPort> serialPort;
    static std::shared_ptr<Serlib::SerOutputStream> SerialOutStream;
    static std::shared_ptr<Serlib::SerInputStream> SerialInStream;

    int txBuf = 2048;
    int rxBuf = 4096;
    int numBytes = 0;
    int SerError = 0;  // last exchange: 0 none, 1 write failed, 2 read failed
    std::shared_ptr<Serlib::SerialConfig> serCfg;

private:
    // Bounds the coming write of n bytes; false when it cannot be bounded.
    void boundWrite(size_t n);
    // The write ran out of time: drop the rest and restart the line.
    void abandonWrite();

    bool ownsPort_ = false;
    int bitRate_ = 9600;
    int writeBoundMs_ = -1;  // the send time-out last given to the port
    bool writeTimedOut_ = false;
};
