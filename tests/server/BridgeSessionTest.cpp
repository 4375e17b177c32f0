// The client session and line protocol over real TCP on loopback, with the
// real controller, the real driver and a pseudo-terminal device.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "server/ClientSocket.h"
#include "tests/support/Eventually.h"
#include "tests/support/LineClient.h"
#include "server/LocalCAM.h"
#include "tests/support/ProcessState.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/RecordingStatusView.h"

using namespace std::chrono_literals;

namespace {

class Bridge : public ::testing::Test {
protected:
    void start(PtyDevice::Responder responder = PtyDevice::modem(),
               std::function<LocalCAM::ViewFactory(std::shared_ptr<ViewLog>)> viewFactory = recordingViewFactory,
               const std::string& handshake = "None", LocalCAM::ThreadStarter startThread = LocalCAM::StartThread,
               std::chrono::milliseconds replyDelay = 0ms) {
        device = std::make_unique<PtyDevice>(std::move(responder), replyDelay);
        log = std::make_shared<ViewLog>();
        LocalCAM::Dependencies dependencies = recordingDependencies(log);
        dependencies.makeView = viewFactory(log);
        dependencies.startThread = std::move(startThread);
        cam = std::make_unique<LocalCAM>(device->path(), 0, 9600, 8, 1, "None", handshake, 0, std::move(dependencies),
                                         options);
        port = cam->listeningPort();
        ASSERT_GT(port, 0);
        ASSERT_TRUE(log->waitFor("status", "Awaiting client connection"));
    }
    void TearDown() override {
        cam.reset();
        device.reset();
    }
    // A client that has been greeted.
    std::unique_ptr<LineClient> connect() {
        auto client = std::make_unique<LineClient>(port);
        EXPECT_EQ(client->readLine(), std::optional<std::string>("OK"));
        return client;
    }
    // A device with XON/XOFF handshake that answers STOP with XOFF, which
    // stops the port's output, and AT with OK; a client has sent it STOP.
    std::unique_ptr<LineClient> connectToALineHeldByXoff() {
        start(PtyDevice::lines([](const std::string& line) {
                  return line == "STOP" ? std::string("\x13") : line == "AT" ? std::string("OK\r\n") : std::string();
              }),
              recordingViewFactory, "XONXOFF");
        auto client = connect();
        EXPECT_EQ(ask(*client, "STOP"), "");
        EXPECT_TRUE(device->waitReplied(1));
        return client;
    }
    // Sends a command and returns its answer line.
    std::string ask(LineClient& client, const std::string& command) {
        client.send(command);
        std::optional<std::string> answer = client.readLine();
        EXPECT_TRUE(answer) << "no answer to " << command;
        return answer.value_or("<end of stream>");
    }

    LocalCAM::Options options;  // set before start()
    std::unique_ptr<PtyDevice> device;
    std::shared_ptr<ViewLog> log;
    std::unique_ptr<LocalCAM> cam;
    int port = 0;
};

// Shows like the window does: what the session thread shows while it holds
// its updates reaches the screen only when it resumes them. Once armed, each
// text is logged with what the device and the client had when it reached
// the screen.
class ScreenTimingView : public RecordingStatusView {
public:
    struct Watch {
        std::atomic<PtyDevice*> device{nullptr};
        std::atomic<int> clientFd{-1};
    };
    ScreenTimingView(std::shared_ptr<ViewLog> log, std::shared_ptr<Watch> watch)
        : RecordingStatusView(log), log_(std::move(log)), watch_(std::move(watch)) {}
    void ShowStatus(const std::string& a) override { show("status", a); }
    void ShowTX(const std::string& a) override { show("tx", a); }
    void ShowRX(const std::string& a) override { show("rx", a); }
    void HoldUpdates() override { ++depth_; }
    void ResumeUpdates() override {
        if (depth_ == 0 || --depth_ > 0) return;
        for (const auto& [field, text] : held_) reach(field, text);
        held_.clear();
    }

private:
    void show(const std::string& field, const std::string& text) {
        if (depth_ > 0) {
            held_.emplace_back(field, text);
        } else {
            reach(field, text);
        }
    }
    void reach(const std::string& field, const std::string& text) {
        PtyDevice* device = watch_->device;
        if (device == nullptr) return log_->add(field, text);
        // A command written before now reaches the device at once, and an
        // answer line the client at once: the session waits here meanwhile.
        const bool commandOut = device->waitReceived(3, 500ms);
        pollfd p{watch_->clientFd, POLLIN, 0};
        const bool answerOut = ::poll(&p, 1, 500) == 1;
        log_->add(field, text + (commandOut ? " | device has it" : " | device has nothing") +
                             (answerOut ? " | client has it" : " | client has nothing"));
    }

    std::shared_ptr<ViewLog> log_;
    std::shared_ptr<Watch> watch_;
    int depth_ = 0;  // the session thread's holds; only it shows during the test
    std::vector<std::pair<std::string, std::string>> held_;
};

// Holds the first answer the exchanging thread shows ("RXD = ...") until
// the test opens the gate, so that the test can make things happen between
// an exchange's end and its answer's way to the client.
class AnswerGateView : public RecordingStatusView {
public:
    struct Gate {
        // Test thread: whether the exchanging thread got to its answer.
        bool awaitReached() {
            std::unique_lock<std::mutex> lock(mutex);
            return opened.wait_for(lock, 5s, [this] { return reached; });
        }
        // Test thread: lets the answer go on.
        void openUp() {
            {
                std::lock_guard<std::mutex> lock(mutex);
                open = true;
            }
            opened.notify_all();
        }
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        bool reached = false;
    };
    AnswerGateView(std::shared_ptr<ViewLog> log, std::shared_ptr<Gate> gate)
        : RecordingStatusView(std::move(log)), gate_(std::move(gate)) {}
    void ShowStatus(const std::string& a) override {
        RecordingStatusView::ShowStatus(a);
        if (a.rfind("RXD = ", 0) != 0) return;
        std::unique_lock<std::mutex> lock(gate_->mutex);
        gate_->reached = true;
        gate_->opened.notify_all();
        gate_->opened.wait_for(lock, 5s, [this] { return gate_->open; });
    }

private:
    std::shared_ptr<Gate> gate_;
};

}  // namespace

TEST_F(Bridge, TheWindowSeesACommandOnlyOnceItIsOnTheLineAndTheAnswerOnlyOnceItIsSent) {
    // Waking the window costs the exchange time on a machine with few
    // processors, so nothing of it reaches the screen while a command is on
    // its way to the device or an answer on its way to the client.
    auto watch = std::make_shared<ScreenTimingView::Watch>();
    start(PtyDevice::modem(), [watch](std::shared_ptr<ViewLog> viewLog) -> LocalCAM::ViewFactory {
        return [viewLog, watch](int, LocalCAM&) -> std::unique_ptr<StatusView> {
            return std::make_unique<ScreenTimingView>(viewLog, watch);
        };
    });
    auto client = connect();
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    const size_t shown = log->size();
    watch->clientFd = client->socket().fd();
    watch->device = device.get();
    // The answer is read only once the window has seen it all, so the view
    // can tell whether it had arrived by then.
    client->send("AT");
    ASSERT_TRUE(log->waitFor("rx", "4F4B0D0A | device has it | client has it", shown));
    EXPECT_EQ(client->readLine(), std::optional<std::string>("4F4B0D0A"));
    std::vector<std::string> seen;
    for (const ViewEvent& e : log->events()) seen.push_back(e.field + " " + e.text);
    seen.erase(seen.begin(), seen.begin() + static_cast<long>(shown));
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "status Client Command: AT | device has it | client has nothing",
                        "tx AT | device has it | client has nothing",
                        "status RXD = 4F4B0D0A | device has it | client has it",
                        "rx 4F4B0D0A | device has it | client has it",
                    }));
}

TEST_F(Bridge, StartsGreetsAndAnswersATWithTheStatusTextsInOrder) {
    start();
    // A device path shows whole (a COMn name as its number).
    const std::string serialLine = device->path() + ":9600 Data:8 Stop:1 Parity:N HS:N DTR:0";
    std::vector<ViewEvent> startUp = log->events();
    ASSERT_EQ(startUp.size(), 4u);
    EXPECT_EQ(startUp[0].field + "|" + startUp[0].text, "serial|" + serialLine);
    EXPECT_EQ(startUp[1].field + "|" + startUp[1].text, "ip|testhost/192.0.2.7");
    EXPECT_EQ(startUp[2].field + "|" + startUp[2].text, "status|Server Socket Opened OK at Port " + std::to_string(port));
    EXPECT_EQ(startUp[3].field + "|" + startUp[3].text, "status|Awaiting client connection");

    auto client = connect();
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    const size_t before = log->size();
    EXPECT_EQ(ask(*client, "AT"), "4F4B0D0A");
    EXPECT_EQ(device->received(), "AT\n");
    std::vector<ViewEvent> exchange = log->events();
    exchange.erase(exchange.begin(), exchange.begin() + static_cast<long>(before));
    std::vector<std::string> seen;
    for (const ViewEvent& e : exchange) seen.push_back(e.field + "|" + e.text);
    EXPECT_EQ(seen, (std::vector<std::string>{"status|Client Command: AT", "tx|AT", "status|RXD = 4F4B0D0A",
                                              "rx|4F4B0D0A"}));
}

// The device echoes what it gets, so every answer shows the exact bytes that
// went out for its command.
TEST_F(Bridge, CommandLinesBecomeExactlyTheBytesTheProtocolSays) {
    start(PtyDevice::echo());
    auto client = connect();
    std::string expectedLine;
    const auto expectOut = [&](const std::string& command, const std::string& bytes) {
        EXPECT_EQ(ask(*client, command), hexOf(bytes)) << "command " << command;
        expectedLine += bytes;
    };
    expectOut("0x0d0A", "\r\n");
    expectOut("0x41", "A");
    expectOut("0X41", "0X41\n");
    expectOut("0x123", "\x12");
    expectOut("0x", "0x\n");
    expectOut("0x1G", "\x10");
    expectOut("kill", "kill\n");
    expectOut("CLOSE", "CLOSE\n");
    expectOut("close", "close\n");
    expectOut(" KILL", " KILL\n");
    expectOut("Close ", "Close \n");
    // 32 hex digits give 16 bytes, the last pair converted too.
    expectOut("0x00112233445566778899aabbccddeeff",
              std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16));
    EXPECT_TRUE(device->waitReceived(expectedLine.size()));
    EXPECT_EQ(device->received(), expectedLine);
    EXPECT_EQ(log->texts("tx").back(), "0x00112233445566778899aabbccddeeff");
}

TEST_F(Bridge, ThirtyTwoCharactersAreSentAndLongerLinesAreDroppedWithoutAnswer) {
    start(PtyDevice::echo());
    auto client = connect();
    const std::string text32(32, 'q');
    // 33 bytes come back; the buffer takes 32, the line feed waits in the port.
    EXPECT_EQ(ask(*client, text32), hexOf(text32));
    EXPECT_EQ(ask(*client, "0x41"), "0A41");

    client->send(std::string(33, 'r'));
    client->send("0x" + std::string(33, '1'));
    client->send(std::string(5000, 's'));
    EXPECT_EQ(ask(*client, "0x42"), "42") << "a dropped line gets no answer and sends nothing";
    EXPECT_EQ(device->received(), text32 + "\n" + "A" + "B");

    EXPECT_EQ(log->count("status", "Client Command: " + std::string(33, 'r')), 1u);
    const std::vector<std::string> tx = log->texts("tx");
    EXPECT_EQ(tx, (std::vector<std::string>{text32, "0x41", "0x42"}));
}

TEST_F(Bridge, KillCloseEmptyLineAndEndOfStreamEndTheConnectionWithClose) {
    start();
    struct Ending {
        std::string sent;  // nothing: the client closes its sending side
        std::vector<std::string> statuses;
    };
    const std::vector<Ending> endings = {
        {"KILL", {"Client Command: KILL", "Client Closed Connection!"}},
        {"Close", {"Client Command: Close", "Client Closed Connection!"}},
        {"", {"Client Command: ", "Len=0 Close"}},
        {"<eof>", {"Client Command: null", "Null Close"}},
    };
    size_t awaiting = 1;
    for (const Ending& ending : endings) {
        auto client = connect();
        ASSERT_TRUE(log->waitForCount("status", "Client connection accepted!", awaiting));
        const size_t from = log->size();
        if (ending.sent == "<eof>") {
            client->socket().shutdownWrite();
        } else {
            client->send(ending.sent);
        }
        EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE")) << ending.sent;
        EXPECT_TRUE(client->endsWithin()) << ending.sent;
        ++awaiting;
        ASSERT_TRUE(log->waitForCount("status", "Awaiting client connection", awaiting));
        std::vector<std::string> expected = ending.statuses;
        expected.push_back("Closed client connection!");
        expected.push_back("Awaiting client connection");
        EXPECT_EQ(log->textsFrom("status", from), expected) << ending.sent;
    }
    EXPECT_EQ(device->received(), "") << "no ending reaches the serial line";
}

TEST_F(Bridge, ASecondClientWaitsUngreetedUntilTheFirstLeaves) {
    start();
    auto first = connect();
    LineClient second(port, 300ms);
    EXPECT_THROW(second.readLine(), NetTimeout) << "the second client must not be greeted yet";
    EXPECT_EQ(ask(*first, "AT"), "4F4B0D0A");
    first->send("KILL");
    EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
    second.socket().setReceiveTimeout(10000);
    EXPECT_EQ(second.readLine(), std::optional<std::string>("OK"));
    EXPECT_EQ(ask(second, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, AStatusWindowExchangeSendsItsAnswerToTheConnectedClient) {
    start();
    cam->CommandB1("AT");  // no client yet: shown only
    EXPECT_EQ(log->texts("rx").back(), "4F4B0D0A");
    auto client = connect();
    cam->CommandB1("AT");
    EXPECT_EQ(client->readLine(), std::optional<std::string>("4F4B0D0A"));
    cam->CommandB0(Bytes{'A', 'T', '\r'});
    EXPECT_EQ(client->readLine(), std::optional<std::string>("4F4B0D0A"));
    EXPECT_EQ(device->received(), "AT\nAT\nAT\r");
    EXPECT_EQ(log->count("status", "RXD = 4F4B0D0A"), 3u);
}

TEST_F(Bridge, ExchangesFromTheWindowAndTheClientNeverMix) {
    // "T<tag>" is answered "R<tag>" at once: overlapping exchanges would
    // hand one exchange both answers and the other none.
    start(PtyDevice::lines([](const std::string& line) {
        return line.rfind("T", 0) == 0 ? "R" + line.substr(1) : std::string();
    }));
    auto client = connect();
    constexpr int kEach = 8;
    std::multiset<std::string> expected;
    for (int i = 0; i < kEach; ++i) {
        expected.insert(hexOf("Rc" + std::to_string(i)));
        expected.insert(hexOf("Rw" + std::to_string(i)));
    }
    std::thread window([&] {
        for (int i = 0; i < kEach; ++i) cam->CommandB1("Tw" + std::to_string(i));
    });
    for (int i = 0; i < kEach; ++i) client->send("Tc" + std::to_string(i));
    std::multiset<std::string> got;
    for (int i = 0; i < 2 * kEach; ++i) {
        std::optional<std::string> line = client->readLine();
        ASSERT_TRUE(line);
        got.insert(*line);
    }
    window.join();
    EXPECT_EQ(got, expected);
}

TEST_F(Bridge, TheOperatorClosesTheConnectionAndTheNextClientIsServed) {
    start();
    auto client = connect();
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    cam->CommandB6();
    EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_TRUE(client->endsWithin());
    // The old session, woken from its read, finds the connection closed.
    ASSERT_TRUE(log->waitFor("status", "Awaiting client connection."));
    EXPECT_EQ(log->count("status", "Closed client connection!"), 1u);
    EXPECT_EQ(log->count("status", "Can't close - no current client."), 1u);
    EXPECT_EQ(log->count("status", "Awaiting client connection"), 2u);
    auto next = connect();
    EXPECT_EQ(ask(*next, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, OverlappingClosesCloseOnceAndStartOneSuccessor) {
    start();
    auto client = connect();
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    std::shared_ptr<ClientSession> session = LocalCAM::connectthread();
    ASSERT_TRUE(session);
    std::atomic<int> ready{0};
    auto closer = [&] {
        ++ready;
        while (ready < 2) std::this_thread::yield();
        session->Close();
    };
    std::thread a(closer), b(closer);
    a.join();
    b.join();
    EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_TRUE(client->endsWithin()) << "exactly one CLOSE, then the end";
    // The second caller and the woken session thread each find nothing.
    ASSERT_TRUE(log->waitForCount("status", "Awaiting client connection.", 2));
    EXPECT_EQ(log->count("status", "Closed client connection!"), 1u);
    EXPECT_EQ(log->count("status", "Client socket is already in use"), 0u);
    EXPECT_EQ(log->count("status", "Awaiting client connection"), 2u) << "one successor";
    EXPECT_NE(LocalCAM::connectthread(), session);
    auto next = connect();
    EXPECT_EQ(ask(*next, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, AClientThatResetsTheConnectionEndsItsSession) {
    start();
    {
        auto client = connect();
        ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
        client->socket().setAbortiveClose();
    }
    ASSERT_TRUE(log->waitFor("status", "Null Close"));
    ASSERT_TRUE(log->waitForCount("status", "Awaiting client connection", 2));
    auto next = connect();
    EXPECT_EQ(ask(*next, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, ShutdownEndsEverySessionThreadAndReleasesTheirSockets) {
    const size_t threadsBefore = threadCount();
    const size_t descriptorsBefore = openDescriptorCount();
    start();
    {
        auto first = connect();
        EXPECT_EQ(ask(*first, "AT"), "4F4B0D0A");
        first->send("KILL");
        EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
        auto second = connect();
        cam->Shutdown();
        EXPECT_EQ(second->readLine(), std::optional<std::string>("CLOSE"));
        EXPECT_TRUE(second->endsWithin());
    }
    EXPECT_FALSE(LocalCAM::connectthread());
    EXPECT_EQ(cam->listeningPort(), -1);
    cam.reset();
    device.reset();
    EXPECT_EQ(threadCountSettledAt(threadsBefore), threadsBefore);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST_F(Bridge, AFailedAcceptIsShownAndTheSessionKeepsAccepting) {
    // Every descriptor number below a mark is taken by a filler, so the
    // server and the first client get numbers above it. With the limit then
    // lowered to the mark, the next session's accept finds no free number.
    int highest = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    const int mark = highest + 8;
    std::vector<int> fillers;
    for (;;) {
        const int fd = dup(0);
        ASSERT_GE(fd, 0);
        if (fd >= mark) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    start();
    auto first = connect();
    ASSERT_GE(first->socket().fd(), mark);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(mark);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    first->send("KILL");
    const std::optional<std::string> closing = first->readLine();
    const bool shown = eventually([&] {
        const std::vector<std::string> statuses = log->texts("status");
        return std::any_of(statuses.begin(), statuses.end(),
                           [](const std::string& text) { return text.rfind("Accept failed: ", 0) == 0; });
    });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    for (int fd : fillers) close(fd);
    EXPECT_EQ(closing, std::optional<std::string>("CLOSE"));
    ASSERT_TRUE(shown) << ::testing::PrintToString(log->texts("status"));
    // The session pauses and accepts again: the next client is served.
    auto next = connect();
    EXPECT_EQ(ask(*next, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, AcceptedConnectionsProbeAVanishedPeerAndBoundTheirSends) {
    // An idle limit whose milliseconds do not fit 32 bits: it must reach the
    // socket as it is, not wrapped round or refused.
    options.idleTimeout = std::chrono::seconds(2147484);
    start();
    auto client = connect();
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    const int served = servedSocketOnPort(port);
    ASSERT_GE(served, 0);
    int keepAlive = 0, idle = 0, interval = 0, probes = 0;
    socklen_t optLen = sizeof keepAlive;
    ASSERT_EQ(getsockopt(served, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &optLen), 0);
    EXPECT_EQ(keepAlive, 1);
    optLen = sizeof idle;
    ASSERT_EQ(getsockopt(served, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &optLen), 0);
    EXPECT_EQ(idle, 60);
    optLen = sizeof interval;
    ASSERT_EQ(getsockopt(served, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &optLen), 0);
    EXPECT_EQ(interval, 10);
    optLen = sizeof probes;
    ASSERT_EQ(getsockopt(served, IPPROTO_TCP, TCP_KEEPCNT, &probes, &optLen), 0);
    EXPECT_EQ(probes, 5);
    timeval sendTimeout{};
    optLen = sizeof sendTimeout;
    ASSERT_EQ(getsockopt(served, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, &optLen), 0);
    EXPECT_EQ(sendTimeout.tv_sec, 5);
    timeval idleLimit{};
    optLen = sizeof idleLimit;
    ASSERT_EQ(getsockopt(served, SOL_SOCKET, SO_RCVTIMEO, &idleLimit, &optLen), 0);
    EXPECT_EQ(idleLimit.tv_sec, 2147484);
    EXPECT_EQ(ask(*client, "AT"), "4F4B0D0A") << "the session serves";
}

TEST_F(Bridge, AnEchoedXoffCostsOneBoundedWriteAndTheLineRunsAgain) {
    auto client = connectToALineHeldByXoff();
    const auto timed = [&](const std::string& command, std::string& answer) {
        const auto before = std::chrono::steady_clock::now();
        answer = ask(*client, command);
        return std::chrono::steady_clock::now() - before;
    };
    std::string answer;
    EXPECT_LT(timed("AT", answer), 4000ms);
    EXPECT_EQ(answer, "") << "the held write fails like any failed write";
    EXPECT_EQ(log->count("status", "Serial write timed out"), 1u);
    EXPECT_EQ(log->count("status", "Serial device lost"), 0u) << "the device is there";
    EXPECT_LT(timed("AT", answer), 4000ms);
    EXPECT_EQ(answer, "4F4B0D0A") << "the line runs again";
    EXPECT_EQ(device->received(), "STOP\nAT\n") << "the held command was dropped, not sent late";
    client->send("KILL");
    EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE"));
    auto next = connect();
    EXPECT_EQ(ask(*next, "AT"), "4F4B0D0A");
}

// A device may hold the line for a while (a buffer to empty, a print to
// finish) and go on: within the bound the command waits and is answered.
TEST_F(Bridge, ADeviceThatHoldsTheLineForASecondStillGetsItsCommandAndAnswers) {
    auto client = connectToALineHeldByXoff();
    std::thread release([&] {
        std::this_thread::sleep_for(1000ms);
        device->send("\x11");  // XON
    });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(*client, "AT"), "4F4B0D0A");
    EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms) << "the command waited for the XON";
    release.join();
    EXPECT_EQ(log->count("status", "Serial write timed out"), 0u);
    EXPECT_EQ(device->received(), "STOP\nAT\n");
}

TEST_F(Bridge, AnAnswerGoesOnlyToTheClientWhoseCommandItAnswers) {
    auto gate = std::make_shared<AnswerGateView::Gate>();
    start(PtyDevice::echo(), [gate](std::shared_ptr<ViewLog> viewLog) -> LocalCAM::ViewFactory {
        return [viewLog, gate](int, LocalCAM&) -> std::unique_ptr<StatusView> {
            return std::make_unique<AnswerGateView>(viewLog, gate);
        };
    });
    auto first = connect();
    LineClient queued(port);
    first->send("A1");
    // The first client's exchange has ended; its answer is on its way.
    ASSERT_TRUE(gate->awaitReached());
    cam->CommandB6();  // the operator closes the first client meanwhile
    EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_EQ(queued.readLine(), std::optional<std::string>("OK"));
    gate->openUp();
    // The queued client's first answer is its own, and so is every later one.
    EXPECT_EQ(ask(queued, "C1"), hexOf("C1\n"));
    EXPECT_EQ(ask(queued, "C2"), hexOf("C2\n"));
}

TEST_F(Bridge, AnOperatorsAnswerGoesToTheClientConnectedWhenItWasSent) {
    auto gate = std::make_shared<AnswerGateView::Gate>();
    start(PtyDevice::modem(), [gate](std::shared_ptr<ViewLog> viewLog) -> LocalCAM::ViewFactory {
        return [viewLog, gate](int, LocalCAM&) -> std::unique_ptr<StatusView> {
            return std::make_unique<AnswerGateView>(viewLog, gate);
        };
    });
    // No client is connected as the operator sends; one connects during
    // the exchange and must hear nothing of it.
    std::thread operatorSends([&] { cam->CommandB1("AT"); });
    ASSERT_TRUE(device->waitReceived(3));
    LineClient late(port);
    ASSERT_TRUE(gate->awaitReached());
    EXPECT_EQ(late.readLine(), std::optional<std::string>("OK"));
    gate->openUp();
    operatorSends.join();
    EXPECT_EQ(ask(late, "0x41540D"), "4F4B0D0A");
    EXPECT_EQ(log->texts("rx"), (std::vector<std::string>{"4F4B0D0A", "4F4B0D0A"}));
}

TEST_F(Bridge, ANewClientDoesNotGetTheLateAnswerOfTheOneBefore) {
    start(PtyDevice::modem(), recordingViewFactory, "None", LocalCAM::StartThread, 200ms);
    {
        auto first = connect();
        EXPECT_EQ(ask(*first, "AT"), "") << "the answer comes after the wait";
        ASSERT_TRUE(device->waitReplied(1));
        // Within one client, a late answer is the next command's answer.
        EXPECT_EQ(ask(*first, "XYZ"), "4F4B0D0A");
        EXPECT_EQ(ask(*first, "AT"), "");
        ASSERT_TRUE(device->waitReplied(2));
        first->send("KILL");
        EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
    }
    testing::internal::CaptureStdout();
    auto second = connect();
    EXPECT_EQ(ask(*second, "XYZ"), "") << "the earlier client's answer was handed on";
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("Discarded 4 bytes the device sent before this client"), std::string::npos) << console;
}

TEST_F(Bridge, ASessionTheSystemHasNoThreadForIsShownAndTriedAgainEverySecond) {
    // The first session starts; the next two attempts find no thread.
    auto starts = std::make_shared<std::atomic<int>>(0);
    start(PtyDevice::modem(), recordingViewFactory, "None", [starts](std::function<void()> body) {
        const int n = ++*starts;
        if (n == 2 || n == 3) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    });
    auto first = connect();
    LineClient queued(port);
    first->send("KILL");
    EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_EQ(queued.readLine(), std::optional<std::string>("OK"));
    EXPECT_EQ(log->count("status", "Can't start client session"), 2u);
    EXPECT_EQ(starts->load(), 4);
    EXPECT_EQ(ask(queued, "AT"), "4F4B0D0A");
}

TEST_F(Bridge, AnOldSessionsCloseLeavesTheNextClientsStatusAlone) {
    // The first session's thread says when the session has run to its end:
    // whatever it shows, it has shown by then.
    auto firstSessionEnded = std::make_shared<std::promise<void>>();
    std::future<void> firstEnded = firstSessionEnded->get_future();
    auto sessions = std::make_shared<std::atomic<int>>(0);
    start(PtyDevice::modem(), recordingViewFactory, "None", [firstSessionEnded, sessions](std::function<void()> body) {
        const bool first = ++*sessions == 1;
        return std::thread([body = std::move(body), firstSessionEnded, first] {
            body();
            if (first) firstSessionEnded->set_value();
        });
    });
    auto first = connect();
    LineClient queued(port);
    ASSERT_TRUE(log->waitFor("status", "Client connection accepted!"));
    cam->CommandB6();
    EXPECT_EQ(first->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_EQ(queued.readLine(), std::optional<std::string>("OK"));
    const std::optional<size_t> accepted = log->waitFor("status", "Client connection accepted!", 0, 10s);
    ASSERT_TRUE(accepted);
    const size_t secondAccepted = *log->waitFor("status", "Client connection accepted!", *accepted + 1);
    ASSERT_EQ(firstEnded.wait_for(10s), std::future_status::ready) << "the old session never ended";
    const std::vector<std::string> after = log->textsFrom("status", secondAccepted + 1);
    EXPECT_EQ(std::count(after.begin(), after.end(), "Awaiting client connection."), 0)
        << ::testing::PrintToString(after);
    EXPECT_EQ(std::count(after.begin(), after.end(), "Can't close - no current client."), 0)
        << ::testing::PrintToString(after);
}
