#include "tests/serlib/FakeDriver.h"

#include <algorithm>

namespace {

FakeDriver& instance() {
    static FakeDriver fake;
    return fake;
}

int32_t note(const char* op, int32_t handle = -2) {
    FakeDriver& f = instance();
    f.calls.emplace_back(op);
    f.handles.push_back(handle);
    return handle;
}

int32_t query(const char* op, int32_t port) {
    note(op, port);
    const auto it = instance().queryResults.find(op);
    return it == instance().queryResults.end() ? 0 : it->second;
}

bool visible(const FakeDriver::Pending& p) {
    return p.at <= std::chrono::steady_clock::now();
}

int32_t fakeGetLibVer() {
    note("SerGetLibVer");
    return 42;
}

int32_t fakeOpenPort(SerConfigRec* rec) {
    note("SerOpenPort", rec->port);
    FakeDriver& f = instance();
    if (f.openResult == 0 && rec->port == 0) {
        rec->port = f.openedNumber;
    }
    return f.openResult;
}

int32_t fakeConfigure(const SerConfigRec* rec) {
    note("SerConfigure", rec->port);
    instance().lastConfigure = *rec;
    return instance().configureResult;
}

int32_t fakeClosePort(int32_t port) {
    note("SerClosePort", port);
    return instance().closeResult;
}

int32_t fakePutByte(int32_t port, int32_t data) {
    note("SerPutByte", port);
    if (instance().putByteResult == 0) {
        instance().sent.push_back(static_cast<uint8_t>(data));
    }
    return instance().putByteResult;
}

int32_t fakePutData(int32_t port, const uint8_t* data, int32_t count) {
    note("SerPutData", port);
    FakeDriver& f = instance();
    f.putCounts.push_back(count);
    if (count < 0) {
        return -1;
    }
    const int32_t accepted = f.acceptLimit < 0 ? count : std::min(count, f.acceptLimit);
    f.sent.insert(f.sent.end(), data, data + accepted);
    return accepted;
}

int32_t fakeGetByte(int32_t port) {
    note("SerGetByte", port);
    FakeDriver& f = instance();
    if (f.rx.empty() || !visible(f.rx.front())) {
        return -1;
    }
    const uint8_t b = f.rx.front().byte;
    f.rx.pop_front();
    return b;
}

int32_t fakeGetData(int32_t port, uint8_t* buf, int32_t count) {
    note("SerGetData", port);
    FakeDriver& f = instance();
    if (f.failGetData) {
        return f.getDataResult;
    }
    int32_t n = 0;
    while (n < count && !f.rx.empty() && visible(f.rx.front())) {
        buf[n++] = f.rx.front().byte;
        f.rx.pop_front();
    }
    return n;
}

int32_t fakeRxReadyCount(int32_t port) {
    note("SerRxReadyCount", port);
    return instance().failReady ? -1 : instance().readyCount();
}

int32_t fakeTxBufCount(int32_t port) {
    note("SerTxBufCount", port);
    return instance().txBufCountResult;
}

int32_t fakeSetDTR(int32_t port, int32_t level) {
    instance().dtrLevels.push_back(level);
    return query("SerSetDTR", port);
}

int32_t fakeSetRTS(int32_t port, int32_t) {
    return query("SerSetRTS", port);
}

int32_t fakeSendBreak(int32_t port, int32_t) {
    return query("SerSendBreak", port);
}

int32_t fakeSetTimeoutRx(int32_t port, int32_t ms) {
    note("SerSetTimeoutRx", port);
    if (instance().setTimeoutResult == 0) {
        instance().timeoutRx = ms;
    }
    return instance().setTimeoutResult;
}

int32_t fakeSetTimeoutTx(int32_t port, int32_t ms) {
    note("SerSetTimeoutTx", port);
    if (instance().setTimeoutResult == 0) {
        instance().timeoutTx = ms;
    }
    return instance().setTimeoutResult;
}

int32_t fakeGetTimeoutRx(int32_t port) {
    note("SerGetTimeoutRx", port);
    return instance().timeoutRx;
}

int32_t fakeGetTimeoutTx(int32_t port) {
    note("SerGetTimeoutTx", port);
    return instance().timeoutTx;
}

int32_t fakeFlowTask(int32_t port) {
    // Called from the flow-control thread: touches only atomics.
    instance().flowHandle.store(port);
    instance().flowCalls.fetch_add(1);
    return 0;
}

#define FAKE_QUERY(name) \
    int32_t fake##name(int32_t port) { return query(#name, port); }
FAKE_QUERY(SerRxFlush)
FAKE_QUERY(SerTxFlush)
FAKE_QUERY(SerTxDrain)
FAKE_QUERY(SerRxOverflow)
FAKE_QUERY(SerSigCTS)
FAKE_QUERY(SerSigDSR)
FAKE_QUERY(SerSigCD)
FAKE_QUERY(SerSigFrameErr)
FAKE_QUERY(SerSigParityErr)
FAKE_QUERY(SerSigOverrun)
FAKE_QUERY(SerSigRing)
FAKE_QUERY(SerSigBreak)
#undef FAKE_QUERY

}  // namespace

void FakeDriver::deliver(const std::string& bytes, std::chrono::milliseconds after) {
    const auto at = std::chrono::steady_clock::now() + after;
    for (char c : bytes) {
        rx.push_back(Pending{at, static_cast<uint8_t>(c)});
    }
}

int FakeDriver::count(const std::string& op) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), op));
}

int FakeDriver::readyCount() const {
    return static_cast<int>(std::count_if(rx.begin(), rx.end(), visible));
}

FakeDriver& FakeDriver::current() {
    return instance();
}

FakeDriver& FakeDriver::install() {
    FakeDriver& f = instance();
    // Field by field: the atomics cannot be assigned as a whole.
    f.openResult = 0;
    f.openedNumber = 1;
    f.configureResult = 0;
    f.closeResult = 0;
    f.putByteResult = 0;
    f.acceptLimit = -1;
    f.getDataResult = 0;
    f.failGetData = false;
    f.failReady = false;
    f.setTimeoutResult = 0;
    f.txBufCountResult = 0;
    f.queryResults.clear();
    f.rx.clear();
    f.calls.clear();
    f.handles.clear();
    f.sent.clear();
    f.putCounts.clear();
    f.dtrLevels.clear();
    f.lastConfigure = SerConfigRec{};
    f.timeoutRx = 0;
    f.timeoutTx = 0;
    f.flowCalls.store(0);
    f.flowHandle.store(-2);

    Serlib::DriverOps ops{};
    ops.SerGetLibVer = fakeGetLibVer;
    ops.SerOpenPort = fakeOpenPort;
    ops.SerConfigure = fakeConfigure;
    ops.SerClosePort = fakeClosePort;
    ops.SerPutByte = fakePutByte;
    ops.SerPutData = fakePutData;
    ops.SerGetByte = fakeGetByte;
    ops.SerGetData = fakeGetData;
    ops.SerRxFlush = fakeSerRxFlush;
    ops.SerTxFlush = fakeSerTxFlush;
    ops.SerTxDrain = fakeSerTxDrain;
    ops.SerRxReadyCount = fakeRxReadyCount;
    ops.SerTxBufCount = fakeTxBufCount;
    ops.SerRxOverflow = fakeSerRxOverflow;
    ops.SerSetDTR = fakeSetDTR;
    ops.SerSetRTS = fakeSetRTS;
    ops.SerSendBreak = fakeSendBreak;
    ops.SerSetTimeoutRx = fakeSetTimeoutRx;
    ops.SerSetTimeoutTx = fakeSetTimeoutTx;
    ops.SerGetTimeoutRx = fakeGetTimeoutRx;
    ops.SerGetTimeoutTx = fakeGetTimeoutTx;
    ops.SerSigCTS = fakeSerSigCTS;
    ops.SerSigDSR = fakeSerSigDSR;
    ops.SerSigCD = fakeSerSigCD;
    ops.SerSigFrameErr = fakeSerSigFrameErr;
    ops.SerSigParityErr = fakeSerSigParityErr;
    ops.SerSigOverrun = fakeSerSigOverrun;
    ops.SerSigRing = fakeSerSigRing;
    ops.SerSigBreak = fakeSerSigBreak;
    ops.SerFlowTask = fakeFlowTask;
    Serlib::Driver::install(ops);
    return f;
}
