// The 30 operations of the driver contract (Serlib/SerDriver.h), and the
// optional SerWaitRx and SerSetBreak, as every driver exports them: each finds its port in
// the platform's port table and hands the work to it; no exception crosses
// into the caller, whose language may not have them. Compiled into each
// platform's driver (Platform.h).
#include "Serlib/SerDriver.h"

#include <memory>

#include "Serlib/drivers/common/Platform.h"

namespace {

using sdrv::Port;
using sdrv::PortTable;

// 1.00
constexpr int32_t kLibraryVersion = 100;

// Runs op on the port of handle; failure when there is none or op throws
// (it can only run out of memory).
template <typename Op>
int32_t onPort(int32_t handle, int32_t failure, Op op) {
    try {
        const std::shared_ptr<Port> port = PortTable::instance().find(handle);
        return port ? op(*port) : failure;
    } catch (...) {
        return failure;
    }
}

}  // namespace

SDRV_EXPORT int32_t SerGetLibVer(void) {
    return kLibraryVersion;
}

SDRV_EXPORT int32_t SerOpenPort(SerConfigRec* cfg) {
    try {
        return PortTable::instance().open(cfg);
    } catch (...) {
        return SER_ERRNO_BASE + sdrv::kOutOfMemory;
    }
}

SDRV_EXPORT int32_t SerConfigure(const SerConfigRec* cfg) {
    try {
        if (cfg == nullptr) {
            return SER_CONFIG_NOT_OPEN;
        }
        sdrv::LineSettings settings;
        if (!sdrv::settingsFrom(*cfg, settings)) {
            return SER_CONFIG_BAD_SETTING;
        }
        const std::shared_ptr<Port> port = PortTable::instance().findFor(*cfg);
        return port ? port->configure(settings) : SER_CONFIG_NOT_OPEN;
    } catch (...) {
        return SER_ERRNO_BASE + sdrv::kOutOfMemory;
    }
}

SDRV_EXPORT int32_t SerClosePort(int32_t port) {
    try {
        return PortTable::instance().close(port);
    } catch (...) {
        return -1;
    }
}

SDRV_EXPORT int32_t SerPutByte(int32_t port, int32_t data) {
    if (data < 0 || data > 255) {
        return -1;
    }
    const uint8_t byte = static_cast<uint8_t>(data);
    return onPort(port, -1, [&](Port& p) { return p.putData(&byte, 1) == 1 ? 0 : -1; });
}

SDRV_EXPORT int32_t SerPutData(int32_t port, const uint8_t* data, int32_t count) {
    return onPort(port, -1, [&](Port& p) { return p.putData(data, count); });
}

SDRV_EXPORT int32_t SerGetByte(int32_t port) {
    return onPort(port, -1, [](Port& p) {
        uint8_t byte = 0;
        return p.getData(&byte, 1) == 1 ? static_cast<int32_t>(byte) : -1;
    });
}

SDRV_EXPORT int32_t SerGetData(int32_t port, uint8_t* buf, int32_t count) {
    return onPort(port, -1, [&](Port& p) { return p.getData(buf, count); });
}

SDRV_EXPORT int32_t SerRxFlush(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.rxFlush(); });
}

SDRV_EXPORT int32_t SerTxFlush(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.txFlush(); });
}

SDRV_EXPORT int32_t SerTxDrain(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.txDrain(); });
}

SDRV_EXPORT int32_t SerRxReadyCount(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.rxReadyCount(); });
}

SDRV_EXPORT int32_t SerTxBufCount(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.txBufCount(); });
}

SDRV_EXPORT int32_t SerRxOverflow(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.lineEventSeen(sdrv::LineEvent::RxOverflow); });
}

SDRV_EXPORT int32_t SerSetDTR(int32_t port, int32_t onOff) {
    return onPort(port, -1, [&](Port& p) { return p.setModemLine(sdrv::ModemLine::Dtr, onOff != 0); });
}

SDRV_EXPORT int32_t SerSetRTS(int32_t port, int32_t onOff) {
    return onPort(port, -1, [&](Port& p) { return p.setModemLine(sdrv::ModemLine::Rts, onOff != 0); });
}

SDRV_EXPORT int32_t SerSendBreak(int32_t port, int32_t tics) {
    return onPort(port, -1, [&](Port& p) { return p.sendBreak(tics); });
}

SDRV_EXPORT int32_t SerSetTimeoutRx(int32_t port, int32_t mSecs) {
    return onPort(port, -1, [&](Port& p) { return p.setTimeoutRx(mSecs); });
}

SDRV_EXPORT int32_t SerSetTimeoutTx(int32_t port, int32_t mSecs) {
    return onPort(port, -1, [&](Port& p) { return p.setTimeoutTx(mSecs); });
}

SDRV_EXPORT int32_t SerGetTimeoutRx(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.timeoutRx(); });
}

SDRV_EXPORT int32_t SerGetTimeoutTx(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.timeoutTx(); });
}

SDRV_EXPORT int32_t SerSigCTS(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.modemSignal(sdrv::ModemSignal::Cts); });
}

SDRV_EXPORT int32_t SerSigDSR(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.modemSignal(sdrv::ModemSignal::Dsr); });
}

SDRV_EXPORT int32_t SerSigCD(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.modemSignal(sdrv::ModemSignal::CarrierDetect); });
}

SDRV_EXPORT int32_t SerSigFrameErr(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.lineEventSeen(sdrv::LineEvent::Frame); });
}

SDRV_EXPORT int32_t SerSigParityErr(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.lineEventSeen(sdrv::LineEvent::Parity); });
}

SDRV_EXPORT int32_t SerSigOverrun(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.lineEventSeen(sdrv::LineEvent::Overrun); });
}

SDRV_EXPORT int32_t SerSigRing(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.modemSignal(sdrv::ModemSignal::Ring); });
}

SDRV_EXPORT int32_t SerSigBreak(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.lineEventSeen(sdrv::LineEvent::Break); });
}

SDRV_EXPORT int32_t SerWaitRx(int32_t port, int32_t mSecs) {
    return onPort(port, -1, [mSecs](Port& p) { return p.waitRx(mSecs); });
}

SDRV_EXPORT int32_t SerSetBreak(int32_t port, int32_t onOff) {
    return onPort(port, -1, [onOff](Port& p) { return p.setBreak(onOff != 0); });
}

SDRV_EXPORT int32_t SerFlowTask(int32_t port) {
    return onPort(port, -1, [](Port& p) { return p.flowTask(); });
}
