#pragma once
// One client session: a thread that accepts one connection on the listening
// socket, greets it with "OK", hands each command line to the controller and
// ends the connection with "CLOSE"; its Close() starts the next session, so
// the server serves one client at a time, one after the other.
//
// Threads: run() is the session's own thread. ToClient() and Close() may be
// called from any thread (the window's event thread or the session thread);
// Close() is mutually exclusive with itself and with ToClient(). The socket
// descriptor is closed only by the session thread itself, once it no longer
// reads; other threads end its blocked read with shutdown().
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpSocket.h"

class LocalCAM;
class TcpListener;

class ClientSocket {
public:
    explicit ClientSocket(LocalCAM& lc);
    // Joins the thread when it was started and not yet joined.
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // Runs run() on a thread from startThread; raises std::system_error
    // when there is none (the session then never ran).
    void start(const std::function<std::thread(std::function<void()>)>& startThread);

    // Sends s as one line to the connected client; nothing without one.
    // Write errors are not reported (a client that stopped reading holds the
    // caller for at most the send time-out).
    void ToClient(const std::string& s);

    // Clears the run flag: the command loop ends before its next read.
    void stopme();

    // Sends "CLOSE", closes the connection, shows "Closed client connection!"
    // and starts the next session. Without a connection: "Can't close - no
    // current client.", a pause of 1000 ms, "Awaiting client connection.".
    void Close();

    // Whether a client connection is open.
    bool connected();
    // The client's address and port ("192.0.2.7:5000"), once accepted.
    std::string peer() const;

    static void OutLine(const std::string& s);  // console, one line

private:
    friend class LocalCAM;

    void run();
    void serve();
    // One command line; false when it ends the connection.
    bool handle(const LineReader::Result& line);
    void ShowStat(const std::string& text);
    // Whether a session started after this one serves a client now: what
    // this one has to say about its own end must not cover that one's state.
    bool newerSessionConnected() const;
    // Sleeps t ms; interrupt() ends it early.
    void Delay(int t);
    // For the controller's shutdown: sends "CLOSE" to a connected client and
    // wakes any blocked read or pause of this session, so its thread ends.
    void interrupt();
    void join();
    bool finished() const { return finished_; }

    LocalCAM& scam;
    std::shared_ptr<TcpListener> ss;

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

    std::thread thread_;
    std::atomic<bool> finished_{false};
};
