#include "server/SerialDevice.h"

#include <cmath>
#include <exception>
#include <utility>

#include "common/HexCodec.h"

namespace {
// How long a stream's write waits at a time while the line is held, before
// it asks whether to go on waiting.
constexpr int kWriteSliceMs = 200;
// Before a new client: the device counts as quiet after this long without a
// byte, and what it sends is dropped for at most the bound.
constexpr int kQuietMs = 5;
constexpr int kMostDiscardMs = 250;
}  // namespace

SerialDevice::SerialDevice(const SerialLine& line, const SerOutPort::PortFactory& openPort, const AnswerEnds& answers,
                           Report report)
    : sop_(std::make_unique<SerOutPort>(line, openPort)), report_(std::move(report)), configured_(line) {
    // A gap shorter than one character would end answers between their
    // characters; the setup window may pick a slower rate than the options
    // were checked against.
    const double character = line.CharacterMilliseconds();
    int gapMs = answers.gapMs;
    if (gapMs > 0 && gapMs < character) gapMs = static_cast<int>(std::ceil(character));
    sop_->SetAnswerTiming(answers.waitMs, gapMs);
    sop_->SetAnswerEnd(answers.end);
}

template <typename Command>
SerialDevice::Answer SerialDevice::exchange(const Command& command, HeldUpdates& held) {
    Answer answer;
    // The whole exchange and the reading of its result, so that no other
    // exchange or stream can take the device's answer or clear the buffer
    // in between.
    std::scoped_lock lock(readMutex_, writeMutex_);
    const auto started = std::chrono::steady_clock::now();
    const bool written = sop_->WriteCommand(command);
    // The command is on the line: the window catches up while the device
    // answers, when nothing waits on it.
    held.release();
    if (written) sop_->CollectAnswer();
    answer.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    answer.hex = HexCodec::BS2S(sop_->Buffer(), sop_->numBytes);
    answer.endedAtDelimiter = sop_->EndedAtDelimiter();
    if (sop_->WriteTimedOut()) {
        // The device is there but holds the line; its pending bytes are
        // dropped and the line runs again for the next exchange.
        answer.deviceChange = "Serial write timed out";
    } else if (sop_->PortOpen()) {
        const bool failed = sop_->SerError != 0;
        if (failed != lost_.exchange(failed)) answer.deviceChange = failed ? "Serial device lost" : "Serial device back";
    }
    return answer;
}

SerialDevice::Answer SerialDevice::Exchange(const Bytes& command, HeldUpdates& held) { return exchange(command, held); }

SerialDevice::Answer SerialDevice::Exchange(const std::string& command, HeldUpdates& held) {
    return exchange(command, held);
}

Bytes SerialDevice::LastAnswer() {
    std::scoped_lock lock(readMutex_, writeMutex_);
    return sop_->Buffer();
}

int SerialDevice::DiscardPending(bool untilQuiet) {
    std::lock_guard<std::timed_mutex> lock(readMutex_);
    if (!untilQuiet) return sop_->DiscardPending();
    // Also what is still on its way: the answer to the last bytes a client
    // that has just left sent. Once the device is quiet for a moment, or
    // after a bound, for a device that never is.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMostDiscardMs);
    int discarded = sop_->DiscardPending();
    Bytes scratch;
    while (std::chrono::steady_clock::now() < until) {
        int n = 0;
        try {
            n = sop_->ReadSome(scratch, SerOutPort::kRxBufferSize, kQuietMs);
        } catch (const std::exception&) {
            break;  // a device that is away has nothing on its way
        }
        if (n <= 0) break;
        discarded += n;
    }
    return discarded;
}

int SerialDevice::Read(Bytes& buffer, int most, int waitMs) {
    std::lock_guard<std::timed_mutex> lock(readMutex_);
    if (released_ || !sop_->PortOpen()) return -1;
    try {
        const int n = sop_->ReadSome(buffer, most, waitMs);
        streamSaw(true);
        return n;
    } catch (const std::exception&) {
        streamSaw(false);
        return -1;
    }
}

bool SerialDevice::Write(const Bytes& data, int n, const std::function<bool()>& keepWaiting) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    if (released_ || !sop_->PortOpen()) return false;
    // The rest of data, from where the last slice stopped.
    Bytes rest;
    const Bytes* from = &data;
    int left = n;
    try {
        for (;;) {
            const int sent = sop_->WriteSome(*from, left, kWriteSliceMs);
            streamSaw(true);
            if (sent >= left) return true;
            if (sent > 0) {
                rest.assign(from->begin() + sent, from->begin() + left);
                from = &rest;
                left -= sent;
            }
            // The line is held (flow control): wait on, unless told not to.
            if (sop_->Abandoned() || !keepWaiting()) return false;
        }
    } catch (const std::exception&) {
        streamSaw(false);
        return false;
    }
}

void SerialDevice::streamSaw(bool working) {
    if (working == !lost_.exchange(!working)) return;
    if (report_) report_(working ? "Serial device back" : "Serial device lost");
}

SerialLine SerialDevice::Line() {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    return sop_->Line();
}

bool SerialDevice::SetLine(const SerialLine& line) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    return sop_->Reconfigure(line);
}

bool SerialDevice::hasModemLines() {
    if (!modemLines_) modemLines_ = sop_->HasModemLines();
    return *modemLines_;
}

bool SerialDevice::SetDtr(bool on) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    linesChanged_ = true;
    return !hasModemLines() || sop_->SetDtr(on);
}

bool SerialDevice::SetRts(bool on) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    linesChanged_ = true;
    return !hasModemLines() || sop_->SetRts(on);
}

bool SerialDevice::SetBreak(bool on) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    linesChanged_ = true;
    return sop_->SetBreak(on);
}

void SerialDevice::Purge(bool received, bool toSend) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    sop_->Purge(received, toSend);
}

DeviceStream::ModemLines SerialDevice::Modem() {
    // The reading side's: the pump asks between its reads.
    std::lock_guard<std::timed_mutex> lock(readMutex_);
    ModemLines lines;
    lines.cts = sop_->Cts();
    lines.dsr = sop_->Dsr();
    lines.ring = sop_->Ring();
    lines.carrier = sop_->CarrierDetect();
    return lines;
}

DeviceStream::LineErrors SerialDevice::Errors() {
    std::lock_guard<std::timed_mutex> lock(readMutex_);
    LineErrors errors;
    errors.overrun = sop_->Overrun();
    errors.parity = sop_->ParityError();
    errors.framing = sop_->FramingError();
    errors.breakSeen = sop_->BreakSeen();
    return errors;
}

void SerialDevice::Restore() {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    // A device that refuses its own settings now is tried again by the next
    // client's end; nothing else is to be done about it here.
    static_cast<void>(sop_->Reconfigure(configured_));
    if (!linesChanged_) return;
    linesChanged_ = false;
    static_cast<void>(sop_->SetBreak(false));
    if (hasModemLines()) {
        // As the system leaves a port it opens: both raised.
        static_cast<void>(sop_->SetDtr(true));
        static_cast<void>(sop_->SetRts(true));
    }
}

bool SerialDevice::OpenAgain() {
    std::scoped_lock lock(readMutex_, writeMutex_);
    if (released_ || !sop_->OpenPort()) return false;
    lost_ = false;
    return true;
}

void SerialDevice::Release() {
    std::scoped_lock lock(readMutex_, writeMutex_);
    released_ = true;
    sop_->ClosePort();
}

bool SerialDevice::ReleaseWithin(std::chrono::milliseconds most) {
    sop_->Abandon();
    const auto deadline = std::chrono::steady_clock::now() + most;
    std::unique_lock<std::timed_mutex> reading(readMutex_, deadline);
    if (!reading.owns_lock()) return false;
    std::unique_lock<std::timed_mutex> writing(writeMutex_, deadline);
    if (!writing.owns_lock()) return false;
    released_ = true;
    sop_->ClosePort();
    return true;
}
