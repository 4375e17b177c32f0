#include "Serlib/SerialPortLocal.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "Serlib/Driver.h"
#include "Serlib/FlowControlTask.h"
#include "Serlib/HostInfo.h"

namespace Serlib {

namespace {

int64_t nowMs() {
    // Deadlines compare elapsed time only, so a monotonic clock serves and
    // a wall-clock step cannot stretch or cut a receive timeout.
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The record as the driver reads it; the arrays stay owned by cfg.
SerConfigRec recordOf(const SerialConfig& cfg) {
    SerConfigRec rec{};
    rec.port = cfg.getPort();
    rec.portName = cfg.getPortName().data();
    rec.portNameLen = static_cast<int32_t>(cfg.getPortName().size());
    rec.baseName = cfg.getBaseName().data();
    rec.baseNameLen = static_cast<int32_t>(cfg.getBaseName().size());
    rec.txLen = cfg.getTxLen();
    rec.rxLen = cfg.getRxLen();
    rec.bitRate = cfg.getBitRate();
    rec.parity = cfg.getParity();
    rec.dataBits = cfg.getDataBits();
    rec.stopBits = cfg.getStopBits();
    rec.handshake = cfg.getHandshake();
    rec.hardFlow = cfg.getHardFlow() ? 1 : 0;
    return rec;
}

std::string openFailureText(int status) {
    switch (status) {
    case SER_OPEN_ALREADY_OPEN:
        return "SerOpenPort failed: Port is already open";
    case SER_OPEN_IN_USE:
        return "SerOpenPort failed: Port is in use";
    case SER_OPEN_NOT_VALID:
        return "SerOpenPort failed: Port not valid";
    default:
        return "SerOpenPort failed: " + std::to_string(status);
    }
}

std::shared_ptr<SerialConfig> requireConfig(std::shared_ptr<SerialConfig> cfg) {
    if (!cfg) {
        throw std::invalid_argument("Invalid serial configuration: none given");
    }
    return cfg;
}

// A short count of 0 or more is what a send time-out leaves; -1 is a failure.
[[noreturn]] void shortSend(int sent, int asked, const std::string& text) {
    if (sent >= 0 && sent < asked) {
        throw WriteTimeout(text);
    }
    throw IOError(text);
}

void requireFeature(bool supported, const char* text, const std::string& osName) {
    if (!supported) {
        throw IOError(text + osName);
    }
}

}  // namespace

SerialPortLocal::SerialPortLocal() : osName(Host::current().osName) {
    Driver::initialise();
    featureSetup();
    config = std::make_shared<SerialConfig>(devName);
}

SerialPortLocal::SerialPortLocal(std::shared_ptr<SerialConfig> cfgObj) : osName(Host::current().osName) {
    Driver::initialise();
    featureSetup();
    config = requireConfig(std::move(cfgObj));
    open();
}

SerialPortLocal::~SerialPortLocal() {
    try {
        stopFlowControl();
        close();
    } catch (...) {
        // Nothing can be reported from a destructor; the process goes on.
    }
}

void SerialPortLocal::featureSetup() {
    const std::string& os = osName;
    if (os == "Windows 95" || os == "Windows NT" || os == "Windows 98" || os == "OS/2") {
        supSigBreak = supSigFrameErr = supSigOverrun = supSigParityErr = supRxOverflow = true;
        supSigRing = supSigCTS = supSigDSR = supSigCD = supSetRTS = supSetDTR = true;
        supRxReadyCount = supTxBufCount = supSetTimeoutTx = supGetTimeoutTx = true;
        pollGetDataTimeout = false;
        devName = "COM1";
    } else if (os == "Mac OS") {
        supSigBreak = supSigFrameErr = supSigParityErr = supSigOverrun = supRxOverflow = true;
        supRxReadyCount = supSetTimeoutTx = supGetTimeoutTx = supSigCTS = supSetDTR = true;
        pollGetDataTimeout = true;
        devName = "Modem Port";
    } else if (os == "Linux" || os == "FreeBSD" || os == "Solaris" || os == "HP/UX" || os == "Irix" ||
               os == "AIX") {
        supSigRing = supSetRTS = supSetDTR = supSigCD = true;
        supRxReadyCount = supTxBufCount = supSigCTS = supSigDSR = true;
        pollGetDataTimeout = true;
        devName = "/dev/tty0";
        if (os == "Linux") {
            devName = "/dev/ttyS0";
        }
        if (os == "Solaris") {
            devName = "/dev/ttya";
        }
        if (os == "Irix") {
            supSetRTS = supSetDTR = supSigCTS = false;
        }
    }
}

bool SerialPortLocal::isSupported(const std::string& name) const {
    if (name == "sigBreak") return supSigBreak;
    if (name == "sigFrameErr") return supSigFrameErr;
    if (name == "sigOverrun") return supSigOverrun;
    if (name == "sigParityErr") return supSigParityErr;
    if (name == "rxOverflow") return supRxOverflow;
    if (name == "sigRing") return supSigRing;
    if (name == "sigCTS") return supSigCTS;
    if (name == "sigDSR") return supSigDSR;
    if (name == "sigCD") return supSigCD;
    if (name == "setRTS") return supSetRTS;
    if (name == "setDTR") return supSetDTR;
    if (name == "rxReadyCount") return supRxReadyCount;
    if (name == "txBufCount") return supTxBufCount;
    if (name == "setTimeoutTx") return supSetTimeoutTx;
    return true;
}

// --- lifecycle -------------------------------------------------------------

void SerialPortLocal::open() {
    // Only the Windows 95 driver needs the library's own flow-control task;
    // everywhere else the driver (or the kernel) does hardware flow control.
    if (osName != "Windows 95") {
        config->setHardFlow(false);
    }
    const int status = SerOpenPort(*config);
    if (status != 0) {
        throw IOError(openFailureText(status));
    }
    isOpen_ = true;
    // Read after the call: a port opened by name gets its number from the driver.
    port = config->getPort() - 1;
    try {
        configure(*config);
    } catch (const IOError&) {
        // Settings the device refuses (Mark parity on an adapter without it)
        // must not leave it open and locked behind a failed open.
        try {
            close();
        } catch (const IOError&) {
            // The configure failure is the one to report.
        }
        throw;
    }
    if (osName == "Mac OS") {
        setTimeoutRx(2000);
        setTimeoutTx(2000);
    } else {
        setTimeoutRx(0);
        if (supSetTimeoutTx) {
            setTimeoutTx(0);
        }
    }
}

void SerialPortLocal::configure() {
    configure(*config);
}

void SerialPortLocal::configure(const SerialConfig& cfgObj) {
    stopFlowControl();
    const int status = SerConfigure(cfgObj);
    if (status != 0) {
        throw IOError("Configure failed: " + std::to_string(status));
    }
    const int shake = cfgObj.getHandshake();
    if (cfgObj.getHardFlow() && osName == "Windows 95" &&
        (shake == SerialConfig::HS_CTSRTS || shake == SerialConfig::HS_DSRDTR)) {
        flowControl = std::make_unique<FlowControlTask>(*this);
        flowControl->start();
    }
}

void SerialPortLocal::setConfig(std::shared_ptr<SerialConfig> serCfg) {
    config = requireConfig(std::move(serCfg));
}

std::shared_ptr<SerialConfig> SerialPortLocal::getConfig() {
    return config;
}

void SerialPortLocal::stopFlowControl() {
    if (flowControl) {
        flowControl->stop();
        flowControl.reset();
    }
}

void SerialPortLocal::close() {
    stopFlowControl();
    if (port < 0) {
        return;
    }
    if (SerClosePort(port) != 0) {
        throw IOError("ClosePort failed");
    }
    isOpen_ = false;
    port = -1;
}

void SerialPortLocal::reset() {
    close();
    const int status = SerOpenPort(*config);
    if (status != 0) {
        throw IOError("reset: SerOpenPort failed: " + std::to_string(status));
    }
    port = config->getPort() - 1;
    isOpen_ = true;
    configure(*config);
}

bool SerialPortLocal::isOpen() const {
    return isOpen_;
}

int SerialPortLocal::getPortNum() {
    return port;
}

void SerialPortLocal::setName(const std::string& spName) {
    name = spName;
}

std::string SerialPortLocal::getName() {
    return name;
}

std::string SerialPortLocal::getName(int /*port*/) {
    return "Not implemented";
}

int SerialPortLocal::getLibVer() {
    return SerGetLibVer();
}

// --- record shortcuts ------------------------------------------------------

void SerialPortLocal::setPortName(const std::string& pName) {
    config->setPortName(pName);
}

std::string SerialPortLocal::getPortName() const {
    const Bytes& bytes = config->getPortName();
    return std::string(bytes.begin(), bytes.end());
}

void SerialPortLocal::setBitRate(int v) {
    config->setBitRate(v);
}

int SerialPortLocal::getBitRate() const {
    return config->getBitRate();
}

void SerialPortLocal::setDataBits(int v) {
    config->setDataBits(v);
}

int SerialPortLocal::getDataBits() const {
    return config->getDataBits();
}

void SerialPortLocal::setStopBits(int v) {
    config->setStopBits(v);
}

int SerialPortLocal::getStopBits() const {
    return config->getStopBits();
}

void SerialPortLocal::setParity(int v) {
    config->setParity(v);
}

int SerialPortLocal::getParity() const {
    return config->getParity();
}

void SerialPortLocal::setHandshake(int v) {
    config->setHandshake(v);
}

int SerialPortLocal::getHandshake() const {
    return config->getHandshake();
}

// --- sending ---------------------------------------------------------------
// A negative count from the driver is its failure value: it never counts as
// "all sent", even when the caller asked for the same negative count.

void SerialPortLocal::putByte(unsigned char data) {
    if (SerPutByte(port, data) != 0) {
        throw IOError("PutByte failed");
    }
}

void SerialPortLocal::putString(const std::string& s) {
    if (s.empty()) {
        return;
    }
    const int n = static_cast<int>(s.size());
    const int sent = SerPutData(port, reinterpret_cast<const unsigned char*>(s.data()), n);
    if (sent != n) {
        shortSend(sent, n, "PutString: sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes");
    }
}

void SerialPortLocal::putData(const Bytes& data) {
    const int n = static_cast<int>(data.size());
    if (n == 0) {
        return;
    }
    const int sent = SerPutData(port, data.data(), n);
    if (sent != n) {
        shortSend(sent, n, "PutData1: Sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes");
    }
}

void SerialPortLocal::putData(const Bytes& data, int dLen) {
    if (static_cast<int64_t>(data.size()) < dLen) {
        throw IOError("putData: count out of bounds");
    }
    const int sent = SerPutData(port, data.data(), dLen);
    if (sent != dLen || sent < 0) {
        shortSend(sent, dLen, "PutData2: Sent only " + std::to_string(sent) + " of " + std::to_string(dLen) + " bytes");
    }
}

void SerialPortLocal::putData(const Bytes& data, int off, int dLen) {
    if (static_cast<int64_t>(off) + dLen > static_cast<int64_t>(data.size())) {
        throw IOError("putData3: count out of bounds");
    }
    if (off < 0 || dLen < 0) {
        throw std::out_of_range("putData3: offset " + std::to_string(off) + " or count " + std::to_string(dLen) +
                                " is negative");
    }
    const Bytes copy(data.begin() + off, data.begin() + off + dLen);
    const int sent = SerPutData(port, copy.data(), dLen);
    if (sent != dLen) {
        shortSend(sent, dLen, "Sent only " + std::to_string(sent) + " of " + std::to_string(dLen) + " bytes");
    }
}

// --- receiving -------------------------------------------------------------
// Where the driver leaves receive timeouts to the library, the wait spins on
// the ready count, yielding between polls; the readiness test comes before
// the clock so a byte already waiting is taken even after the deadline.

int SerialPortLocal::getByte() {
    if (port < 0) {
        throw IOError("getByte: Port not open");
    }
    if (pollGetDataTimeout && SerGetTimeoutRx(port) > 0) {
        const int64_t deadline = nowMs() + SerGetTimeoutRx(port);
        for (;;) {
            if (SerRxReadyCount(port) > 0) {
                return SerGetByte(port);
            }
            const int64_t current = nowMs();
            std::this_thread::yield();
            if (!(deadline > current)) {
                return -1;
            }
        }
    }
    return SerGetByte(port);
}

int SerialPortLocal::getData(Bytes& buf) {
    const int n = static_cast<int>(buf.size());
    if (pollGetDataTimeout && SerGetTimeoutRx(port) > 0) {
        const int64_t deadline = nowMs() + SerGetTimeoutRx(port);
        for (;;) {
            if (SerRxReadyCount(port) >= n) {
                break;
            }
            const int64_t current = nowMs();
            std::this_thread::yield();
            if (!(deadline > current)) {
                break;
            }
        }
    }
    const int result = SerGetData(port, buf.data(), n);
    if (result == -1) {
        throw IOError("getData: failed");
    }
    return result;
}

int SerialPortLocal::getData(Bytes* buf, int off, int len) {
    if (buf == nullptr) {
        return 0;
    }
    // The range is checked before reading, so no byte taken from the port is
    // ever thrown away for want of room.
    if (off < 0 || len < 0 || static_cast<int64_t>(off) + len > static_cast<int64_t>(buf->size())) {
        throw std::out_of_range("getData: range " + std::to_string(off) + "+" + std::to_string(len) +
                                " does not fit a buffer of " + std::to_string(buf->size()));
    }
    Bytes tmp(static_cast<size_t>(len));
    const int n = getData(tmp);
    std::copy(tmp.begin(), tmp.begin() + n, buf->begin() + off);
    return n;
}

// --- driver queries and line control ---------------------------------------

int SerialPortLocal::rxFlush() {
    const int r = SerRxFlush(port);
    if (r == -1) throw IOError("rxFlush failed");
    return r;
}

int SerialPortLocal::txFlush() {
    const int r = SerTxFlush(port);
    if (r == -1) throw IOError("txFlush failed");
    return r;
}

int SerialPortLocal::txDrain() {
    const int r = SerTxDrain(port);
    if (r == -1) throw IOError("txDrain failed");
    return r;
}

int SerialPortLocal::rxReadyCount() {
    requireFeature(supRxReadyCount, "rxReadyCount not supported on ", osName);
    if (port < 0) throw IOError("rxReadyCount: Port not open");
    const int r = SerRxReadyCount(port);
    if (r == -1) throw IOError("rxReadyCount failed");
    return r;
}

int SerialPortLocal::txBufCount() {
    requireFeature(supTxBufCount, "txBufCount not supported on ", osName);
    if (port < 0) throw IOError("txBufCount: Port not open");
    const int r = SerTxBufCount(port);
    if (r == -1) throw IOError("txBufCount failed");
    return r;
}

bool SerialPortLocal::rxOverflow() {
    requireFeature(supRxOverflow, "rxOverflow not supported on ", osName);
    if (port < 0) throw IOError("rxOverflow: Port not open");
    const int r = SerRxOverflow(port);
    if (r == -1) throw IOError("rxOverflow failed");
    return r == 1;
}

bool SerialPortLocal::sigDSR() {
    if (port < 0) throw IOError("sigDSR: Port not open");
    const int r = SerSigDSR(port);
    if (r == -1) throw IOError("sigDSR failed");
    return r == 1;
}

bool SerialPortLocal::sigCTS() {
    if (port < 0) throw IOError("sigCTS: Port not open");
    const int r = SerSigCTS(port);
    if (r == -1) throw IOError("sigCTS failed");
    return r == 1;
}

bool SerialPortLocal::sigCD() {
    requireFeature(supSigCD, "sigCD not supported on ", osName);
    if (port < 0) throw IOError("sigCD: Port not open");
    const int r = SerSigCD(port);
    if (r == -1) throw IOError("sigCD failed");
    return r == 1;
}

bool SerialPortLocal::sigFrameErr() {
    requireFeature(supSigFrameErr, "sigFrameErr not supported on ", osName);
    if (port < 0) throw IOError("sigFrameErr: Port not open");
    const int r = SerSigFrameErr(port);
    if (r == -1) throw IOError("sigFrameErr failed");
    return r == 1;
}

bool SerialPortLocal::sigOverrun() {
    requireFeature(supSigOverrun, "sigOverrun not supported on ", osName);
    if (port < 0) throw IOError("sigOverrun: Port not open");
    const int r = SerSigOverrun(port);
    if (r == -1) throw IOError("sigOverrun failed");
    return r == 1;
}

bool SerialPortLocal::sigParityErr() {
    requireFeature(supSigParityErr, "sigParityErr not supported on ", osName);
    if (port < 0) throw IOError("sigParityErr: Port not open");
    return SerSigParityErr(port) == 1;
}

bool SerialPortLocal::sigRing() {
    requireFeature(supSigRing, "sigRing not supported on ", osName);
    if (port < 0) throw IOError("sigRing: Port not open");
    return SerSigRing(port) == 1;
}

bool SerialPortLocal::sigBreak() {
    requireFeature(supSigBreak, "sigBreak not supported on ", osName);
    if (port < 0) throw IOError("sigBreak: Port not open");
    const int r = SerSigBreak(port);
    if (r == -1) throw IOError("sigBreak failed");
    return r == 1;
}

void SerialPortLocal::setDTR(bool onOff) {
    requireFeature(supSetDTR, "setDTR not supported on ", osName);
    if (SerSetDTR(port, onOff) == -1) throw IOError("setDTR failed");
}

void SerialPortLocal::setRTS(bool onOff) {
    requireFeature(supSetRTS, "setRts not supported on ", osName);
    if (SerSetRTS(port, onOff) == -1) throw IOError("setRTS failed");
}

void SerialPortLocal::sendBreak(int bLen) {
    if (SerSendBreak(port, bLen) == -1) throw IOError("sendBreak failed");
}

int SerialPortLocal::getTimeoutRx() {
    return SerGetTimeoutRx(port);
}

int SerialPortLocal::getTimeoutTx() {
    return SerGetTimeoutTx(port);
}

void SerialPortLocal::setTimeoutRx(int tmoRx) {
    if (SerSetTimeoutRx(port, tmoRx) == -1) throw IOError("setTimeoutRx failed");
}

void SerialPortLocal::setTimeoutTx(int tmoTx) {
    if (SerSetTimeoutTx(port, tmoTx) == -1) throw IOError("setTimeoutTx failed");
}

// --- the driver operations -------------------------------------------------

int SerialPortLocal::SerGetLibVer() {
    return Driver::ops().SerGetLibVer();
}

int SerialPortLocal::SerOpenPort(SerialConfig& cfg) {
    SerConfigRec rec = recordOf(cfg);
    const int status = Driver::ops().SerOpenPort(&rec);
    if (status == 0) {
        cfg.storeOpenedPort(rec.port);
    }
    return status;
}

int SerialPortLocal::SerConfigure(const SerialConfig& cfg) {
    const SerConfigRec rec = recordOf(cfg);
    return Driver::ops().SerConfigure(&rec);
}

int SerialPortLocal::SerClosePort(int p) {
    return Driver::ops().SerClosePort(p);
}

int SerialPortLocal::SerPutByte(int p, unsigned char data) {
    return Driver::ops().SerPutByte(p, data);
}

int SerialPortLocal::SerPutData(int p, const unsigned char* data, int count) {
    return Driver::ops().SerPutData(p, data, count);
}

int SerialPortLocal::SerGetByte(int p) {
    return Driver::ops().SerGetByte(p);
}

int SerialPortLocal::SerGetData(int p, unsigned char* buf, int count) {
    return Driver::ops().SerGetData(p, buf, count);
}

int SerialPortLocal::SerRxFlush(int p) {
    return Driver::ops().SerRxFlush(p);
}

int SerialPortLocal::SerTxFlush(int p) {
    return Driver::ops().SerTxFlush(p);
}

int SerialPortLocal::SerTxDrain(int p) {
    return Driver::ops().SerTxDrain(p);
}

int SerialPortLocal::SerRxReadyCount(int p) {
    return Driver::ops().SerRxReadyCount(p);
}

int SerialPortLocal::SerTxBufCount(int p) {
    return Driver::ops().SerTxBufCount(p);
}

int SerialPortLocal::SerRxOverflow(int p) {
    return Driver::ops().SerRxOverflow(p);
}

int SerialPortLocal::SerSetDTR(int p, bool onOff) {
    return Driver::ops().SerSetDTR(p, onOff ? 1 : 0);
}

int SerialPortLocal::SerSetRTS(int p, bool onOff) {
    return Driver::ops().SerSetRTS(p, onOff ? 1 : 0);
}

int SerialPortLocal::SerSendBreak(int p, int tics) {
    return Driver::ops().SerSendBreak(p, tics);
}

int SerialPortLocal::SerSetTimeoutRx(int p, int mSecs) {
    return Driver::ops().SerSetTimeoutRx(p, mSecs);
}

int SerialPortLocal::SerSetTimeoutTx(int p, int mSecs) {
    return Driver::ops().SerSetTimeoutTx(p, mSecs);
}

int SerialPortLocal::SerGetTimeoutRx(int p) {
    return Driver::ops().SerGetTimeoutRx(p);
}

int SerialPortLocal::SerGetTimeoutTx(int p) {
    return Driver::ops().SerGetTimeoutTx(p);
}

int SerialPortLocal::SerSigCTS(int p) {
    return Driver::ops().SerSigCTS(p);
}

int SerialPortLocal::SerSigDSR(int p) {
    return Driver::ops().SerSigDSR(p);
}

int SerialPortLocal::SerSigCD(int p) {
    return Driver::ops().SerSigCD(p);
}

int SerialPortLocal::SerSigFrameErr(int p) {
    return Driver::ops().SerSigFrameErr(p);
}

int SerialPortLocal::SerSigParityErr(int p) {
    return Driver::ops().SerSigParityErr(p);
}

int SerialPortLocal::SerSigOverrun(int p) {
    return Driver::ops().SerSigOverrun(p);
}

int SerialPortLocal::SerSigRing(int p) {
    return Driver::ops().SerSigRing(p);
}

int SerialPortLocal::SerSigBreak(int p) {
    return Driver::ops().SerSigBreak(p);
}

int SerialPortLocal::SerFlowTask(int p) {
    return Driver::ops().SerFlowTask(p);
}

}  // namespace Serlib
