#pragma once
// The line protocol's session: accepts one connection, greets it with "OK",
// hands each command line to the serial exchange and ends the connection
// with "CLOSE"; its end lets the next session start, so the server serves
// one client at a time, one after the other.
//
// Threads: run() is the session's own thread. ToClient() and Close() may be
// called from any thread (the window's event thread or the session thread);
// Close() is mutually exclusive with itself and with ToClient(). The socket
// descriptor is closed only by the session thread itself, once it no longer
// reads; other threads end its blocked read with shutdown().
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpSocket.h"
#include "server/ClientSession.h"
#include "server/SessionHost.h"

class ClientSocket : public ClientSession {
public:
    explicit ClientSocket(SessionHost& host);
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // "Awaiting client connection", the accept, then the command loop.
    void run() override;

    // Sends s as one line to the connected client; nothing without one.
    // Write errors are not reported (a client that stopped reading holds the
    // caller for at most the send time-out).
    void ToClient(const std::string& s) override;

    // Clears the run flag: the command loop ends before its next read.
    void stopme();

    // Sends "CLOSE", closes the connection, shows "Closed client connection!"
    // and lets the next session start. Without a connection: "Can't close -
    // no current client.", a pause of 1000 ms, "Awaiting client connection.".
    void Close() override;

    // Whether a client connection is open.
    bool connected() override;
    // The client's address and port ("192.0.2.7:5000"), once accepted.
    std::string peer() const override;

    // Sends "CLOSE" to a connected client and wakes any blocked read or
    // pause of this session, so its thread ends.
    void interrupt() override;

    static void OutLine(const std::string& s);  // console, one line

private:
    void serve();
    // One command line; false when it ends the connection.
    bool handle(const LineReader::Result& line);
    void ShowStat(const std::string& text);
    // Sleeps t ms; interrupt() ends it early.
    void Delay(int t);

    SessionHost& scam;

    // Guards the connection's state and its writer against overlapping
    // Close() and ToClient() calls.
    mutable std::mutex sessionMutex_;
    std::unique_ptr<TcpSocket> cs;
    std::unique_ptr<LineReader> csin;   // used by the session thread only
    std::unique_ptr<LineWriter> csout;
    bool open_ = false;  // cs, csin and csout are in use: not yet closed

    std::string peer_;  // the client's address; with the connection
    std::atomic<bool> a{true};
    std::string str;
    std::string sercom;

    std::mutex delayMutex_;
    std::condition_variable delayWake_;
    bool interrupted_ = false;
};
