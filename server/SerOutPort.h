#pragma once
// The serial line adapter: turns the operator's line settings into a port
// configuration, opens the port, and performs the server's one kind of
// exchange: write a command, wait 150 ms, collect what the device sent back.
//
// Threads: not synchronised. An adapter owns its port, its streams and its
// receive buffer, so exchanges on one adapter must not overlap; the
// controller makes each whole exchange mutually exclusive.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/Bytes.h"
#include "server/SerialLine.h"

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

    // Opens a configured port: the serial library's own by default; tests
    // hand in a device of their own. Raises what opening raises.
    using PortFactory = std::function<std::shared_ptr<Serlib::SerialPort>(std::shared_ptr<Serlib::SerialConfig>)>;
    static std::shared_ptr<Serlib::SerialPort> OpenLocalPort(std::shared_ptr<Serlib::SerialConfig> config);

    // Opens the port; a failure prints one console line and leaves the
    // adapter without a port, it is never thrown.
    explicit SerOutPort(const SerialLine& line, const PortFactory& openPort = OpenLocalPort);
    SerOutPort(const std::string& s, int baudrate, int dbits, int sbits, const std::string& parity,
               const std::string& handshake, int dtr, const PortFactory& openPort = OpenLocalPort);
    // Closes the port.
    ~SerOutPort();
    SerOutPort(const SerOutPort&) = delete;
    SerOutPort& operator=(const SerOutPort&) = delete;

    // Writes the line settings into serCfg: a bit rate as its code, or as
    // the rate itself where no code has it (for a driver that sets any
    // rate); any other value outside the tables leaves the record's default.
    void SerCfgGeneric(int baudrate, int dbits, int sbits, const std::string& parity, const std::string& handshake);

    // One exchange: clears the receive buffer, writes, and only when the
    // write succeeded waits 150 ms and reads. Returns the buffer; numBytes
    // counts its answer bytes (0 when the write failed).
    const Bytes& SendSerial(const Bytes& bytes);
    const Bytes& SendSerial(const std::string& text);

    // How an answer is collected: by default the device has waitMs (150)
    // and whatever it sent by then is the answer. With gapMs > 0 the answer
    // is complete as soon as the device has been quiet for gapMs after its
    // last byte, or once 32 bytes are in, or once waitMs have passed; with no
    // byte at all the whole waitMs. A device that pauses longer than the gap
    // inside an answer has it split: the rest is the next exchange's, as
    // late bytes always are. Not while an exchange runs.
    void SetAnswerTiming(int waitMs, int gapMs);
    // With an end (1 to 4 bytes, say CR LF), the answer is complete as soon
    // as the bytes that came for it end with it, the end included; the
    // limits above still hold, whichever comes first. Bytes read past the
    // end are the next answer's first. Empty: no end. Not while an exchange
    // runs.
    void SetAnswerEnd(const Bytes& end);
    // Whether the last answer ended at that end.
    bool EndedAtDelimiter() const { return endedAtDelimiter_; }

    // The same exchange in its two steps, for a caller that acts between
    // them: the first starts afresh and writes (false when the write
    // failed), the second waits for and collects the answer.
    bool WriteCommand(const Bytes& bytes);
    bool WriteCommand(const std::string& text);
    const Bytes& CollectAnswer();

    bool SendSer(const Bytes& bytes);        // the bytes unchanged
    bool SendSer(const std::string& text);   // the text and one line feed
    // Collects, in arrival order, at most the 32 bytes the buffer holds;
    // later bytes stay queued in the port for the next exchange.
    const Bytes& ReadSer();

    // Drops what the device has sent and nobody collected yet (the late
    // answer of an earlier client); returns how many bytes that was.
    int DiscardPending();

    // The stream protocols' two directions, which one thread each may use
    // at the same time (and with nothing else of the adapter).
    // Waits up to waitMs for bytes from the device and reads at most most
    // of them into buffer from its start: their count, 0 when none came.
    // Raises (Serlib::IOError) when the port is not open or the device
    // fails.
    int ReadSome(Bytes& buffer, int most, int waitMs);
    // Writes the first n bytes of data, waiting at most sliceMs (and their
    // time on the wire) while the line is held: how many went. Raises when
    // the port is not open or the device fails.
    int WriteSome(const Bytes& data, int n, int sliceMs);
    // Whether the program is ending (Abandon()).
    bool Abandoned() const { return abandoned_; }

    // A remote client's control of the line (RFC 2217), beside the streams.
    // The settings in use; other settings, true when the device took them
    // (the record then holds them; the line stays as it was otherwise).
    const SerialLine& Line() const { return line_; }
    bool Reconfigure(const SerialLine& line);
    // The Serlib calls, false where the device refused (or has no port).
    bool SetDtr(bool on);
    bool SetRts(bool on);
    bool SetBreak(bool on);
    void Purge(bool received, bool toSend);
    // Whether the device has modem lines: a pseudo-terminal has none.
    bool HasModemLines();
    // Each modem line's state, off where the device cannot tell.
    bool Cts();
    bool Dsr();
    bool Ring();
    bool CarrierDetect();
    // The line errors seen since the last time each was asked.
    bool Overrun();
    bool ParityError();
    bool FramingError();
    bool BreakSeen();
    // Opens the port with the adapter's settings when it is not open (the
    // constructor's first attempt failed, or the device was absent); true
    // when it is open. report: a failure prints its console line.
    bool OpenPort(bool report = false);
    // Whether OpenPort() can ever succeed: the settings were taken.
    bool CanOpen() const { return serCfg != nullptr; }
    // Closes the port now, giving back its lock and exclusive use; every
    // later exchange fails as with a port that never opened.
    void ClosePort();
    // The program is ending: the exchange in progress stops waiting for its
    // answer at once (within kAbandonCheckMs in gap mode), and every later
    // one writes nothing. The one call any thread may make while an
    // exchange runs.
    void Abandon();
    static constexpr int kAbandonCheckMs = 100;

    int SerCount() const { return numBytes; }
    int GetSerError() const { return SerError; }
    // Whether the last exchange failed because its write ran out of time;
    // what it had not sent was dropped, and the line runs again.
    bool WriteTimedOut() const { return writeTimedOut_; }
    // Whether the port is open (opening it did not fail, nor was it closed).
    bool PortOpen() const { return port_ != nullptr; }
    // The receive buffer: the last answer in its first numBytes bytes.
    const Bytes& Buffer() const { return buffer_; }

    static void OutLine(const std::string& s);  // trace sink: discards

    // The running adapter's port, its streams (empty when opening or making
    // them failed), its receive buffer and the trace text of its current
    // exchange; empty without an adapter. For diagnostics: the adapter's
    // own users hold it and ask it directly.
    static std::shared_ptr<Serlib::SerialPort> serialPort();
    static std::shared_ptr<Serlib::SerOutputStream> SerialOutStream();
    static std::shared_ptr<Serlib::SerInputStream> SerialInStream();
    static Bytes serin();
    static std::string iodebug();

    int txBuf = 2048;
    int rxBuf = 4096;
    int numBytes = 0;
    int SerError = 0;  // last exchange: 0 none, 1 write failed, 2 read failed
    std::shared_ptr<Serlib::SerialConfig> serCfg;

private:
    template <typename Command>
    bool writeCommand(const Command& command);
    // Bounds the coming write of n bytes: at most waitMs and their time on
    // the wire.
    void boundWrite(size_t n, int waitMs = kWriteTimeoutMs);
    // The write ran out of time: drop the rest and restart the line.
    void abandonWrite();
    // Collects the answer as its bytes come, until the device is quiet (the
    // gap) or the answer's end came.
    const Bytes& collectAsItComes();
    void traceAnswer();

    // The newest adapter that still exists, for the class-wide accessors.
    static std::atomic<SerOutPort*> running_;

    // Every setting of line in the record's codes; false when one has none
    // (a parity or handshake no table names, a rate no driver code has and
    // that cannot go as itself).
    static bool codesFor(const SerialLine& line, Serlib::SerialConfig& config);
    // Asks the port, false when it cannot answer.
    template <typename Query>
    bool ask(Query query);

    const PortFactory openPort_;
    const int dtr_;
    SerialLine line_;
    std::shared_ptr<Serlib::SerialPort> port_;
    std::shared_ptr<Serlib::SerOutputStream> out_;
    std::shared_ptr<Serlib::SerInputStream> in_;
    Bytes buffer_;
    std::string trace_;
    int bitRate_ = 9600;
    int answerWaitMs_ = kAnswerWaitMs;
    int answerGapMs_ = 0;
    int writeBoundMs_ = -1;  // the send time-out last given to the port
    int pendingAtWrite_ = 0;  // bytes the device had sent before the command (gap or end)
    Bytes answerEnd_;
    Bytes carried_;  // read past an answer's end: the next answer's first bytes
    bool endedAtDelimiter_ = false;
    std::mutex abandonMutex_;
    std::condition_variable abandonWake_;
    std::atomic<bool> abandoned_{false};
    bool writeTimedOut_ = false;
};
