#pragma once
// The one SerialPort implementation: a thin, guarded wrapper over the loaded
// native driver (Driver.h). Adds the order of calls, the checks in front of
// them, the reading of driver results, the library-side receive timeout, the
// per-platform feature flags and the flow-control task.
// Not synchronised: one thread at a time (the flow-control task excepted).
//
// A send the send time-out cuts short raises WriteTimeout (an IOError with
// the send's own text); a failed send raises a plain IOError.
//
// A device pulled while its port is open (a USB adapter unplugged): the
// driver keeps the port open and its handle; getPortNum() and isOpen() do not
// change. Until the device is back every exchange fails at once: sends raise
// "PutData1: Sent only -1 of N bytes" (putData), "PutString: sent only -1 of
// N bytes", "PutByte failed"; reads raise "getData: failed"; rxReadyCount()
// (a stream's available()) raises "rxReadyCount failed"; getByte() answers
// -1. Each such operation makes the driver try once to reopen the device by
// its name with the port's settings, so the first operation that succeeds
// after a failure is the sign the device is back. No time is spent between
// operations.
#include <memory>
#include <string>

#include "Serlib/SerialPort.h"

namespace Serlib {

class FlowControlTask;

class SerialPortLocal : public SerialPort {
public:
    // Not opened; its own record names the platform's default device.
    SerialPortLocal();
    // Stores cfgObj (shared, not copied) and opens the port; an open failure
    // leaves the constructor with that IOError. Settings the device refuses
    // fail the open too, with the port closed again.
    explicit SerialPortLocal(std::shared_ptr<SerialConfig> cfgObj);
    // Stops the flow-control task and closes the port, swallowing errors.
    ~SerialPortLocal() override;
    SerialPortLocal(const SerialPortLocal&) = delete;
    SerialPortLocal& operator=(const SerialPortLocal&) = delete;

    void open();
    void configure();
    void configure(const SerialConfig& cfgObj) override;
    void setConfig(std::shared_ptr<SerialConfig> serCfg) override;
    std::shared_ptr<SerialConfig> getConfig() override;
    void close() override;
    void reset();
    void putByte(unsigned char data) override;
    void putString(const std::string& s) override;
    void putData(const Bytes& data) override;
    void putData(const Bytes& data, int dLen) override;
    void putData(const Bytes& data, int off, int dLen) override;
    int getByte() override;
    int getData(Bytes& buf) override;
    int getData(Bytes* buf, int off, int len) override;
    // Queries and line control. A feature this platform lacks fails first,
    // with "<op> not supported on <os>" (see isSupported). The counters and
    // line signals then fail on a closed port with "<op>: Port not open";
    // the flushes, DTR, RTS, break and timeout setters hand a closed port's
    // -1 to the driver instead. A driver failure raises "<op> failed".
    // The signals answer true only for the driver's 1; sigParityErr and
    // sigRing never fail on the driver's answer, anything but 1 is false.
    int rxFlush() override;
    int txFlush() override;
    int txDrain() override;
    int rxReadyCount() override;
    // Waits on the device itself where the driver offers it (SerWaitRx).
    int waitRx(int mSecs) override;
    int txBufCount() override;
    bool rxOverflow() override;
    bool sigDSR() override;
    bool sigCTS() override;
    bool sigCD() override;
    bool sigFrameErr() override;
    bool sigOverrun() override;
    bool sigParityErr() override;
    bool sigRing() override;
    bool sigBreak() override;
    void setDTR(bool onOff) override;
    void setRTS(bool onOff) override;
    void sendBreak(int bLen) override;
    // Where the driver offers it (SerSetBreak); "setBreak failed" when the
    // driver refuses.
    void setBreak(bool on) override;
    // Timeouts in milliseconds; the getters hand on the driver's answer.
    int getTimeoutRx() override;
    int getTimeoutTx() override;
    void setTimeoutRx(int tmoRx) override;
    void setTimeoutTx(int tmoTx) override;
    int getPortNum() override;
    void setName(const std::string& spName) override;
    std::string getName() override;
    std::string getName(int port);  // "Not implemented"
    int getLibVer() override;
    bool isOpen() const;
    bool isSupported(const std::string& name) const;

    // Record shortcuts: change config only; the port sees them at configure().
    void setPortName(const std::string& name);
    std::string getPortName() const;
    void setBitRate(int v);
    int getBitRate() const;
    void setDataBits(int v);
    int getDataBits() const;
    void setStopBits(int v);
    int getStopBits() const;
    void setParity(int v);
    int getParity() const;
    void setHandshake(int v);
    int getHandshake() const;

    // Feature-table results, readable for tests and diagnostics.
    bool pollsGetDataTimeout() const { return pollGetDataTimeout; }
    const std::string& defaultDevice() const { return devName; }

private:
    // The flow-control task drives SerFlowTask from its own thread.
    friend class FlowControlTask;

    // The guarded operations above, one row each of driverCall's table.
    enum class Op;
    // Runs op's checks and driver call; returns the driver's answer.
    int driverCall(Op op, int value = 0);
    int SerFlowTask(int port);
    void featureSetup();
    void stopFlowControl();

    std::string nativeLib;
    int port = -1;
    bool isOpen_ = false;
    std::string name = "Serial Port";
    std::string osName;
    std::string devName;
    std::shared_ptr<SerialConfig> config;
    std::unique_ptr<FlowControlTask> flowControl;
    bool pollGetDataTimeout = false;
    bool supSigBreak = false;
    bool supSigFrameErr = false;
    bool supSigOverrun = false;
    bool supSigParityErr = false;
    bool supRxOverflow = false;
    bool supSigRing = false;
    bool supSigCTS = false;
    bool supSigDSR = false;
    bool supSigCD = false;
    bool supSetRTS = false;
    bool supSetDTR = false;
    bool supRxReadyCount = false;
    bool supTxBufCount = false;
    bool supSetTimeoutTx = false;
    bool supGetTimeoutTx = false;
};

}  // namespace Serlib
