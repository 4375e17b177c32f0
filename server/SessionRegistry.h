#pragma once
// The bridge's client sessions: which one is current (waiting for a client or
// serving one), and the thread of every session not yet joined. One session
// is current at a time, so the bridge serves one client at a time; a session
// that has ended is joined when the next one starts, so a long-running
// server keeps no more than the current one and the one that just ended.
//
// Threads: any; StopAll() not from a session's own thread.
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/ClientSession.h"

class SessionRegistry {
public:
    // Makes the session of the protocol the bridge speaks.
    using SessionMaker = std::function<std::shared_ptr<ClientSession>()>;
    // Starts a thread running body; raises std::system_error when the
    // system has no thread to give (process or memory limits).
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

    SessionRegistry(SessionMaker makeSession, ThreadStarter startThread);
    // Stops and joins every session (StopAll).
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    enum class Start { Started, AlreadyCurrent, NoThread, Stopped };
    // Starts a session on a thread of its own unless one is current or the
    // registry stops. NoThread: the system gave none; no session is current.
    Start StartNext();
    // The current session, or nothing.
    std::shared_ptr<ClientSession> Current();
    // session is current no more (when it still was).
    void Ended(const ClientSession& session);
    // No session starts any more.
    void StopStarting();
    // StopStarting(), then every session is interrupted and its thread
    // joined.
    void StopAll();

private:
    struct Running {
        std::shared_ptr<ClientSession> session;
        std::shared_ptr<std::atomic<bool>> finished;
        std::thread thread;
    };
    void reapFinished();

    const SessionMaker makeSession_;
    const ThreadStarter startThread_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::shared_ptr<ClientSession> current_;
    std::vector<Running> running_;
};
