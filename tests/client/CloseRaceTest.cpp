// The user's close (event thread) and the receiver's close after the
// server's "CLOSE" run at the same moment on the same streams, many times.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/client/ClientFixture.h"

namespace {

class CloseRace : public ClientFixture {};

TEST_F(CloseRace, UserCloseAndServerCloseTogetherCloseEachStreamOnceAndEndAtThePrompt) {
    start();
    constexpr int kRounds = 200;
    for (int round = 1; round <= kRounds; ++round) {
        auto peer = connectAndGreet(round);
        // Both sides start together: the server's close reaches the receiver
        // while the user's close is under way.
        std::promise<void> go;
        std::shared_future<void> started = go.get_future().share();
        auto server = std::async(std::launch::async, [&] {
            started.wait();
            peer->send("CLOSE");
            peer->close();
        });
        go.set_value();
        cam->UserClose();
        server.get();
        ASSERT_TRUE(log->waitForCount("status", "Ending input thread", round)) << "round " << round;
        ASSERT_TRUE(log->waitForCount("status", "Local I/O and Socket Closed", round)) << "round " << round;
        ASSERT_FALSE(cam->HasSocket()) << "round " << round;
    }
    cam.reset();  // joins every receiver: none may hang
    EXPECT_EQ(log->count("status", "Failed to close connections"), 0);
    EXPECT_EQ(log->count("status", "Local I/O and Socket Closed by User"), kRounds);
    EXPECT_EQ(log->count("status", "Local I/O and Socket Closed"), kRounds);
    EXPECT_EQ(log->count("status", "Ending input thread"), kRounds);
    EXPECT_EQ(log->texts("status").back(), please);
}

}  // namespace
