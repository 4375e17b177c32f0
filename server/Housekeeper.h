#pragma once
// A thread for the bridge's chores that wait for something outside to change:
// a session the system had no thread for, a serial device not plugged in
// yet, a listen address not up yet. Each chore says when it is due; once it
// has been due for its period it runs, and again a period later while it
// stays due. Nothing runs while nothing is due.
//
// Threads: Start() and Stop() on the owner's thread; Wake() from any, after
// whatever makes a chore due has changed.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class Housekeeper {
public:
    struct Chore {
        std::chrono::milliseconds every;
        std::function<bool()> due;    // asked under the housekeeper's lock: keep it to reading flags
        std::function<void()> work;   // run without it
    };

    Housekeeper() = default;
    // Stops (see Stop()).
    ~Housekeeper();
    Housekeeper(const Housekeeper&) = delete;
    Housekeeper& operator=(const Housekeeper&) = delete;

    // Starts the thread; raises std::system_error when the system has none.
    void Start(std::vector<Chore> chores);
    // A chore may have become due.
    void Wake();
    // Ends the thread once the chore it runs, if any, is done; joins it.
    void Stop();

private:
    void loop();

    std::vector<Chore> chores_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
