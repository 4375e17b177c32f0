#include "server/SerOutPort.h"

#include <algorithm>
#include <optional>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "common/Console.h"
#include "common/HexCodec.h"
#include "Serlib/IOError.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerOutputStream.h"
#include "Serlib/SerialConfig.h"
#include "Serlib/SerialPortLocal.h"
#include "server/SettingsTable.h"

using Serlib::SerialConfig;

std::atomic<SerOutPort*> SerOutPort::running_{nullptr};

std::shared_ptr<Serlib::SerialPort> SerOutPort::OpenLocalPort(std::shared_ptr<SerialConfig> config) {
    return std::make_shared<Serlib::SerialPortLocal>(std::move(config));
}

SerOutPort::SerOutPort(const std::string& s, int baudrate, int dbits, int sbits, const std::string& parity,
                       const std::string& handshake, int dtr, const PortFactory& openPort)
    : SerOutPort(SerialLine{s, baudrate, dbits, sbits, parity, handshake, dtr}, openPort) {}

SerOutPort::SerOutPort(const SerialLine& line, const PortFactory& openPort)
    : openPort_(openPort), dtr_(line.dtr), line_(line), buffer_(kRxBufferSize, 0) {
    running_ = this;
    txBuf = 2048;
    rxBuf = 4096;
    bitRate_ = line.baud > 0 ? line.baud : 9600;
    OutLine("Trying To Set Up " + line.port);
    try {
        serCfg = std::make_shared<SerialConfig>(line.port);
        serCfg->setHardFlow(false);
        serCfg->setTxLen(txBuf);
        serCfg->setRxLen(rxBuf);
        SerCfgGeneric(line.baud, line.dataBits, line.stopBits, line.parity, line.handshake);
    } catch (const std::invalid_argument& e) {
        // Settings the record refuses: no port can ever open with them.
        WriteConsoleLine(std::string("std::invalid_argument: ") + e.what());
        serCfg.reset();
        return;
    }
    OpenPort(true);
}

bool SerOutPort::OpenPort(bool report) {
    if (port_) return true;
    if (!serCfg) return false;
    try {
        port_ = openPort_(serCfg);
    } catch (const Serlib::IOError& e) {
        if (report) WriteConsoleLine(std::string("Serlib::IOError: ") + e.what());
        return false;
    } catch (const std::invalid_argument& e) {
        if (report) WriteConsoleLine(std::string("std::invalid_argument: ") + e.what());
        return false;
    } catch (const Serlib::DriverLoadError& e) {
        // No driver: the server still runs, as with a port that did not open.
        if (report) WriteConsoleLine(std::string("Serlib::DriverLoadError: ") + e.what());
        return false;
    }
    // A new port has the streams' send time-out, not the exchange's bound.
    writeBoundMs_ = -1;

    if (dtr_ == 1) {
        try {
            port_->setDTR(true);
        } catch (const Serlib::IOError&) {
            OutLine("Unable to set DTR=1");
        }
    }
    try {
        out_ = std::make_shared<Serlib::SerOutputStream>(port_);
    } catch (const Serlib::IOError&) {
        OutLine("Unable to make OutputStream");
    }
    try {
        in_ = std::make_shared<Serlib::SerInputStream>(port_);
    } catch (const Serlib::IOError&) {
        OutLine("Unable to make InputStream");
    }
    return true;
}

SerOutPort::~SerOutPort() {
    ClosePort();
    SerOutPort* self = this;
    running_.compare_exchange_strong(self, nullptr);
}

std::shared_ptr<Serlib::SerialPort> SerOutPort::serialPort() {
    const SerOutPort* adapter = running_;
    return adapter ? adapter->port_ : nullptr;
}

std::shared_ptr<Serlib::SerOutputStream> SerOutPort::SerialOutStream() {
    const SerOutPort* adapter = running_;
    return adapter ? adapter->out_ : nullptr;
}

std::shared_ptr<Serlib::SerInputStream> SerOutPort::SerialInStream() {
    const SerOutPort* adapter = running_;
    return adapter ? adapter->in_ : nullptr;
}

Bytes SerOutPort::serin() {
    const SerOutPort* adapter = running_;
    return adapter ? adapter->buffer_ : Bytes();
}

std::string SerOutPort::iodebug() {
    const SerOutPort* adapter = running_;
    return adapter ? adapter->trace_ : std::string();
}

void SerOutPort::SerCfgGeneric(int baudrate, int dbits, int sbits, const std::string& parity,
                               const std::string& handshake) {
    // Every rate a driver knows by its code; any other goes as the rate
    // itself, which only a driver that can set any rate takes (Windows).
    if (const std::optional<int32_t> code = SerialConfig::codeForRate(baudrate)) {
        serCfg->setBitRate(*code);
    } else if (baudrate > 0 && baudrate < SerialConfig::BR_EXACT) {
        serCfg->setBitRate(SerialConfig::BR_EXACT | baudrate);
    }
    using namespace SettingsTable;
    if (const std::optional<int32_t> code = CodeOf(DataBits(), std::to_string(dbits))) serCfg->setDataBits(*code);
    if (const std::optional<int32_t> code = CodeOf(StopBits(), std::to_string(sbits))) serCfg->setStopBits(*code);
    if (const std::optional<int32_t> code = CodeOf(Parities(), parity)) serCfg->setParity(*code);
    if (const std::optional<int32_t> code = CodeOf(Handshakes(), handshake)) serCfg->setHandshake(*code);
}

bool SerOutPort::codesFor(const SerialLine& line, SerialConfig& config) {
    using namespace SettingsTable;
    std::optional<int32_t> rate = SerialConfig::codeForRate(line.baud);
    if (!rate && line.baud > 0 && line.baud < SerialConfig::BR_EXACT) rate = SerialConfig::BR_EXACT | line.baud;
    const std::optional<int32_t> data = CodeOf(DataBits(), std::to_string(line.dataBits));
    const std::optional<int32_t> stop = CodeOf(StopBits(), std::to_string(line.stopBits));
    const std::optional<int32_t> parity = CodeOf(Parities(), line.parity);
    const std::optional<int32_t> handshake = CodeOf(Handshakes(), line.handshake);
    if (!rate || !data || !stop || !parity || !handshake) return false;
    try {
        config.setBitRate(*rate);
        config.setDataBits(*data);
        config.setStopBits(*stop);
        config.setParity(*parity);
        config.setHandshake(*handshake);
    } catch (const std::invalid_argument&) {
        return false;
    }
    return true;
}

bool SerOutPort::Reconfigure(const SerialLine& line) {
    if (line.SameSettings(line_)) return true;
    if (!port_ || !serCfg) return false;
    const std::shared_ptr<SerialConfig> wanted = serCfg->copy();
    if (!codesFor(line, *wanted)) return false;
    try {
        port_->configure(*wanted);
    } catch (const std::exception&) {
        // The driver kept the settings in use.
        return false;
    }
    serCfg = wanted;
    const std::string port = line_.port;
    const int dtr = line_.dtr;
    line_ = line;
    line_.port = port;
    line_.dtr = dtr;
    bitRate_ = line.baud > 0 ? line.baud : bitRate_;
    return true;
}

template <typename Query>
bool SerOutPort::ask(Query query) {
    if (!port_) return false;
    try {
        return query(*port_);
    } catch (const std::exception&) {
        return false;
    }
}

bool SerOutPort::SetDtr(bool on) {
    return ask([on](Serlib::SerialPort& p) {
        p.setDTR(on);
        return true;
    });
}
bool SerOutPort::SetRts(bool on) {
    return ask([on](Serlib::SerialPort& p) {
        p.setRTS(on);
        return true;
    });
}
bool SerOutPort::SetBreak(bool on) {
    return ask([on](Serlib::SerialPort& p) {
        p.setBreak(on);
        return true;
    });
}
void SerOutPort::Purge(bool received, bool toSend) {
    if (received) ask([](Serlib::SerialPort& p) { return p.rxFlush() == 0; });
    if (toSend) ask([](Serlib::SerialPort& p) { return p.txFlush() == 0; });
}
bool SerOutPort::HasModemLines() {
    // A device without them refuses the query (a pseudo-terminal: ENOTTY).
    return ask([](Serlib::SerialPort& p) {
        static_cast<void>(p.sigCTS());
        return true;
    });
}
bool SerOutPort::Cts() { return ask([](Serlib::SerialPort& p) { return p.sigCTS(); }); }
bool SerOutPort::Dsr() { return ask([](Serlib::SerialPort& p) { return p.sigDSR(); }); }
bool SerOutPort::Ring() { return ask([](Serlib::SerialPort& p) { return p.sigRing(); }); }
bool SerOutPort::CarrierDetect() { return ask([](Serlib::SerialPort& p) { return p.sigCD(); }); }
bool SerOutPort::Overrun() { return ask([](Serlib::SerialPort& p) { return p.sigOverrun(); }); }
bool SerOutPort::ParityError() { return ask([](Serlib::SerialPort& p) { return p.sigParityErr(); }); }
bool SerOutPort::FramingError() { return ask([](Serlib::SerialPort& p) { return p.sigFrameErr(); }); }
bool SerOutPort::BreakSeen() { return ask([](Serlib::SerialPort& p) { return p.sigBreak(); }); }

void SerOutPort::ClosePort() {
    in_.reset();
    out_.reset();
    if (!port_) return;
    try {
        port_->close();
    } catch (const std::exception&) {
        // Released either way when the object goes.
    }
    port_.reset();
}

int SerOutPort::DiscardPending() {
    int discarded = static_cast<int>(carried_.size());
    carried_.clear();
    if (!in_) return discarded;
    Bytes scratch(kRxBufferSize);
    try {
        // Only what is there now: a device that keeps sending must not keep
        // this loop going.
        int left = in_->available();
        while (left > 0) {
            const int n = in_->read(&scratch, 0, std::min(left, kRxBufferSize));
            if (n <= 0) break;
            discarded += n;
            left -= n;
        }
    } catch (const std::exception&) {
        // A device that is away has nothing waiting; the next exchange says so.
    }
    return discarded;
}

int SerOutPort::ReadSome(Bytes& buffer, int most, int waitMs) {
    const std::shared_ptr<Serlib::SerialPort> port = port_;
    if (!port || !in_) throw Serlib::IOError("Port not open");
    // Straight into the caller's buffer (a read never waits): what is there
    // now, and only when nothing is, a wait for the device.
    if (buffer.size() != static_cast<size_t>(most)) buffer.resize(static_cast<size_t>(most));
    const int n = port->getData(buffer);
    if (n > 0 || waitMs <= 0) return n;
    if (port->waitRx(waitMs) <= 0) return 0;
    return port->getData(buffer);
}

int SerOutPort::WriteSome(const Bytes& data, int n, int sliceMs) {
    if (!port_ || abandoned_) throw Serlib::IOError("Port not open");
    if (n <= 0) return 0;
    boundWrite(static_cast<size_t>(n), sliceMs);
    try {
        port_->putData(data, n);
        return n;
    } catch (const Serlib::WriteTimeout& e) {
        return e.sent();
    }
}

void SerOutPort::boundWrite(size_t n, int waitMs) {
    // Ten bits or more a character on the wire, rounded up; the bound only
    // needs to be generous, not exact.
    const long long wireMs = (static_cast<long long>(n) * 12 * 1000 + bitRate_ - 1) / bitRate_;
    const int bound = static_cast<int>(std::min<long long>(waitMs + wireMs, 2147483647));
    if (bound == writeBoundMs_) return;
    port_->setTimeoutTx(bound);
    writeBoundMs_ = bound;
}

void SerOutPort::abandonWrite() {
    writeTimedOut_ = true;
    OutLine("Serial write timed out");
    try {
        port_->txFlush();
    } catch (const std::exception&) {
        // Gone meanwhile: the next exchange finds out.
    }
}

template <typename Command>
bool SerOutPort::writeCommand(const Command& command) {
    buffer_.assign(kRxBufferSize, 0);
    SerError = 0;
    // A failed exchange reports no bytes, never the previous exchange's count.
    numBytes = 0;
    trace_.clear();
    pendingAtWrite_ = 0;
    if ((answerGapMs_ > 0 || !answerEnd_.empty()) && in_) {
        try {
            pendingAtWrite_ = in_->available();
        } catch (const std::exception&) {
            // The read after the write finds out what is wrong.
        }
    }
    const bool written = SendSer(command);
    OutLine(written ? "true" : "false");
    return written;
}

bool SerOutPort::WriteCommand(const Bytes& bytes) { return writeCommand(bytes); }

bool SerOutPort::WriteCommand(const std::string& text) { return writeCommand(text); }

void SerOutPort::SetAnswerTiming(int waitMs, int gapMs) {
    answerWaitMs_ = waitMs;
    answerGapMs_ = gapMs;
}

void SerOutPort::SetAnswerEnd(const Bytes& end) { answerEnd_ = end; }

const Bytes& SerOutPort::CollectAnswer() {
    if (answerGapMs_ > 0 || !answerEnd_.empty()) return collectAsItComes();
    {
        std::unique_lock<std::mutex> lock(abandonMutex_);
        abandonWake_.wait_for(lock, std::chrono::milliseconds(answerWaitMs_), [this] { return abandoned_.load(); });
    }
    return ReadSer();
}

void SerOutPort::Abandon() {
    {
        std::lock_guard<std::mutex> lock(abandonMutex_);
        abandoned_ = true;
    }
    abandonWake_.notify_all();
}

const Bytes& SerOutPort::collectAsItComes() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(answerWaitMs_);
    endedAtDelimiter_ = false;
    // The bytes read past the last answer's end come first.
    numBytes = static_cast<int>(std::min<size_t>(carried_.size(), kRxBufferSize));
    std::copy(carried_.begin(), carried_.begin() + numBytes, buffer_.begin());
    carried_.erase(carried_.begin(), carried_.begin() + numBytes);
    // Bytes that were there before the command went out (the rest of an
    // earlier answer) join this answer, as in the fixed window, but are no
    // sign that the device has answered: the gap counts, and the end is
    // looked for, only from a byte that came after the write. Otherwise the
    // real answer would be handed to the next command, and every answer
    // after it too.
    int earlier = pendingAtWrite_;         // of those, still in the port
    const int boundary = numBytes + earlier;  // where this command's answer begins
    const int endLength = static_cast<int>(answerEnd_.size());
    bool answered = false;
    Clock::time_point quietUntil{};  // once answered: the end of the gap after its last byte
    const auto msUntil = [](Clock::time_point t) {
        return std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    };
    try {
        if (!in_ || !port_) throw Serlib::IOError("Port not open");
        while (numBytes < kRxBufferSize && !abandoned_) {
            const long long left = msUntil(deadline);
            if (left <= 0) break;
            const long long gapLeft = answered && answerGapMs_ > 0 ? msUntil(quietUntil) : left;
            if (gapLeft <= 0) break;  // quiet for the gap: the answer is whole
            // Until the device answers the whole window, after that the gap;
            // looking up now and then whether the program ends.
            const int wait = earlier > 0 ? 0 : static_cast<int>(std::min<long long>({kAbandonCheckMs, left, gapLeft}));
            const int ready = port_->waitRx(wait);
            if (ready <= 0) {
                earlier = 0;
                continue;
            }
            const int before = numBytes;
            const int n = in_->read(&buffer_, numBytes, std::min(ready, kRxBufferSize - numBytes));
            if (n <= 0) break;
            numBytes += n;
            earlier = std::max(0, earlier - n);
            if (numBytes > boundary) answered = true;
            if (answered && answerGapMs_ > 0) quietUntil = Clock::now() + std::chrono::milliseconds(answerGapMs_);
            if (endLength == 0 || !answered) continue;
            // The end, also when it came split over several reads; its last
            // byte is this command's answer's, and what came after it is
            // the next answer's.
            for (int end = std::max({before + 1, boundary + 1, endLength}); end <= numBytes; ++end) {
                if (std::equal(answerEnd_.begin(), answerEnd_.end(), buffer_.begin() + (end - endLength))) {
                    carried_.insert(carried_.end(), buffer_.begin() + end, buffer_.begin() + numBytes);
                    std::fill(buffer_.begin() + end, buffer_.begin() + numBytes, 0);
                    numBytes = end;
                    endedAtDelimiter_ = true;
                    break;
                }
            }
            if (endedAtDelimiter_) break;
        }
        traceAnswer();
    } catch (const std::exception&) {
        SerError = 2;
    }
    return buffer_;
}

void SerOutPort::traceAnswer() {
    const std::string in = "Serial In: " + HexCodec::BS2S(buffer_, numBytes);
    trace_ += in;
    OutLine(in);
}

const Bytes& SerOutPort::SendSerial(const Bytes& bytes) {
    if (WriteCommand(bytes)) CollectAnswer();
    OutLine(trace_);
    return buffer_;
}

const Bytes& SerOutPort::SendSerial(const std::string& text) {
    if (WriteCommand(text)) CollectAnswer();
    OutLine(trace_);
    return buffer_;
}

bool SerOutPort::SendSer(const Bytes& bytes) {
    trace_ = "Serial Out: " + HexCodec::BS2S(bytes, static_cast<int>(bytes.size())) + "  ";
    OutLine(trace_);
    writeTimedOut_ = false;
    try {
        if (!out_ || abandoned_) throw Serlib::IOError("Port not open");
        boundWrite(bytes.size());
        out_->write(bytes);
        return true;
    } catch (const Serlib::WriteTimeout&) {
        abandonWrite();
        SerError = 1;
        return false;
    } catch (const std::exception&) {
        OutLine("Unable to write to Serial Port");
        SerError = 1;
        return false;
    }
}

bool SerOutPort::SendSer(const std::string& text) {
    trace_ = "Serial Out: " + text + "  ";
    OutLine(trace_);
    writeTimedOut_ = false;
    try {
        if (!port_ || abandoned_) throw Serlib::IOError("Port not open");
        boundWrite(text.size() + 1);
        port_->putString(text + "\n");
        return true;
    } catch (const Serlib::WriteTimeout&) {
        abandonWrite();
        SerError = 1;
        return false;
    } catch (const std::exception&) {
        OutLine("Unable to write to Serial Port");
        SerError = 1;
        return false;
    }
}

const Bytes& SerOutPort::ReadSer() {
    numBytes = 0;
    try {
        if (!in_) throw Serlib::IOError("Port not open");
        // Bytes beyond the buffer stay queued in the port for the next
        // exchange rather than overwriting the ones already collected.
        while (numBytes < kRxBufferSize && in_->available() > 0) {
            const int n = in_->read(&buffer_, numBytes, kRxBufferSize - numBytes);
            if (n <= 0) break;
            numBytes += n;
        }
        traceAnswer();
    } catch (const std::exception&) {
        SerError = 2;
    }
    return buffer_;
}

void SerOutPort::OutLine(const std::string&) {}
