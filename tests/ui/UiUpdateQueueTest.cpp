#include "UiUpdateQueue.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Runs the event loop until done() or the time runs out.
template <typename Done>
bool pumpUntil(Done done, std::chrono::seconds limit = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Fl::wait(0.01);
    }
    return true;
}

TEST(UiUpdateQueue, UpdatesFromWorkersBeyondFltksWakeRingAllArriveInOrder)
{
    Fl::lock();
    UiUpdateQueue queue;
    std::vector<int> applied;  // touched only by the event thread
    static constexpr int perWorker = 5000;  // FLTK's wake-up ring holds 1024
    std::atomic<int> finishedWorkers{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&, w] {
            for (int i = 0; i < perWorker; ++i) queue.post([&applied, w, i] { applied.push_back(w * perWorker + i); });
            ++finishedWorkers;
        });
    const bool all = pumpUntil([&] { return finishedWorkers == 2 && applied.size() == 2u * perWorker; });
    for (auto& t : workers) t.join();
    ASSERT_TRUE(all) << applied.size() << " of " << 2 * perWorker;
    // Each worker's updates in its own order, none twice.
    int last[2] = {-1, -1};
    for (int value : applied) {
        const int w = value / perWorker;
        EXPECT_LT(last[w], value % perWorker);
        last[w] = value % perWorker;
    }
    Fl::unlock();
}

TEST(UiUpdateQueue, AnEventThreadPostAppliesAtOnceAfterWhatIsQueued)
{
    Fl::lock();
    UiUpdateQueue queue;
    std::vector<std::string> applied;
    std::thread worker([&] {
        queue.post([&] { applied.push_back("worker 1"); });
        queue.post([&] { applied.push_back("worker 2"); });
    });
    worker.join();
    EXPECT_TRUE(applied.empty()) << "a worker's update must wait for the event thread";
    queue.post([&] { applied.push_back("event thread"); });
    EXPECT_EQ(applied, (std::vector<std::string>{"worker 1", "worker 2", "event thread"}));
    Fl::unlock();
}

TEST(UiUpdateQueue, AWakeUpLeftAfterTheQueueIsGoneDoesNothing)
{
    Fl::lock();
    int applied = 0;
    {
        UiUpdateQueue queue;
        std::thread worker([&] { queue.post([&] { ++applied; }); });
        worker.join();
        queue.drain();
        std::thread again([&] { queue.post([&] { ++applied; }); });
        again.join();
    }  // destroyed with a wake-up in FLTK's ring and one update queued
    for (int i = 0; i < 20; ++i) Fl::wait(0.01);
    EXPECT_EQ(applied, 1);
    Fl::unlock();
}

}  // namespace
