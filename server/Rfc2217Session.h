#pragma once
// The RFC 2217 protocol's session: the raw stream with telnet's layer on it
// (IAC escapes, option negotiation) and the Com Port Control Option, through
// which the client sets the line (bit rate, data size, parity, stop size,
// flow control), drives DTR, RTS and break, purges the buffers, and hears of
// the modem lines and line errors.
//
// On accept it offers WILL/DO BINARY, WILL/DO SGA and DO COM-PORT-OPTION; it
// is no client of the option, so a DO COM-PORT-OPTION gets WONT. Every
// command is acknowledged with its code plus 100 and the value in use
// afterwards, also when the device refused the change (a client that hears
// nothing would wait and fail). A value already in use costs the device
// nothing. The modem lines are read at least every kModemPollMs and sent once
// the option is agreed, then on each change, as the client's mask allows;
// line errors likewise. What a client changed is undone when it leaves, so
// every client starts from the bridge's own settings.
//
// Threads: as StreamSession: the codec and the commands on the session's
// thread, the notifications on the pump's.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "common/ComPortOption.h"
#include "common/TelnetCodec.h"
#include "server/DeviceStream.h"
#include "server/StreamSession.h"

class Rfc2217Session : public StreamSession, private TelnetCodec::Handler {
public:
    static constexpr int kModemPollMs = 100;

    // signature: what a client that asks is told the server is.
    Rfc2217Session(SessionHost& host, std::string signature);

protected:
    void Begin() override;
    void FromClient(const Bytes& data, int n) override;
    void FromDevice(const Bytes& data, int n) override;
    void Tick() override;
    void End() override;

private:
    // TelnetCodec::Handler, during FromClient.
    void OnData(const char* data, size_t n) override;
    void OnSubnegotiation(uint8_t option, const std::string& payload) override;
    void OnOptionChange(TelnetCodec::Side side, uint8_t option, bool enabled) override;

    // One Com Port Control Option command and its acknowledgement.
    void command(const ComPortOption::Message& message);
    void setControl(uint8_t value);
    // A line signal's SET-CONTROL code (query, on or off): the signal set
    // through set when it changes, and its code in use afterwards.
    uint8_t setSignal(uint8_t value, uint8_t query, bool& state, const std::function<bool(bool)>& set);
    // Changes one setting of the line; what is in use afterwards.
    SerialLine changeLine(const std::function<void(SerialLine&)>& change);
    void acknowledge(uint8_t command, const std::string& value);
    // The data the client sent so far in this piece goes to the device.
    void flushToDevice();
    // The negotiation replies the codec has collected go to the client.
    void sendNegotiation();
    // The modem lines as NOTIFY-MODEMSTATE carries them, with the changes
    // since last (the pump's).
    uint8_t modemState(bool withChanges);

    const std::string signature_;
    TelnetCodec codec_;
    Bytes toDevice_;  // the client's data decoded from the piece being read
    int pending_ = 0;

    // The line's signals as the client last set them (the session thread's).
    bool dtr_ = true;
    bool rts_ = true;
    bool break_ = false;

    std::atomic<uint8_t> modemMask_{0xFF};
    std::atomic<uint8_t> lineMask_{0};
    std::atomic<bool> announceModem_{false};  // send the modem state at the pump's next round
    std::atomic<bool> announced_{false};
    // The pump's: the lines as last sent, and when they were last read.
    DeviceStream::ModemLines lastModem_;
    std::chrono::steady_clock::time_point polledAt_{};
};
