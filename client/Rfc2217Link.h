#pragma once
// The client's side of RFC 2217 (telnet's Com Port Control Option) for the
// local port. On Start it offers WILL COM-PORT-OPTION (and BINARY and SGA
// both ways); the server agreeing on either side (DO, or a WILL of its own
// as pySerial's server sends) opens the link, and then the command line's
// extras (data size, parity, DTR, RTS) go out first. Until then, for at most
// kNegotiationTime, the program's bytes wait; a server that does not agree
// by then gets the bytes without any setting.
//
// Every command is checked against the server's acknowledgement (its code
// plus 100): a value other than the one asked for is logged as refused,
// naming the value in use; a command left without answer for kAnswerTime is
// logged too. NOTIFY-MODEMSTATE is logged when the lines change (verbose),
// FLOWCONTROL-SUSPEND and -RESUME set Suspended().
//
// Pure: no sockets, no clock of its own (Start and Tick give the time).
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "client/ServerLink.h"
#include "common/ComPortOption.h"
#include "common/TelnetCodec.h"

class Rfc2217Link : public ServerLink, private TelnetCodec::Handler {
public:
    static constexpr std::chrono::seconds kNegotiationTime{2};
    static constexpr std::chrono::seconds kAnswerTime{5};

    // verbose: accepted settings, modem lines and flow control are logged too.
    Rfc2217Link(ServerLink::Listener& listener, LineExtras extras, bool verbose);

    void Start(Clock::time_point now) override;
    void Receive(const char* data, size_t n) override;
    void SendData(const char* data, size_t n) override;
    void SetPort(const PortSettings& wanted, const std::optional<PortSettings>& before) override;
    void QueryPort() override;
    void Purge(bool received, bool transmitted) override;
    void Tick(Clock::time_point now) override;
    std::optional<Clock::time_point> Deadline() const override;
    bool Ready() const override { return ready_; }
    bool Controls() const override { return controls_; }
    bool Suspended() const override { return suspended_; }

private:
    // A command sent and the answer it waits for.
    struct Request {
        uint8_t command = 0;
        uint32_t value = 0;  // what was asked for; 0 with query
        bool query = false;
        Clock::time_point sent;
    };
    // The line's settings as answers to QueryPort bring them in.
    struct Query {
        std::optional<uint32_t> baud;
        std::optional<uint8_t> stopSize;
        std::optional<uint8_t> flow;
    };

    // TelnetCodec::Handler, during Receive.
    void OnData(const char* data, size_t n) override { listener_.FromDevice(data, n); }
    void OnSubnegotiation(uint8_t option, const std::string& payload) override;
    void OnOptionChange(TelnetCodec::Side side, uint8_t option, bool enabled) override;

    void send(uint8_t command, uint32_t value, bool query = false);
    void answered(uint8_t command, const std::string& value);
    void notified(uint8_t code, const std::string& value);
    void takeControl();
    void log(const std::string& text) { listener_.Log(text); }
    // A command's value in words ("57600 bit/s", "2 stop bits").
    static std::string valueText(uint8_t command, uint32_t value);

    ServerLink::Listener& listener_;
    const LineExtras extras_;
    const bool verbose_;
    TelnetCodec codec_;
    Clock::time_point now_{};
    Clock::time_point negotiationEnds_{};
    bool ready_ = false;
    bool controls_ = false;
    bool agreed_ = false;  // the server agreed during the last Receive
    bool suspended_ = false;
    std::optional<PortSettings> unsent_;  // wanted before the option was agreed
    bool queryUnsent_ = false;
    std::deque<Request> requests_;
    std::optional<Query> query_;
    std::optional<uint8_t> modem_;  // the modem lines as last logged
};
