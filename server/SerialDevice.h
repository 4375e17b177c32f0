#pragma once
// The bridge's serial device as its users share it: the line adapter, the
// locks that keep them apart, and whether the device is there. Two ways to
// use it:
//  - exchanges (the line protocol, the operator's transmit field): a command
//    and its answer, whole, one at a time;
//  - streams (raw TCP, RFC 2217): bytes both ways as they come, where one
//    thread may write while another waits for and reads what comes in.
// An exchange holds both directions, so it never mixes with a stream's
// bytes. A device that goes away and comes back is said so, once each way.
//
// Threads: any.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/Bytes.h"
#include "server/DeviceStream.h"
#include "server/SerOutPort.h"
#include "server/SerialLine.h"
#include "server/StatusView.h"

class SerialDevice : public DeviceStream {
public:
    // Where a stream's read or write says that the device went away or came
    // back ("Serial device lost", "Serial device back").
    using Report = std::function<void(const std::string& status)>;

    // How an exchange's answer ends (SerOutPort::SetAnswerTiming and
    // SetAnswerEnd): the most it is waited for, the device's quiet gap (0:
    // none), the bytes it ends with (empty: none).
    struct AnswerEnds {
        int waitMs = SerOutPort::kAnswerWaitMs;
        int gapMs = 0;
        Bytes end;
    };

    // Opens the port (see SerOutPort).
    SerialDevice(const SerialLine& line, const SerOutPort::PortFactory& openPort, const AnswerEnds& answers,
                 Report report);
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // One exchange's outcome: the answer in hexadecimal, a change of the
    // device's state to show after it (or nothing), and how long it took.
    struct Answer {
        std::string hex;
        std::string deviceChange;
        double milliseconds = 0;
        bool endedAtDelimiter = false;  // the bytes it ends with came
    };
    // The whole exchange; held lets the caller's window updates through
    // once the command is on the line.
    Answer Exchange(const Bytes& command, HeldUpdates& held);
    Answer Exchange(const std::string& command, HeldUpdates& held);
    // The last exchange's answer bytes (the adapter's receive buffer).
    Bytes LastAnswer();

    // Drops what the device sent that nobody collected; untilQuiet: also
    // what is still coming until it has been quiet for a moment (a quarter
    // of a second at most). How many bytes.
    int DiscardPending(bool untilQuiet);

    // A stream's reading: waits up to waitMs and reads at most most bytes
    // into buffer: their count, 0 when none came, -1 while the device is
    // away (lost, not plugged in yet, or released).
    int Read(Bytes& buffer, int most, int waitMs) override;
    // A stream's writing: all n bytes, waiting while the device's flow
    // control holds the line for as long as keepWaiting() says so; false
    // when the device is away or the wait was given up.
    bool Write(const Bytes& data, int n, const std::function<bool()>& keepWaiting) override;

    SerialLine Line() override;
    bool SetLine(const SerialLine& line) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;
    bool SetBreak(bool on) override;
    void Purge(bool received, bool toSend) override;
    ModemLines Modem() override;
    LineErrors Errors() override;
    void Restore() override;

    // Whether the port is open; whether it can ever open (the settings were
    // taken).
    bool Open() const { return sop_->PortOpen(); }
    bool CanOpen() const { return sop_->CanOpen(); }
    // One attempt to open a port that did not open: true when it opened now.
    bool OpenAgain();
    // Closes the port for good, once the exchange or stream step in
    // progress is over: its lock and exclusive use go back to the system.
    void Release();
    // The same on the way out of the program: what is in progress is told
    // to end and waited for at most this long; false when it did not end
    // in time (the port then stays open until the process ends).
    bool ReleaseWithin(std::chrono::milliseconds most);

private:
    template <typename Command>
    Answer exchange(const Command& command, HeldUpdates& held);
    // A stream saw the device fail or work: said once each way.
    void streamSaw(bool working);
    // Whether the device has modem lines to drive (asked once it is open).
    bool hasModemLines();

    const std::unique_ptr<SerOutPort> sop_;
    const Report report_;
    // An exchange takes both, a stream's read the first, its write the second.
    std::timed_mutex readMutex_;
    std::timed_mutex writeMutex_;
    // Whether the last use found the device gone; under the locks of the use.
    std::atomic<bool> lost_{false};
    std::atomic<bool> released_{false};
    // What the bridge was set up with, which Restore() goes back to.
    const SerialLine configured_;
    // Under the write lock: whether the device has modem lines (unknown
    // until asked), and whether a client changed them or held a break.
    std::optional<bool> modemLines_;
    bool linesChanged_ = false;
};
