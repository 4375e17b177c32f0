// The client's controller and receiver against a scripted server, without a
// window: what they show, what they send, and how connections end.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/client/ClientFixture.h"
#include "client/Service.h"

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string kBusy = "Orvo server is busy now.  Try later";
const std::string kChecking = "Checking Orvo server.  Please wait...";

class Controller : public ClientFixture {};

TEST_F(Controller, StartsIdleWithThePromptAndThePortItShows) {
    start();
    EXPECT_EQ(statuses(), Strings{please});
    EXPECT_FALSE(cam->HasSocket());
    EXPECT_EQ(cam->SERVPORT, 3001);
    EXPECT_EQ(KesCAM::socketport, 3001);
}

TEST_F(Controller, ConnectingShowsEachStepAndSendsNothingBeforeTheUser) {
    start();
    auto peer = connectAndGreet();
    EXPECT_EQ(statuses(), (Strings{please, "Attempting LogIn", "Got Socket To Host", "Starting Input Thread",
                                   kChecking, "Connected OK"}));
    EXPECT_TRUE(log->texts("rx").empty()) << "the greeting is not data";
    EXPECT_TRUE(cam->HasSocket());
    EXPECT_EQ(cam->SERVPORT, server.port());
    // The first line the server gets is the user's own.
    cam->SendCommand("AT");
    EXPECT_EQ(peer->readLine(), "AT");
    EXPECT_EQ(statuses().back(), "Sending AT");
}

TEST_F(Controller, NoLineIsSentUntilThisConnectionsServerHasGreeted) {
    start();
    // Ungreeted, the connection may still sit in a busy server's queue.
    auto first = connect();
    cam->SendCommand("AT");
    EXPECT_EQ(log->count("status", "Can't Send Command - Not Connected"), 1);
    first->send("OK");
    ASSERT_TRUE(log->waitFor("status", "Connected OK"));
    cam->SendCommand("ATI");
    EXPECT_EQ(first->readLine(), "ATI") << "the refused line never went out";
    // The next connection starts ungreeted: a close before its greeting
    // sends no "KILL".
    cam->UserClose();
    auto second = connect();
    cam->SendCommand("KILL");
    cam->UserClose();
    EXPECT_EQ(second->readLine(), std::nullopt);
    EXPECT_EQ(log->count("status", "Can't Send Command - Not Connected"), 2);
    EXPECT_EQ(log->count("status", "Sending AT"), 0);
    EXPECT_EQ(log->count("status", "Sending KILL"), 0);
}

TEST_F(Controller, ASendThatFailsEndsTheConnectionAsAForcedClose) {
    KesTiming timing = fastTiming();
    timing.busyPauseMs = 5000;
    start(timing);
    auto peer = connectAndGreet();
    peer->abort();
    // The receiver has seen the reset and pauses; the streams are still held.
    ASSERT_TRUE(log->waitFor("status", kBusy));
    cam->SendCommand("AT");
    EXPECT_FALSE(cam->HasSocket());
    EXPECT_TRUE(inOrder(from(statuses(), kBusy), {kBusy, "Can't Send Command - Connection Lost", "FastClose!", please}));
    EXPECT_EQ(log->count("status", "Sending AT"), 0);
}

TEST_F(Controller, SendsLinesUnchangedAndAnEmptyTextAsAnEmptyLine) {
    start();
    auto peer = connectAndGreet();
    for (const std::string& text : {std::string(" 0x41 "), std::string("KILL"), std::string(""), std::string("a\tb")}) {
        cam->SendCommand(text);
        EXPECT_EQ(peer->readLine(), text);
        EXPECT_EQ(statuses().back(), "Sending " + text);
    }
}

TEST_F(Controller, SendingWithoutAConnectionReportsItAndPauses) {
    KesTiming timing = fastTiming();
    timing.notConnectedPauseMs = 400;
    start(timing);
    const auto before = std::chrono::steady_clock::now();
    cam->SendCommand("AT");
    EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
    EXPECT_EQ(statuses(), (Strings{please, "Can't Send Command - Not Connected"}));
}

TEST_F(Controller, ARefusedConnectionReportsNoSuchHostThenThePromptAfterAPause) {
    KesTiming timing = fastTiming();
    timing.failedOpenPauseMs = 400;
    start(timing);
    view->setPort(std::to_string(closedPort()));
    const auto before = std::chrono::steady_clock::now();
    cam->ConnectToServer();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
    EXPECT_EQ(statuses(), (Strings{please, "Attempting LogIn", "Socket Open Failed - No Such Host", please}));
    EXPECT_FALSE(cam->HasSocket());
    // Ready for the next attempt at once.
    view->setPort(std::to_string(server.port()));
    auto peer = connectAndGreet();
    EXPECT_TRUE(cam->HasSocket());
}

TEST_F(Controller, AHostThatDoesNotAnswerIsGivenUpAtTheConnectTimeOut) {
    KesTiming timing = fastTiming();
    timing.connectTimeoutMs = 500;
    start(timing);
    FullQueueListener silent;
    view->setPort(std::to_string(silent.port()));
    cam->ConnectToServer();
    const auto waited = log->when("status", "Socket Open Failed - No Such Host") -
                        log->when("status", "Attempting LogIn");
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(statuses(), (Strings{please, "Attempting LogIn", "Socket Open Failed - No Such Host", please}));
    EXPECT_FALSE(cam->HasSocket());
}

TEST_F(Controller, APortTextThatIsNoDecimalNumberOpensNoSocket) {
    start();
    for (const std::string& text : {std::string("30a1"), std::string(""), std::string(" 3001"), std::string("3001 "),
                                    std::string("+"), std::string("99999999999")}) {
        view->setPort(text);
        cam->ConnectToServer();
        EXPECT_FALSE(cam->HasSocket()) << text;
        EXPECT_EQ(cam->SERVPORT, 3001) << text;
        const Strings shown = statuses();
        EXPECT_EQ(Strings(shown.end() - 3, shown.end()),
                  (Strings{"Attempting LogIn", "Socket Port Is Not A Number", please}))
            << text;
    }
    view->setPort("+" + std::to_string(server.port()));
    EXPECT_TRUE(cam->GetServerPort());
    EXPECT_EQ(cam->SERVPORT, server.port());
    view->setPort("-1");
    EXPECT_TRUE(cam->GetServerPort());
    EXPECT_EQ(cam->SERVPORT, -1);
}

TEST_F(Controller, DataLinesGoToTheReceiveFieldAndControlLinesDoNot) {
    start();
    auto peer = connectAndGreet();
    for (const char* line : {"4F4B0D0A", "ok", " OK", "OK ", "close", "CLOSE ", "OK", "4142"}) peer->send(line);
    ASSERT_TRUE(log->waitFor("rx", "4142"));
    // The field shows each line whole, the last one last; "OK" again is
    // taken as the greeting, not as data.
    EXPECT_EQ(log->texts("rx"), (Strings{"4F4B0D0A", "ok", " OK", "OK ", "close", "CLOSE ", "4142"}));
    EXPECT_EQ(log->count("status", "Connected OK"), 2);
    EXPECT_EQ(log->count("console", "4F4B0D0A"), 0) << "data never goes to the console";
    EXPECT_TRUE(cam->HasSocket());
}

TEST_F(Controller, DataBeforeTheGreetingIsShownAndLiftsTheDeadline) {
    KesTiming timing = fastTiming();
    timing.greetingTimeoutMs = 300;
    start(timing);
    auto peer = connect();
    peer->send("41");
    ASSERT_TRUE(log->waitFor("rx", "41"));
    // Nothing tells that the deadline was lifted. One still in force would
    // end the read that begins just after "41" is shown once its 300 ms have
    // passed, and the client would say the server is busy; "42" sent before
    // then would end that read in time and hide it. Twice the deadline is
    // the shortest wait that leaves room for the read to begin late.
    ASSERT_FALSE(log->waitFor("status", kBusy, 0, std::chrono::milliseconds(2 * timing.greetingTimeoutMs)))
        << "the deadline held after the first line";
    peer->send("42");
    ASSERT_TRUE(log->waitFor("rx", "42"));
    EXPECT_EQ(log->count("status", kBusy), 0);
    EXPECT_EQ(log->count("status", "Connected OK"), 0);
}

TEST_F(Controller, AnEmptyLineIsTheDevicesEmptyAnswerAndKeepsTheConnection) {
    start();
    auto peer = connectAndGreet();
    peer->send("41");
    peer->send("");
    peer->send("42");
    ASSERT_TRUE(log->waitFor("rx", "42"));
    EXPECT_EQ(log->texts("rx"), (Strings{"41", "", "42"}));
    EXPECT_EQ(from(statuses(), "Connected OK"), (Strings{"Connected OK", "No data from device"}));
    EXPECT_TRUE(cam->HasSocket());
    cam->SendCommand("AT");
    EXPECT_EQ(peer->readLine(), "AT");
}

TEST_F(Controller, AServerThatNeverGreetsIsReportedBusyAndTheConnectionCloses) {
    KesTiming timing = fastTiming();
    timing.greetingTimeoutMs = 300;
    timing.busyPauseMs = 500;
    start(timing);
    const auto connected = std::chrono::steady_clock::now();
    auto peer = connect();
    ASSERT_TRUE(log->waitForOrder("status", {kBusy, "Len=0: Forced to Close", "Ending input thread",
                                                      "Local I/O and Socket Closed", please}));
    EXPECT_EQ(from(statuses(), "Got Socket To Host"),
              (Strings{"Got Socket To Host", "Starting Input Thread", kChecking, kBusy, "Len=0: Forced to Close",
                       "Ending input thread", "Local I/O and Socket Closed", please}));
    EXPECT_GE(log->when("status", kBusy) - connected, 300ms);
    EXPECT_GE(log->when("status", "Len=0: Forced to Close") - log->when("status", kBusy), 500ms);
    EXPECT_FALSE(cam->HasSocket());
    EXPECT_EQ(peer->readLine(), std::nullopt) << "the client closed without a word";
}

TEST_F(Controller, AReconnectDuringTheBusyPauseIsLeftAloneByTheOldReceiver) {
    KesTiming timing = fastTiming();
    timing.greetingTimeoutMs = 300;
    timing.busyPauseMs = 5000;
    start(timing);
    auto first = connect();
    ASSERT_TRUE(log->waitFor("status", kBusy));
    cam->UserClose();
    auto second = connectAndGreet();
    ASSERT_TRUE(log->waitFor("status", "Local I/O and Socket Closed"));
    EXPECT_LT(log->when("status", "Len=0: Forced to Close") - log->when("status", kBusy), 2500ms)
        << "the user's close cuts the old receiver's pause short";
    EXPECT_FALSE(log->waitForCount("status", "Local I/O and Socket Closed", 2, 300ms));
    EXPECT_TRUE(cam->HasSocket());
    cam->SendCommand("AT");
    EXPECT_EQ(second->readLine(), "AT");
}

TEST_F(Controller, AReceiverClosesOnlyItsOwnConnection) {
    start();
    auto peer = connectAndGreet();
    // A receiver of an earlier connection that comes to its close late.
    auto stale = std::make_shared<TcpSocket>();
    Service earlier(*cam, stale, std::make_shared<SocketLineReader>(stale));
    cam->ServerClose(earlier);
    EXPECT_EQ(statuses().back(), "Local I/O and Socket Closed");
    EXPECT_TRUE(cam->HasSocket());
    cam->SendCommand("AT");
    EXPECT_EQ(peer->readLine(), "AT");
}

TEST_F(Controller, CloseFromTheServerEndsTheConnectionWithoutAnAnswer) {
    start();
    auto peer = connectAndGreet();
    peer->send("CLOSE");
    ASSERT_TRUE(log->waitForOrder("status", {"Received close command from server", "Ending input thread",
                                                      "Local I/O and Socket Closed", please}));
    EXPECT_EQ(from(statuses(), "Connected OK"),
              (Strings{"Connected OK", "Received close command from server", "Ending input thread",
                       "Local I/O and Socket Closed", please}));
    EXPECT_EQ(peer->readLine(), std::nullopt);
    EXPECT_FALSE(cam->HasSocket());
}

TEST_F(Controller, TheServerClosingItsEndIsTheEndOfTheConnection) {
    start();
    auto peer = connectAndGreet();
    peer->close();
    ASSERT_TRUE(log->waitForOrder("status", {"Received Null: Forced to Close", "Ending input thread",
                                                      "Local I/O and Socket Closed", please}));
    EXPECT_EQ(from(statuses(), "Connected OK"),
              (Strings{"Connected OK", "Received Null: Forced to Close", "Ending input thread",
                       "Local I/O and Socket Closed", please}));
    EXPECT_FALSE(cam->HasSocket());
}

TEST_F(Controller, AResetConnectionIsAFailedReadWithTheBusyPause) {
    KesTiming timing = fastTiming();
    timing.busyPauseMs = 400;
    start(timing);
    auto peer = connectAndGreet();
    peer->abort();
    ASSERT_TRUE(log->waitForOrder("status", {kBusy, "Len=0: Forced to Close", "Ending input thread",
                                                      "Local I/O and Socket Closed", please}));
    EXPECT_EQ(from(statuses(), "Connected OK"),
              (Strings{"Connected OK", kBusy, "Len=0: Forced to Close", "Ending input thread",
                       "Local I/O and Socket Closed", please}));
    EXPECT_GE(log->when("status", "Len=0: Forced to Close") - log->when("status", kBusy), 400ms);
    EXPECT_FALSE(cam->HasSocket());
}

TEST_F(Controller, UserCloseWhileConnectedClosesBothSidesAndEndsAtThePrompt) {
    start();
    auto peer = connectAndGreet();
    cam->UserClose();
    // The start's prompt, two from the user's close, one from the receiver's.
    ASSERT_TRUE(log->waitForCount("status", please, 4));
    ASSERT_TRUE(log->waitForOrder("status", {"Ending input thread", "Local I/O and Socket Closed", please}));
    const Strings shown = from(statuses(), "Connected OK");
    // Each thread's texts in its own order; how they interleave is the race.
    EXPECT_TRUE(inOrder(shown, {"FastClose!", please, "Local I/O and Socket Closed by User", please}));
    EXPECT_TRUE(inOrder(shown, {"Ending input thread", "Local I/O and Socket Closed", please}));
    // The receiver either finds its stop flag before the next read, or its
    // read ends with the end of stream that closing the reader causes.
    const int readEnded = log->count("status", "Received Null: Forced to Close");
    EXPECT_EQ(shown.size(), 8u + readEnded);
    if (readEnded == 1) {
        EXPECT_TRUE(inOrder(shown, {"Received Null: Forced to Close", "Ending input thread"}));
    }
    EXPECT_EQ(shown.back(), please);
    EXPECT_EQ(log->count("status", "Failed to close connections"), 0);
    EXPECT_FALSE(cam->HasSocket());
    EXPECT_EQ(peer->readLine(), std::nullopt);
}

TEST_F(Controller, UserCloseWithoutAConnectionClosesNothingAndShowsThePrompt) {
    start();
    cam->UserClose();
    EXPECT_EQ(statuses(), (Strings{please, "FastClose!", please, "Local I/O and Socket Closed by User", please}));
}

TEST_F(Controller, EveryConnectionGetsItsOwnReceiverAndCanFollowAnyClose) {
    start();
    auto first = connectAndGreet(1);
    first->send("CLOSE");
    ASSERT_TRUE(log->waitForCount("status", "Local I/O and Socket Closed", 1));
    auto second = connectAndGreet(2);
    cam->UserClose();
    ASSERT_TRUE(log->waitForCount("status", "Local I/O and Socket Closed", 2));
    auto third = connectAndGreet(3);
    third->send("4142");
    ASSERT_TRUE(log->waitFor("rx", "4142"));
    EXPECT_EQ(log->count("status", "Starting Input Thread"), 3);
    cam->SendCommand("AT");
    EXPECT_EQ(third->readLine(), "AT");
}

// The program's own greeting limit, once, end to end: 10 s of silence from
// a server that is busy with another client, then 3.5 s of the busy text.
TEST_F(Controller, WithTheProgramsOwnTimingABusyServerIsReportedAfterTenSeconds) {
    start(KesTiming{});
    const auto connected = std::chrono::steady_clock::now();
    auto peer = connect();
    ASSERT_TRUE(log->waitForOrder("status", {kBusy, "Len=0: Forced to Close", "Ending input thread",
                                                      "Local I/O and Socket Closed", please},
                                      60s));
    const auto busy = log->when("status", kBusy) - connected;
    EXPECT_GE(busy, 9900ms);
    EXPECT_LT(busy, 30s);
    EXPECT_GE(log->when("status", "Len=0: Forced to Close") - log->when("status", kBusy), 3400ms);
}

}  // namespace
