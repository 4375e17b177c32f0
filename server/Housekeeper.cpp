#include "server/Housekeeper.h"

#include <optional>
#include <utility>

Housekeeper::~Housekeeper() { Stop(); }

void Housekeeper::Start(std::vector<Chore> chores) {
    chores_ = std::move(chores);
    thread_ = std::thread([this] { loop(); });
}

void Housekeeper::Wake() {
    {
        // Under the lock, so the thread cannot miss it between asking the
        // chores and waiting.
        std::lock_guard<std::mutex> lock(mutex_);
    }
    wake_.notify_all();
}

void Housekeeper::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Housekeeper::loop() {
    using Clock = std::chrono::steady_clock;
    // When each due chore runs next; nothing for one that is not due.
    std::vector<std::optional<Clock::time_point>> next(chores_.size());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> soonest;
        for (size_t i = 0; i < chores_.size(); ++i) {
            if (!chores_[i].due()) {
                next[i].reset();
                continue;
            }
            if (!next[i]) next[i] = now + chores_[i].every;
            if (!soonest || *next[i] < *soonest) soonest = next[i];
        }
        if (!soonest) {
            wake_.wait(lock);
            continue;
        }
        if (now < *soonest) {
            wake_.wait_until(lock, *soonest);
            continue;
        }
        for (size_t i = 0; i < chores_.size() && !stopping_; ++i) {
            if (!next[i] || *next[i] > now) continue;
            next[i].reset();
            lock.unlock();
            chores_[i].work();
            lock.lock();
        }
    }
}
