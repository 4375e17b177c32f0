#pragma once
// The raw TCP protocol's session: once a client is accepted, the bytes it
// sends go to the device as they come, and the device's bytes go to it as
// they come, both at once: no greeting, no answer window, no 32-byte cap,
// no hex. A protocol that adds a layer on the same byte stream (RFC 2217's
// telnet) derives from it and overrides the hooks below.
//
// Back-pressure, not loss: a client that does not read holds the bridge in
// its send, so it stops reading the device, whose own flow control can then
// hold it; a device that holds the line holds the bridge in its write, so it
// stops reading the client, whose TCP window then closes. What the bridge
// itself holds is one buffer of kChunk bytes each way. Bytes the device
// could not take because it was away are dropped, counted and logged.
//
// A client that ends its stream (a half-close) still gets what the device
// sends, until the device has been quiet for a second or the next client
// has connected.
//
// Threads: run() is the session's own thread, which reads the client and
// writes to the device; it starts a second one, the pump, which reads the
// device and writes to the client, and joins it before it ends. Close()
// and interrupt() from any thread. The hooks run on the thread named.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Bytes.h"
#include "common/TcpSocket.h"
#include "server/ClientSession.h"
#include "server/SessionHost.h"
#include "server/TrafficLog.h"

class StreamSession : public ClientSession {
public:
    // The most held at a time in each direction.
    static constexpr int kChunk = 64 * 1024;

    // protocol names the session in the log ("raw", "rfc2217").
    StreamSession(SessionHost& host, std::string protocol = "raw");
    ~StreamSession() override;
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    void run() override;
    bool connected() override;
    std::string peer() const override;
    // A stream has no answer lines: the device's bytes reach the client as
    // they come, the operator's too.
    void ToClient(const std::string&) override {}
    // Ends the connection (the client sees its end), shows "Closed client
    // connection!" and lets the next session start.
    void Close() override;
    void interrupt() override;

protected:
    // The session's thread, once the client is accepted and before its
    // bytes are read.
    virtual void Begin() {}
    // The session's thread: bytes the client sent. The raw stream hands them
    // to the device.
    virtual void FromClient(const Bytes& data, int n);
    // The pump: bytes the device sent. The raw stream sends them as they are.
    virtual void FromDevice(const Bytes& data, int n);
    // The pump, at least every kPumpRoundMs while the session runs.
    virtual void Tick() {}
    // The session's thread, once the client's stream has ended and the pump
    // has stopped.
    virtual void End() {}

    // For the hooks: the device's write, counted and logged; false when the
    // bytes were dropped (the device away, or the session ending).
    bool ToDevice(const Bytes& data, int n);
    // Sends bytes to the client, whole (several threads may send); false
    // when the connection failed, which ends the session.
    bool SendToClient(const char* data, size_t n);
    // Stops and restarts reading the device (RFC 2217's flow-control
    // suspend and resume); the device's own flow control then holds it.
    void SuspendDevice(bool suspended);
    // Whether the session is still running.
    bool running() const { return running_; }
    SessionHost& host() { return host_; }
    static constexpr int kPumpRoundMs = 100;

private:
    void pump();
    // One round's wait while the device is suspended (a round of Tick()
    // too); false at once when it is not.
    bool waitWhileSuspended();
    void serve();
    void lingerForTheDevice();
    void showTraffic(bool now);
    void ShowStat(const std::string& text);
    // Sleeps t ms; interrupt() and the session's end end it early.
    void pause(int t);
    // Ends the connection once; true for the call that did.
    bool endConnection();

    SessionHost& host_;
    const std::string protocol_;

    mutable std::mutex sessionMutex_;
    std::unique_ptr<TcpSocket> socket_;
    bool open_ = false;
    std::string peer_;
    std::mutex sendMutex_;

    std::atomic<bool> running_{true};
    std::atomic<bool> suspended_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;

    // Bytes each way (the payload, without a protocol's own), those dropped
    // while the device was away, and when the last byte moved either way.
    std::atomic<unsigned long long> toDevice_{0};
    std::atomic<unsigned long long> fromDevice_{0};
    std::atomic<unsigned long long> dropped_{0};
    std::atomic<std::chrono::steady_clock::rep> lastActivity_{0};
    std::chrono::steady_clock::time_point shownAt_{};

    std::unique_ptr<TrafficLog> toDeviceLog_;
    std::unique_ptr<TrafficLog> fromDeviceLog_;
    std::thread pump_;
};
