#include "SerOutPort.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Orvo.h"
#include "Serlib/IOError.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerOutputStream.h"
#include "Serlib/SerialConfig.h"
#include "Serlib/SerialPortLocal.h"

using Serlib::SerialConfig;

std::string SerOutPort::iodebug;
Bytes SerOutPort::serin(SerOutPort::kRxBufferSize, 0);
std::shared_ptr<Serlib::SerialPort> SerOutPort::serialPort;
std::shared_ptr<Serlib::SerOutputStream> SerOutPort::SerialOutStream;
std::shared_ptr<Serlib::SerInputStream> SerOutPort::SerialInStream;

SerOutPort::SerOutPort(const std::string& s, int baudrate, int dbits, int sbits, const std::string& parity,
                       const std::string& handshake, int dtr) {
    // A new adapter starts from nothing: a failed open must leave no port
    // of an earlier adapter behind.
    SerialInStream.reset();
    SerialOutStream.reset();
    serialPort.reset();
    serin.assign(kRxBufferSize, 0);
    iodebug.clear();

    txBuf = 2048;
    rxBuf = 4096;
    bitRate_ = baudrate > 0 ? baudrate : 9600;
    OutLine("Trying To Set Up " + s);
    try {
        serCfg = std::make_shared<SerialConfig>(s);
        serCfg->setHardFlow(false);
        serCfg->setTxLen(txBuf);
        serCfg->setRxLen(rxBuf);
        SerCfgGeneric(baudrate, dbits, sbits, parity, handshake);
        serialPort = std::make_shared<Serlib::SerialPortLocal>(serCfg);
    } catch (const Serlib::IOError& e) {
        Orvo::OutLine(std::string("Serlib::IOError: ") + e.what());
        return;
    } catch (const std::invalid_argument& e) {
        Orvo::OutLine(std::string("std::invalid_argument: ") + e.what());
        return;
    } catch (const Serlib::DriverLoadError& e) {
        // No driver: the server still runs, as with a port that did not open.
        Orvo::OutLine(std::string("Serlib::DriverLoadError: ") + e.what());
        return;
    }
    ownsPort_ = true;

    if (dtr == 1) {
        try {
            serialPort->setDTR(true);
        } catch (const Serlib::IOError&) {
            OutLine("Unable to set DTR=1");
        }
    }
    try {
        SerialOutStream = std::make_shared<Serlib::SerOutputStream>(serialPort);
    } catch (const Serlib::IOError&) {
        OutLine("Unable to make OutputStream");
    }
    try {
        SerialInStream = std::make_shared<Serlib::SerInputStream>(serialPort);
    } catch (const Serlib::IOError&) {
        OutLine("Unable to make InputStream");
    }
}

SerOutPort::~SerOutPort() {
    if (!ownsPort_) return;
    SerialInStream.reset();
    SerialOutStream.reset();
    if (serialPort) {
        try {
            serialPort->close();
        } catch (const std::exception&) {
            // Released either way when the object goes.
        }
        serialPort.reset();
    }
}

void SerOutPort::SerCfgGeneric(int baudrate, int dbits, int sbits, const std::string& parity,
                               const std::string& handshake) {
    switch (baudrate) {
        case 2400: serCfg->setBitRate(SerialConfig::BR_2400); break;
        case 9600: serCfg->setBitRate(SerialConfig::BR_9600); break;
        case 19200: serCfg->setBitRate(SerialConfig::BR_19200); break;
        case 38400: serCfg->setBitRate(SerialConfig::BR_38400); break;
        case 57600: serCfg->setBitRate(SerialConfig::BR_57600); break;
        case 115200: serCfg->setBitRate(SerialConfig::BR_115200); break;
        default: break;
    }
    switch (dbits) {
        case 8: serCfg->setDataBits(SerialConfig::LN_8BITS); break;
        case 7: serCfg->setDataBits(SerialConfig::LN_7BITS); break;
        case 6: serCfg->setDataBits(SerialConfig::LN_6BITS); break;
        case 5: serCfg->setDataBits(SerialConfig::LN_5BITS); break;
        default: break;
    }
    switch (sbits) {
        case 1: serCfg->setStopBits(SerialConfig::ST_1BITS); break;
        case 2: serCfg->setStopBits(SerialConfig::ST_2BITS); break;
        default: break;
    }
    if (parity == "None") serCfg->setParity(SerialConfig::PY_NONE);
    else if (parity == "Even") serCfg->setParity(SerialConfig::PY_EVEN);
    else if (parity == "Odd") serCfg->setParity(SerialConfig::PY_ODD);
    else if (parity == "Mark") serCfg->setParity(SerialConfig::PY_MARK);

    if (handshake == "None") serCfg->setHandshake(SerialConfig::HS_NONE);
    else if (handshake == "CTSRTS") serCfg->setHandshake(SerialConfig::HS_CTSRTS);
    else if (handshake == "CTSDTR") serCfg->setHandshake(SerialConfig::HS_CTSDTR);
    else if (handshake == "XONXOFF") serCfg->setHandshake(SerialConfig::HS_XONXOFF);
    else if (handshake == "DSRDTR") serCfg->setHandshake(SerialConfig::HS_DSRDTR);
    else if (handshake == "HardIn") serCfg->setHandshake(SerialConfig::HS_HARD_IN);
    else if (handshake == "HardOut") serCfg->setHandshake(SerialConfig::HS_HARD_OUT);
    else if (handshake == "SoftIn") serCfg->setHandshake(SerialConfig::HS_SOFT_IN);
    else if (handshake == "SoftOut") serCfg->setHandshake(SerialConfig::HS_SOFT_OUT);
}

void SerOutPort::ClosePort() {
    SerialInStream.reset();
    SerialOutStream.reset();
    if (!serialPort) return;
    try {
        serialPort->close();
    } catch (const std::exception&) {
        // The process is about to end, which releases it either way.
    }
    serialPort.reset();
    ownsPort_ = false;
}

int SerOutPort::DiscardPending() {
    if (!SerialInStream) return 0;
    Bytes scratch(kRxBufferSize);
    int discarded = 0;
    try {
        // Only what is there now: a device that keeps sending must not keep
        // this loop going.
        int left = SerialInStream->available();
        while (left > 0) {
            const int n = SerialInStream->read(&scratch, 0, std::min(left, kRxBufferSize));
            if (n <= 0) break;
            discarded += n;
            left -= n;
        }
    } catch (const std::exception&) {
        // A device that is away has nothing waiting; the next exchange says so.
    }
    return discarded;
}

void SerOutPort::boundWrite(size_t n) {
    // Ten bits or more a character on the wire, rounded up; the bound only
    // needs to be generous, not exact.
    const long long wireMs = (static_cast<long long>(n) * 12 * 1000 + bitRate_ - 1) / bitRate_;
    const int bound = static_cast<int>(std::min<long long>(kWriteTimeoutMs + wireMs, 2147483647));
    if (bound == writeBoundMs_) return;
    serialPort->setTimeoutTx(bound);
    writeBoundMs_ = bound;
}

void SerOutPort::abandonWrite() {
    writeTimedOut_ = true;
    OutLine("Serial write timed out");
    try {
        serialPort->txFlush();
    } catch (const std::exception&) {
        // Gone meanwhile: the next exchange finds out.
    }
}

template <typename Command>
static const Bytes& exchange(SerOutPort& port, const Command& command) {
    SerOutPort::serin.assign(SerOutPort::kRxBufferSize, 0);
    port.SerError = 0;
    // A failed exchange reports no bytes, never the previous exchange's count.
    port.numBytes = 0;
    SerOutPort::iodebug.clear();
    const bool written = port.SendSer(command);
    SerOutPort::OutLine(written ? "true" : "false");
    if (written) {
        if (port.onAnswerWait) port.onAnswerWait();
        std::this_thread::sleep_for(std::chrono::milliseconds(SerOutPort::kAnswerWaitMs));
        port.ReadSer();
    }
    SerOutPort::OutLine(SerOutPort::iodebug);
    return SerOutPort::serin;
}

const Bytes& SerOutPort::SendSerial(const Bytes& bytes) { return exchange(*this, bytes); }

const Bytes& SerOutPort::SendSerial(const std::string& text) { return exchange(*this, text); }

bool SerOutPort::SendSer(const Bytes& bytes) {
    iodebug = "Serial Out: " + Orvo::BS2S(bytes, static_cast<int>(bytes.size())) + "  ";
    OutLine(iodebug);
    writeTimedOut_ = false;
    try {
        if (!SerialOutStream) throw Serlib::IOError("Port not open");
        boundWrite(bytes.size());
        SerialOutStream->write(bytes);
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
    iodebug = "Serial Out: " + text + "  ";
    OutLine(iodebug);
    writeTimedOut_ = false;
    try {
        if (!serialPort) throw Serlib::IOError("Port not open");
        boundWrite(text.size() + 1);
        serialPort->putString(text + "\n");
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
        if (!SerialInStream) throw Serlib::IOError("Port not open");
        // Bytes beyond the buffer stay queued in the port for the next
        // exchange rather than overwriting the ones already collected.
        while (numBytes < kRxBufferSize && SerialInStream->available() > 0) {
            const int n = SerialInStream->read(&serin, numBytes, kRxBufferSize - numBytes);
            if (n <= 0) break;
            numBytes += n;
        }
        const std::string in = "Serial In: " + Orvo::BS2S(serin, numBytes);
        iodebug += in;
        OutLine(in);
    } catch (const std::exception&) {
        SerError = 2;
    }
    return serin;
}

void SerOutPort::OutLine(const std::string&) {}
