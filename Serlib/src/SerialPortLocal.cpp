#include "Serlib/SerialPortLocal.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <type_traits>

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

// Opens through the driver; a port opened by name gets its number from it.
int driverOpen(SerialConfig& cfg) {
    SerConfigRec rec = recordOf(cfg);
    const int status = Driver::ops().SerOpenPort(&rec);
    if (status == 0) {
        cfg.storeOpenedPort(rec.port);
    }
    return status;
}

int driverConfigure(const SerialConfig& cfg) {
    const SerConfigRec rec = recordOf(cfg);
    return Driver::ops().SerConfigure(&rec);
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
        throw WriteTimeout(text, sent);
    }
    throw IOError(text);
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
    const int status = driverOpen(*config);
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
    const int status = driverConfigure(cfgObj);
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
    if (Driver::ops().SerClosePort(port) != 0) {
        throw IOError("ClosePort failed");
    }
    isOpen_ = false;
    port = -1;
}

void SerialPortLocal::reset() {
    close();
    const int status = driverOpen(*config);
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
    return Driver::ops().SerGetLibVer();
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
    if (Driver::ops().SerPutByte(port, data) != 0) {
        throw IOError("PutByte failed");
    }
}

void SerialPortLocal::putString(const std::string& s) {
    if (s.empty()) {
        return;
    }
    const int n = static_cast<int>(s.size());
    const int sent = Driver::ops().SerPutData(port, reinterpret_cast<const unsigned char*>(s.data()), n);
    if (sent != n) {
        shortSend(sent, n, "PutString: sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes");
    }
}

void SerialPortLocal::putData(const Bytes& data) {
    const int n = static_cast<int>(data.size());
    if (n == 0) {
        return;
    }
    const int sent = Driver::ops().SerPutData(port, data.data(), n);
    if (sent != n) {
        shortSend(sent, n, "PutData1: Sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes");
    }
}

void SerialPortLocal::putData(const Bytes& data, int dLen) {
    if (static_cast<int64_t>(data.size()) < dLen) {
        throw IOError("putData: count out of bounds");
    }
    const int sent = Driver::ops().SerPutData(port, data.data(), dLen);
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
    const int sent = Driver::ops().SerPutData(port, copy.data(), dLen);
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
    const DriverOps& driver = Driver::ops();
    if (pollGetDataTimeout && driver.SerGetTimeoutRx(port) > 0) {
        const int64_t deadline = nowMs() + driver.SerGetTimeoutRx(port);
        for (;;) {
            if (driver.SerRxReadyCount(port) > 0) {
                return driver.SerGetByte(port);
            }
            const int64_t current = nowMs();
            std::this_thread::yield();
            if (!(deadline > current)) {
                return -1;
            }
        }
    }
    return driver.SerGetByte(port);
}

int SerialPortLocal::getData(Bytes& buf) {
    const int n = static_cast<int>(buf.size());
    const DriverOps& driver = Driver::ops();
    if (pollGetDataTimeout && driver.SerGetTimeoutRx(port) > 0) {
        const int64_t deadline = nowMs() + driver.SerGetTimeoutRx(port);
        for (;;) {
            if (driver.SerRxReadyCount(port) >= n) {
                break;
            }
            const int64_t current = nowMs();
            std::this_thread::yield();
            if (!(deadline > current)) {
                break;
            }
        }
    }
    const int result = driver.SerGetData(port, buf.data(), n);
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

namespace {

// One driver operation as a plain function, so one table column holds both
// kinds: those taking the handle only, and those taking a value too.
template <auto op>
int32_t drive(int32_t handle, [[maybe_unused]] int32_t value) {
    const DriverOps& driver = Driver::ops();
    if constexpr (std::is_invocable_v<decltype(driver.*op), int32_t, int32_t>) {
        return (driver.*op)(handle, value);
    } else {
        return (driver.*op)(handle);
    }
}

}  // namespace

enum class SerialPortLocal::Op {
    RxFlush, TxFlush, TxDrain, RxReadyCount, TxBufCount, RxOverflow, SigDSR, SigCTS, SigCD, SigFrameErr,
    SigOverrun, SigParityErr, SigRing, SigBreak, SetDTR, SetRTS, SendBreak, SetTimeoutRx, SetTimeoutTx,
};

// Every row takes the same steps in the same order: the platform's feature
// flag, the open check, the driver call, then the driver's -1 as a failure.
// The messages are built from the row's name.
int SerialPortLocal::driverCall(Op op, int value) {
    struct Row {
        Op op;
        const char* name;
        bool SerialPortLocal::*feature;  // nullptr: offered on every platform
        bool checksOpen;                 // false: the driver gets a closed port's -1 and its refusal reports it
        int32_t (*call)(int32_t handle, int32_t value);
        bool failsOnMinusOne = true;
        const char* unsupportedName = nullptr;  // when its refusal spells the name otherwise
    };
    using S = SerialPortLocal;
    using D = DriverOps;
    constexpr bool openOnly = true, anyHandle = false, minusOneFails = true, noFailureValue = false;
    static constexpr Row rows[] = {
        {Op::RxFlush, "rxFlush", nullptr, anyHandle, drive<&D::SerRxFlush>},
        {Op::TxFlush, "txFlush", nullptr, anyHandle, drive<&D::SerTxFlush>},
        {Op::TxDrain, "txDrain", nullptr, anyHandle, drive<&D::SerTxDrain>},
        {Op::RxReadyCount, "rxReadyCount", &S::supRxReadyCount, openOnly, drive<&D::SerRxReadyCount>},
        {Op::TxBufCount, "txBufCount", &S::supTxBufCount, openOnly, drive<&D::SerTxBufCount>},
        {Op::RxOverflow, "rxOverflow", &S::supRxOverflow, openOnly, drive<&D::SerRxOverflow>},
        {Op::SigDSR, "sigDSR", nullptr, openOnly, drive<&D::SerSigDSR>},
        {Op::SigCTS, "sigCTS", nullptr, openOnly, drive<&D::SerSigCTS>},
        {Op::SigCD, "sigCD", &S::supSigCD, openOnly, drive<&D::SerSigCD>},
        {Op::SigFrameErr, "sigFrameErr", &S::supSigFrameErr, openOnly, drive<&D::SerSigFrameErr>},
        {Op::SigOverrun, "sigOverrun", &S::supSigOverrun, openOnly, drive<&D::SerSigOverrun>},
        // The driver gives these two no failure value: anything but 1 means no.
        {Op::SigParityErr, "sigParityErr", &S::supSigParityErr, openOnly, drive<&D::SerSigParityErr>, noFailureValue},
        {Op::SigRing, "sigRing", &S::supSigRing, openOnly, drive<&D::SerSigRing>, noFailureValue},
        {Op::SigBreak, "sigBreak", &S::supSigBreak, openOnly, drive<&D::SerSigBreak>},
        {Op::SetDTR, "setDTR", &S::supSetDTR, anyHandle, drive<&D::SerSetDTR>},
        // Callers match the refusal text, which has always read "setRts".
        {Op::SetRTS, "setRTS", &S::supSetRTS, anyHandle, drive<&D::SerSetRTS>, minusOneFails, "setRts"},
        {Op::SendBreak, "sendBreak", nullptr, anyHandle, drive<&D::SerSendBreak>},
        {Op::SetTimeoutRx, "setTimeoutRx", nullptr, anyHandle, drive<&D::SerSetTimeoutRx>},
        {Op::SetTimeoutTx, "setTimeoutTx", nullptr, anyHandle, drive<&D::SerSetTimeoutTx>},
    };
    static_assert([] {
        for (size_t i = 0; i < std::size(rows); ++i) {
            if (rows[i].op != static_cast<Op>(i)) return false;
        }
        return std::size(rows) == static_cast<size_t>(Op::SetTimeoutTx) + 1;
    }(), "one row per operation, in the order of Op");

    const Row& row = rows[static_cast<size_t>(op)];
    if (row.feature != nullptr && !(this->*row.feature)) {
        throw IOError(std::string(row.unsupportedName ? row.unsupportedName : row.name) + " not supported on " +
                      osName);
    }
    if (row.checksOpen && port < 0) {
        throw IOError(std::string(row.name) + ": Port not open");
    }
    const int r = row.call(port, value);
    if (row.failsOnMinusOne && r == -1) {
        throw IOError(std::string(row.name) + " failed");
    }
    return r;
}

int SerialPortLocal::rxFlush() { return driverCall(Op::RxFlush); }
int SerialPortLocal::txFlush() { return driverCall(Op::TxFlush); }
int SerialPortLocal::txDrain() { return driverCall(Op::TxDrain); }
int SerialPortLocal::waitRx(int mSecs) {
    const DriverOps& driver = Driver::ops();
    if (driver.SerWaitRx == nullptr) return SerialPort::waitRx(mSecs);
    // The same checks and failures as the count it waits for.
    const int ready = rxReadyCount();
    if (ready > 0 || mSecs <= 0) return ready;
    const int waited = driver.SerWaitRx(port, mSecs);
    if (waited < 0) throw IOError("rxReadyCount failed");
    return waited;
}

int SerialPortLocal::rxReadyCount() { return driverCall(Op::RxReadyCount); }
int SerialPortLocal::txBufCount() { return driverCall(Op::TxBufCount); }
bool SerialPortLocal::rxOverflow() { return driverCall(Op::RxOverflow) == 1; }
bool SerialPortLocal::sigDSR() { return driverCall(Op::SigDSR) == 1; }
bool SerialPortLocal::sigCTS() { return driverCall(Op::SigCTS) == 1; }
bool SerialPortLocal::sigCD() { return driverCall(Op::SigCD) == 1; }
bool SerialPortLocal::sigFrameErr() { return driverCall(Op::SigFrameErr) == 1; }
bool SerialPortLocal::sigOverrun() { return driverCall(Op::SigOverrun) == 1; }
bool SerialPortLocal::sigParityErr() { return driverCall(Op::SigParityErr) == 1; }
bool SerialPortLocal::sigRing() { return driverCall(Op::SigRing) == 1; }
bool SerialPortLocal::sigBreak() { return driverCall(Op::SigBreak) == 1; }
void SerialPortLocal::setDTR(bool onOff) { driverCall(Op::SetDTR, onOff ? 1 : 0); }
void SerialPortLocal::setRTS(bool onOff) { driverCall(Op::SetRTS, onOff ? 1 : 0); }
void SerialPortLocal::sendBreak(int bLen) { driverCall(Op::SendBreak, bLen); }
void SerialPortLocal::setBreak(bool on) {
    const DriverOps& driver = Driver::ops();
    if (driver.SerSetBreak == nullptr) throw IOError("setBreak not supported on " + osName);
    if (driver.SerSetBreak(port, on ? 1 : 0) == -1) throw IOError("setBreak failed");
}
void SerialPortLocal::setTimeoutRx(int tmoRx) { driverCall(Op::SetTimeoutRx, tmoRx); }
void SerialPortLocal::setTimeoutTx(int tmoTx) { driverCall(Op::SetTimeoutTx, tmoTx); }
int SerialPortLocal::getTimeoutRx() { return Driver::ops().SerGetTimeoutRx(port); }
int SerialPortLocal::getTimeoutTx() { return Driver::ops().SerGetTimeoutTx(port); }

int SerialPortLocal::SerFlowTask(int p) {
    return Driver::ops().SerFlowTask(p);
}

}  // namespace Serlib
