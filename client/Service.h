#pragma once
// The receiver thread of one connection: waits for the server's greeting,
// shows every data line in the receive field, reports the control lines, and
// when the connection ends for any reason closes it through the controller
// and returns the client to its prompt.
//
// Threads: the controller creates, starts, stops and joins it on the event
// thread; run() is the thread itself. It never writes to the socket and never
// waits for the event thread.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "client/SocketStreams.h"
#include "common/TcpSocket.h"

class KesCAM;

class Service {
public:
    // cs and csin are the controller's socket and reader of this connection.
    Service(KesCAM& rc, std::shared_ptr<TcpSocket> cs, std::shared_ptr<SocketLineReader> csin);
    ~Service();  // joins
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts run() on a new thread; raises std::system_error.
    void start();
    // Any thread: the loop ends before its next read and the busy pause ends
    // at once; a waiting read is not cut short.
    void stopme();
    // Event thread, when the controller goes: shuts the socket down under the
    // waiting read and cuts the busy pause short, so the thread ends at once.
    void interrupt();
    // True once the thread has done its last step (or never started).
    bool finished() const { return finished_; }
    // Any thread: whether this connection's server has greeted it with "OK".
    bool greeted() const { return greeted_; }
    void join();

private:
    void run();
    void Close();
    void ShowStat(const std::string& a);
    void RXShow(const std::string& a);
    // Sleeps, unless interrupt() comes first.
    void Pause(int ms);

    std::atomic<bool> a{true};
    KesCAM& scam;
    const std::shared_ptr<TcpSocket> cs;
    const std::shared_ptr<SocketLineReader> csin;
    const std::string str0 = "OK";
    const std::string str00 = "Connected OK";
    const std::string str1 = "CLOSE";
    const std::string str11 = "Received close command from server";
    const std::string str33 = "Orvo server is busy now.  Try later";

    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    bool interrupted_ = false;
    std::atomic<bool> greeted_{false};
    std::atomic<bool> finished_{true};
    std::thread thread_;
};
