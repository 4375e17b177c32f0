#pragma once
// The serial port as its users hold it: the byte streams and the server's
// line adapter. Failures are IOError with exact message texts; the record
// shortcuts of SerialPortLocal raise std::invalid_argument.
// Implementations are not synchronised: one thread at a time.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Serlib/IOError.h"
#include "Serlib/SerialConfig.h"

namespace Serlib {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    virtual void setConfig(std::shared_ptr<SerialConfig> serCfg) = 0;
    virtual std::shared_ptr<SerialConfig> getConfig() = 0;
    virtual void configure(const SerialConfig& cfgObj) = 0;
    virtual void close() = 0;
    virtual void putByte(unsigned char data) = 0;
    virtual void putString(const std::string& s) = 0;
    virtual void putData(const Bytes& data) = 0;
    virtual void putData(const Bytes& data, int dLen) = 0;
    virtual void putData(const Bytes& data, int off, int dLen) = 0;
    virtual int getByte() = 0;
    virtual int getData(Bytes& buf) = 0;
    // A null buf stands for an absent buffer: nothing is read, 0 returned.
    virtual int getData(Bytes* buf, int off, int len) = 0;
    virtual int rxFlush() = 0;
    virtual int txFlush() = 0;
    virtual int txDrain() = 0;
    virtual int rxReadyCount() = 0;
    virtual int txBufCount() = 0;
    virtual bool rxOverflow() = 0;
    virtual bool sigDSR() = 0;
    virtual bool sigCTS() = 0;
    virtual bool sigCD() = 0;
    virtual bool sigFrameErr() = 0;
    virtual bool sigOverrun() = 0;
    virtual bool sigParityErr() = 0;
    virtual bool sigRing() = 0;
    virtual bool sigBreak() = 0;
    virtual void setDTR(bool onOff) = 0;
    virtual void setRTS(bool onOff) = 0;
    virtual void sendBreak(int bLen) = 0;
    // Holds the line in the break state until setBreak(false). Raises
    // IOError where the port cannot ("setBreak not supported").
    virtual void setBreak(bool on) {
        static_cast<void>(on);
        throw IOError("setBreak not supported");
    }
    virtual int getTimeoutRx() = 0;
    virtual int getTimeoutTx() = 0;
    virtual void setTimeoutRx(int tmoRx) = 0;
    virtual void setTimeoutTx(int tmoTx) = 0;
    virtual int getLibVer() = 0;
    virtual int getPortNum() = 0;
    virtual void setName(const std::string& spName) = 0;
    virtual std::string getName() = 0;

    // Waits until at least one byte is waiting or mSecs pass: the count
    // waiting (0 when the time ran out). Raises IOError as rxReadyCount()
    // does. This version asks rxReadyCount() every millisecond; a port whose
    // driver can wait for its device does so instead.
    virtual int waitRx(int mSecs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(mSecs);
        for (;;) {
            const int ready = rxReadyCount();
            if (ready > 0 || std::chrono::steady_clock::now() >= deadline) return ready;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

}  // namespace Serlib
