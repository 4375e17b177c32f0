#pragma once
// The local port's side of one connection to the bridge, without the socket:
// the program's bytes go out through it, the device's bytes and the server's
// words come in through it, and the line's settings are asked for and told.
// The relay sends what Outgoing() holds, in order, and erases what it sent;
// everything a link sends is appended there, so commands and data keep the
// order in which they were given.
//
// Threads: one thread uses a link and its listener.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "client/PortSettings.h"

class ServerLink {
public:
    using Clock = std::chrono::steady_clock;

    class Listener {
    public:
        virtual ~Listener() = default;
        // Bytes the device sent; n > 0. The pointer is valid during the call.
        virtual void FromDevice(const char* data, size_t n) = 0;
        // The line's settings as the server told them, asked for by QueryPort.
        virtual void LineInUse(const PortSettings& line) = 0;
        // One line for the log.
        virtual void Log(const std::string& text) = 0;
    };

    virtual ~ServerLink() = default;

    // Once, when the connection is made: what opens the protocol.
    virtual void Start(Clock::time_point now) = 0;
    // Bytes the server sent, as they came.
    virtual void Receive(const char* data, size_t n) = 0;
    // The program's bytes for the device.
    virtual void SendData(const char* data, size_t n) = 0;
    // The program's settings for the line: every one when before is empty,
    // otherwise those that differ from it.
    virtual void SetPort(const PortSettings& wanted, const std::optional<PortSettings>& before) = 0;
    // Asks for the line's settings; they come through Listener::LineInUse.
    virtual void QueryPort() = 0;
    // The program discarded what it had not read yet (received) or what it
    // had not sent yet (transmitted).
    virtual void Purge(bool received, bool transmitted) = 0;
    // Lets time-outs run out; the relay calls it at Deadline() at the latest.
    virtual void Tick(Clock::time_point now) = 0;
    virtual std::optional<Clock::time_point> Deadline() const = 0;

    // Whether the program's bytes may go: the protocol has been opened.
    virtual bool Ready() const = 0;
    // Whether the settings reach the line (SetPort and QueryPort do something).
    virtual bool Controls() const = 0;
    // Whether the server asked to hold the program's bytes for now.
    virtual bool Suspended() const = 0;

    std::string& Outgoing() { return outgoing_; }

protected:
    std::string outgoing_;
};

// Raw TCP: the bytes as they are, both ways; the line keeps the server's
// settings.
class RawLink : public ServerLink {
public:
    explicit RawLink(Listener& listener) : listener_(listener) {}

    void Start(Clock::time_point) override {}
    void Receive(const char* data, size_t n) override {
        if (n > 0) listener_.FromDevice(data, n);
    }
    void SendData(const char* data, size_t n) override { outgoing_.append(data, n); }
    void SetPort(const PortSettings&, const std::optional<PortSettings>&) override {}
    void QueryPort() override {}
    void Purge(bool, bool) override {}
    void Tick(Clock::time_point) override {}
    std::optional<Clock::time_point> Deadline() const override { return std::nullopt; }
    bool Ready() const override { return true; }
    bool Controls() const override { return false; }
    bool Suspended() const override { return false; }

private:
    Listener& listener_;
};
