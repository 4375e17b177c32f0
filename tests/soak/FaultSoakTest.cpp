// Faults of clients and of the device against the real controller, with the
// virtual modem (vdev) on a pseudo-terminal as the serial device and the
// real 150 ms wait of every exchange. Every test ends by checking that a
// fresh client is still greeted and served.
#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <thread>

#include "common/HexCodec.h"
#include "tests/soak/SoakSupport.h"
#include "tests/support/VirtualModem.h"

namespace {

const std::string kOK = "4F4B0D0A";  // the modem's "OK" CR LF

struct ModemBridge {
    std::shared_ptr<ViewLog> log = std::make_shared<ViewLog>();
    VirtualModem modem;
    std::unique_ptr<LocalCAM> cam;

    explicit ModemBridge(const std::vector<std::string>& modemOptions = {}) : modem(modemOptions) {
        cam = startController(modem.link(), log);
    }
    int port() const { return cam->listeningPort(); }
};

// The indexes of the clients with a line or the end of the stream waiting,
// once any has one (or the time ran out: none).
std::vector<size_t> readyClients(std::vector<std::unique_ptr<LineClient>>& clients, std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    for (auto& c : clients) fds.push_back({c ? c->socket().fd() : -1, POLLIN, 0});
    int r;
    do {
        r = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    std::vector<size_t> ready;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0) ready.push_back(i);
    }
    return ready;
}

TEST(FaultSoak, TwentyClientsAtOnceAreServedOneAtATimeOldestFirst) {
    ModemBridge bridge;
    ASSERT_TRUE(bridge.cam->serialOpen());
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<LineClient>(bridge.port(), 30s));

    for (size_t turn = 0; turn < 20; ++turn) {
        const std::vector<size_t> ready = readyClients(clients, 20s);
        ASSERT_EQ(ready.size(), 1u) << "turn " << turn << ": more or fewer than one client greeted";
        ASSERT_EQ(ready[0], turn) << "not the oldest waiting client";
        LineClient& served = *clients[turn];
        ASSERT_EQ(served.readLineOrEnd(), "OK") << "turn " << turn;
        served.send("AT");
        ASSERT_EQ(served.readLineOrEnd(), kOK) << "turn " << turn;
        // The exchange took 150 ms at least; meanwhile nobody else heard a word.
        for (size_t other = turn + 1; other < clients.size(); ++other) {
            EXPECT_FALSE(clients[other]->hasInput()) << "client " << other << " during turn " << turn;
        }
        served.send("KILL");
        ASSERT_EQ(served.readLineOrEnd(), "CLOSE") << "turn " << turn;
        ASSERT_EQ(served.readLineOrEnd(), std::nullopt) << "turn " << turn << ": more after CLOSE (a second greeting?)";
        clients[turn].reset();
    }
    EXPECT_EQ(bridge.log->count("status", "Client connection accepted!"), 20u);
    EXPECT_EQ(bridge.log->count("rx", kOK), 20u);
    expectFreshClientServed(bridge.port(), kOK);
}

TEST(FaultSoak, AClientClosingHalfWayThroughALineOrResettingMidExchangeLeavesTheServerServing) {
    ModemBridge bridge;
    ASSERT_TRUE(bridge.cam->serialOpen());
    {
        // The last line without its end still counts as a line.
        LineClient half(bridge.port());
        ASSERT_EQ(half.readLineOrEnd(), "OK");
        half.sendRaw("AT");
    }
    ASSERT_TRUE(bridge.log->waitForCount("status", "Closed client connection!", 1));
    EXPECT_EQ(bridge.log->count("tx", "AT"), 1u);
    ASSERT_TRUE(bridge.log->waitForCount("rx", kOK, 1));

    {
        // A reset while the exchange waits for the device's answer.
        LineClient reset(bridge.port());
        ASSERT_EQ(reset.readLineOrEnd(), "OK");
        reset.send("ATI");
        ASSERT_TRUE(bridge.log->waitForCount("tx", "ATI", 1));
        reset.socket().setAbortiveClose();
    }
    ASSERT_TRUE(bridge.log->waitForCount("status", "Closed client connection!", 2));
    // The exchange ran to its end: its answer was collected, not left for the next one.
    EXPECT_EQ(bridge.log->count("rx", kOK), 2u);
    expectFreshClientServed(bridge.port(), kOK);
}

// The device is pulled while an exchange waits for its answer, and comes
// back later: every command is answered, none hangs, and the device that
// came back is used again.
TEST(FaultSoak, TheDeviceVanishingMidExchangeLeavesNoCommandUnanswered) {
    ModemBridge bridge;
    ASSERT_TRUE(bridge.cam->serialOpen());
    LineClient client(bridge.port());
    ASSERT_EQ(client.readLineOrEnd(), "OK");

    std::vector<std::string> answers;
    for (size_t i = 0; i < 40; ++i) {
        if (i == 25) bridge.modem.comeBack();
        client.send("AT");
        if (i == 10) {
            // Written to the device, the answer not yet collected.
            ASSERT_TRUE(bridge.log->waitForCount("tx", "AT", i + 1));
            bridge.modem.vanish();
        }
        const std::optional<std::string> line = client.readLineOrEnd();
        ASSERT_TRUE(line) << "answer " << i << " missing";
        EXPECT_LE(line->size(), 64u);
        answers.push_back(*line);
    }
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(answers[i], kOK) << i;
    for (size_t i = 11; i < 25; ++i) EXPECT_EQ(answers[i], "") << i;
    EXPECT_EQ(answers.back(), kOK) << "the device that came back is not used again";
    EXPECT_EQ(bridge.log->count("status", "Serial device lost"), 1u);
    EXPECT_EQ(bridge.log->count("status", "Serial device back"), 1u);
    client.send("KILL");
    EXPECT_EQ(client.readLineOrEnd(), "CLOSE");
    expectFreshClientServed(bridge.port(), kOK);
}

// A device that sends its counting sequence 0, 1, ..., 255, 0, ... without a
// pause: every answer holds at most 32 bytes, and each answer goes on where
// the one before stopped, so no byte is ever counted twice (or skipped).
TEST(FaultSoak, AFloodingDeviceGivesAtMost32BytesAnAnswerAndNoByteTwice) {
    ModemBridge bridge({"--flood", "--silent"});
    ASSERT_TRUE(bridge.cam->serialOpen());
    LineClient client(bridge.port());
    ASSERT_EQ(client.readLineOrEnd(), "OK");
    const long peakBefore = peakResidentKiB();

    int expectedNext = -1;
    for (int i = 0; i < 30; ++i) {
        client.send(i % 2 == 0 ? "AT" : "0x0d0a");
        const std::optional<std::string> line = client.readLineOrEnd();
        ASSERT_TRUE(line) << "answer " << i;
        ASSERT_LE(line->size(), 64u) << "answer " << i;
        ASSERT_FALSE(line->empty()) << "answer " << i << ": the flood stopped";
        Bytes bytes;
        for (size_t k = 0; k + 1 < line->size(); k += 2) bytes.push_back(HexCodec::S2BS(line->substr(k, 2))[0]);
        for (unsigned char b : bytes) {
            if (expectedNext >= 0) {
                ASSERT_EQ(b, expectedNext) << "answer " << i << ": " << *line;
            }
            expectedNext = (b + 1) & 0xFF;
        }
    }
    EXPECT_LT(peakResidentKiB() - peakBefore, 16 * 1024) << "KiB more at the peak";
    client.send("KILL");
    EXPECT_EQ(client.readLineOrEnd(), "CLOSE");

    LineClient fresh(bridge.port());
    EXPECT_EQ(fresh.readLineOrEnd(), "OK");
}

}  // namespace
