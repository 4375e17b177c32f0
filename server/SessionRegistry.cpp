#include "server/SessionRegistry.h"

#include <atomic>
#include <system_error>
#include <utility>

SessionRegistry::SessionRegistry(SessionMaker makeSession, ThreadStarter startThread)
    : makeSession_(std::move(makeSession)), startThread_(std::move(startThread)) {}

SessionRegistry::~SessionRegistry() { StopAll(); }

SessionRegistry::Start SessionRegistry::StartNext() {
    reapFinished();
    // Made before the lock: making a session may ask the controller, which
    // may ask the registry.
    std::shared_ptr<ClientSession> session = makeSession_();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    // Held while the thread starts: the session asks for the current one
    // first thing.
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return Start::Stopped;
    if (current_) return Start::AlreadyCurrent;
    try {
        std::thread thread = startThread_([session, finished] {
            session->run();
            *finished = true;
        });
        current_ = session;
        running_.push_back(Running{std::move(session), std::move(finished), std::move(thread)});
        return Start::Started;
    } catch (const std::system_error&) {
        // No session is current, so the next try can start one.
        return Start::NoThread;
    }
}

std::shared_ptr<ClientSession> SessionRegistry::Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void SessionRegistry::Ended(const ClientSession& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_.get() == &session) current_.reset();
}

void SessionRegistry::StopStarting() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
}

void SessionRegistry::StopAll() {
    std::vector<Running> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        sessions.swap(running_);
        current_.reset();
    }
    for (Running& r : sessions) r.session->interrupt();
    for (Running& r : sessions) {
        if (r.thread.joinable()) r.thread.join();
    }
}

void SessionRegistry::reapFinished() {
    std::vector<Running> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = running_.begin(); it != running_.end();) {
            if (*it->finished) {
                done.push_back(std::move(*it));
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Running& r : done) {
        if (r.thread.joinable()) r.thread.join();
    }
}
