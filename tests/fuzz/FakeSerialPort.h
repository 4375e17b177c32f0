#pragma once
// A serial port without a device behind it, for driving the bridge core in
// process: it keeps every byte written to it and answers each write at once
// with bytes chosen from what was written, some answers longer than the
// adapter's 32-byte buffer. Any thread (one lock around everything).
#include <deque>
#include <mutex>
#include <string>

#include "Serlib/SerialPort.h"

class FakeSerialPort : public Serlib::SerialPort {
public:
    // The device's answer to one write: (first byte % 41) bytes, so that
    // answers of 0, short, exactly 32 and over 32 bytes all occur.
    static std::string answerTo(const std::string& written);

    // Everything written since the last reset, and the answer bytes not yet read.
    std::string written();
    void reset();

    void setConfig(std::shared_ptr<Serlib::SerialConfig> serCfg) override { cfg_ = std::move(serCfg); }
    std::shared_ptr<Serlib::SerialConfig> getConfig() override { return cfg_; }
    void configure(const Serlib::SerialConfig&) override {}
    void close() override {}
    void putByte(unsigned char data) override { write(std::string(1, static_cast<char>(data))); }
    void putString(const std::string& s) override { write(s); }
    void putData(const Serlib::Bytes& data) override { write(std::string(data.begin(), data.end())); }
    void putData(const Serlib::Bytes& data, int dLen) override { putData(data, 0, dLen); }
    void putData(const Serlib::Bytes& data, int off, int dLen) override;
    int getByte() override;
    int getData(Serlib::Bytes& buf) override { return getData(&buf, 0, static_cast<int>(buf.size())); }
    int getData(Serlib::Bytes* buf, int off, int len) override;
    int rxFlush() override;
    int txFlush() override { return 0; }
    int txDrain() override { return 0; }
    int rxReadyCount() override;
    int txBufCount() override { return 0; }
    bool rxOverflow() override { return false; }
    bool sigDSR() override { return true; }
    bool sigCTS() override { return true; }
    bool sigCD() override { return true; }
    bool sigFrameErr() override { return false; }
    bool sigOverrun() override { return false; }
    bool sigParityErr() override { return false; }
    bool sigRing() override { return false; }
    bool sigBreak() override { return false; }
    void setDTR(bool) override {}
    void setRTS(bool) override {}
    void sendBreak(int) override {}
    int getTimeoutRx() override { return 0; }
    int getTimeoutTx() override { return 0; }
    void setTimeoutRx(int) override {}
    void setTimeoutTx(int) override {}
    int getLibVer() override { return 1; }
    int getPortNum() override { return 1; }
    void setName(const std::string&) override {}
    std::string getName() override { return "fake"; }

private:
    void write(const std::string& bytes);

    std::mutex mutex_;
    std::shared_ptr<Serlib::SerialConfig> cfg_;
    std::string written_;
    std::deque<unsigned char> pending_;
};
