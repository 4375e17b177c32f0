// The client core against servers that misbehave: one that resets the
// connection again and again, one that stops reading, one that sends a
// megabyte in one line. The client must stay responsive and end at its
// prompt, ready for the next connection.
#include <gtest/gtest.h>

#include "tests/client/ClientFixture.h"
#include "tests/soak/SoakSupport.h"

namespace {

using ClientSoak = ClientFixture;

TEST_F(ClientSoak, AServerThatResetsAgainAndAgainLeavesTheClientAtItsPromptEachTime) {
    KesTiming timing = fastTiming();
    timing.busyPauseMs = 50;
    timing.notConnectedPauseMs = 50;
    start(timing);
    for (int round = 1; round <= 30; ++round) {
        ASSERT_FALSE(cam->HasSocket()) << "round " << round;
        auto peer = connectAndGreet(round);
        peer->send("4F4B0D0A");
        ASSERT_TRUE(log->waitForCount("rx", "4F4B0D0A", round));
        peer->abort();
        ASSERT_TRUE(log->waitForCount("status", "Local I/O and Socket Closed", round)) << "round " << round;
        ASSERT_TRUE(eventually([&] { return !cam->HasService() && !cam->HasSocket(); })) << "round " << round;
        ASSERT_EQ(statuses().back(), please) << "round " << round;
        // Sending now is refused at once, not written into a dead socket.
        const auto t0 = SteadyClock::now();
        cam->SendCommand("AT");
        EXPECT_LT(SteadyClock::now() - t0, 5s);
        EXPECT_EQ(statuses().back(), "Can't Send Command - Not Connected");
    }
    // And the next connection works as the first did.
    auto peer = connectAndGreet(31);
    cam->SendCommand("AT");
    EXPECT_EQ(peer->readLine(), "AT");
}

// The client's sends run on the window's event thread: a server that stops
// reading may hold a send for the client's send time-out (10 s), for each
// send() call, but never for ever; closing needs no send and is at once.
TEST_F(ClientSoak, AServerThatStopsReadingHoldsNoSendForEverAndTheClientStillCloses) {
    start();
    auto peer = connectAndGreet();
    const std::string big(1 << 20, 'x');
    SteadyClock::duration longest{};
    bool blocked = false;
    for (int i = 0; i < 64 && !blocked; ++i) {
        const auto t0 = SteadyClock::now();
        cam->SendCommand(big);
        const auto took = SteadyClock::now() - t0;
        longest = std::max(longest, took);
        blocked = took > 5s;
    }
    EXPECT_TRUE(blocked) << "the buffers never filled: the test did not stall the client";
    EXPECT_LT(longest, 35s) << "a send to a stalled server took "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(longest).count() << " ms";

    const auto t0 = SteadyClock::now();
    cam->UserClose();
    EXPECT_LT(SteadyClock::now() - t0, 2s);
    ASSERT_TRUE(eventually([&] { return !cam->HasService() && !cam->HasSocket(); }));
    EXPECT_EQ(statuses().back(), please);
    peer.reset();
    auto next = connectAndGreet(2);
    cam->SendCommand("AT");
    EXPECT_EQ(next->readLine(), "AT");
}

TEST_F(ClientSoak, AMegabyteLineIsTakenInBoundedMemoryAndTheNextLinesStillArrive) {
    start();
    auto peer = connectAndGreet();
    const long peakBefore = peakResidentKiB();
    peer->send(std::string(1 << 20, 'A'));
    peer->send("4F4B0D0A");
    ASSERT_TRUE(log->waitFor("rx", "4F4B0D0A"));
    EXPECT_LT(peakResidentKiB() - peakBefore, 16 * 1024) << "KiB more at the peak";
    const std::vector<std::string> received = log->texts("rx");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_LE(received[0].size(), LineReader::kDefaultMaxLine) << "the long line is kept only in part";
    EXPECT_EQ(received[0].find_first_not_of('A'), std::string::npos);

    // A second megabyte without a line end, then the server goes.
    peer->send(std::string(1 << 20, 'B') + "\nCLOSE");
    ASSERT_TRUE(log->waitFor("status", "Received close command from server"));
    ASSERT_TRUE(eventually([&] { return !cam->HasService() && !cam->HasSocket(); }));
    EXPECT_EQ(statuses().back(), please);
}

}  // namespace
