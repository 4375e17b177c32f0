#include "common/ui/UiUpdateQueue.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/EventLoop.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProcessState.h"

namespace {

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

TEST(UiUpdateQueue, WhileTheEventThreadIsBusyEachFieldKeepsOnlyItsNewestQueuedText)
{
    Fl::lock();
    UiUpdateQueue queue;
    // Stand-ins for the fields; touched only by the event thread.
    std::string fields[3];
    std::vector<std::string> applied;
    static constexpr int posts = 100000;
    std::size_t mostPending = 0;
    std::thread worker([&] {
        for (int i = 0; i < posts; ++i) {
            std::string& field = fields[i % 3];
            std::string text = "update " + std::to_string(i);
            queue.post(&field, [&field, &applied, text, i] {
                field = text;
                applied.push_back("field " + std::to_string(i % 3));
            });
            mostPending = std::max(mostPending, queue.pendingCount());
        }
        // Field 0's newest text must not overtake an update posted before it.
        queue.post([&applied] { applied.push_back("other"); });
        queue.post(&fields[0], [&] {
            fields[0] = "last";
            applied.push_back("field 0");
        });
    });
    worker.join();  // the event thread has not drained meanwhile
    EXPECT_LE(mostPending, 3u);
    EXPECT_EQ(queue.pendingCount(), 4u);
    EXPECT_TRUE(applied.empty());

    queue.drain();
    EXPECT_EQ(fields[0], "last");
    EXPECT_EQ(fields[1], "update 99997");
    EXPECT_EQ(fields[2], "update 99998");
    EXPECT_EQ(applied, (std::vector<std::string>{"field 1", "field 2", "other", "field 0"}));
    EXPECT_EQ(queue.pendingCount(), 0u);
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

TEST(UiUpdateQueue, AHoldingWorkerWakesTheEventThreadOnlyWhenItResumes)
{
    using Clock = std::chrono::steady_clock;
    Fl::lock();
    UiUpdateQueue queue;
    const pid_t eventThread = ::gettid();
    std::atomic<bool> applied{false};
    Clock::time_point appliedAt;
    Clock::time_point resumedAt;
    std::vector<std::string> order;
    bool eventThreadSlept = false;
    char eventThreadAfterThePosts = 0;
    bool appliedBeforeResuming = false;
    std::thread worker([&] {
        // Asleep in its wait, past the loop's checks (which drain the
        // queue), the event thread wakes only when something wakes it.
        eventThreadSlept = eventually([&] { return threadState(eventThread) == 'S'; }, std::chrono::seconds(4));
        queue.hold();
        queue.hold();  // twice: one resume is enough
        queue.post([&] { order.push_back("first"); });
        queue.post([&] {
            order.push_back("second");
            appliedAt = Clock::now();
            applied = true;
        });
        // A wake-up would have made it ready to run by now; the state is read
        // before applied, which it would set before sleeping again.
        eventThreadAfterThePosts = threadState(eventThread);
        appliedBeforeResuming = applied;
        resumedAt = Clock::now();
        queue.resume();
    });
    // Long waits: only a wake-up ends one early.
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!applied && Clock::now() < end) Fl::wait(5.0);
    worker.join();
    ASSERT_TRUE(eventThreadSlept) << "the event thread never waited";
    EXPECT_EQ(eventThreadAfterThePosts, 'S') << "a held update woke the event thread";
    EXPECT_FALSE(appliedBeforeResuming);
    ASSERT_TRUE(applied);
    EXPECT_GE(appliedAt, resumedAt) << "a held update reached the event thread before the worker resumed";
    EXPECT_LT(appliedAt - resumedAt, std::chrono::seconds(2)) << "resuming did not wake the event thread";
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));

    // Resuming again, or without holding, changes nothing; a post wakes at once again.
    applied = false;
    std::thread after([&] {
        queue.resume();
        queue.post([&] { applied = true; });
    });
    const auto start = Clock::now();
    while (!applied && Clock::now() < start + std::chrono::seconds(10)) Fl::wait(5.0);
    after.join();
    EXPECT_TRUE(applied);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    Fl::unlock();
}

}  // namespace
