// The whole bridge against the virtual modem program: the real driver, a
// real pseudo-terminal device, the real controller and a client on a real
// socket. The modem can be pulled (SIGUSR1) and plugged back in (SIGUSR2)
// under the same link, on a new pseudo-terminal.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/Eventually.h"
#include "tests/support/LineClient.h"
#include "server/LocalCAM.h"
#include "tests/support/ProcessState.h"
#include "tests/support/RecordingStatusView.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;

namespace {

// The terminal settings of the device this process (the driver) has open at
// path, read through the driver's own descriptor: opening the device again
// would be refused, the driver holds it exclusively.
std::optional<termios> settingsOfOpenDevice(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
        if (ec || target != path) continue;
        termios tio{};
        if (tcgetattr(std::stoi(entry.path().filename().string()), &tio) == 0) return tio;
    }
    return std::nullopt;
}

class VdevBridge : public ::testing::Test {
protected:
    void SetUp() override {
        modem = std::make_unique<VirtualModem>();
        link = modem->link();
        firstPath = modem->path();
        log = std::make_shared<ViewLog>();
        cam = std::make_unique<LocalCAM>(link, 0, 19200, 8, 1, "None", "None", 0, recordingDependencies(log));
        ASSERT_TRUE(cam->serialOpen());
        client = std::make_unique<LineClient>(cam->listeningPort());
        ASSERT_EQ(client->readLine(), std::optional<std::string>("OK"));
    }
    void TearDown() override {
        client.reset();
        cam.reset();
        modem.reset();
    }
    std::string ask(const std::string& command) {
        client->send(command);
        std::optional<std::string> answer = client->readLine();
        EXPECT_TRUE(answer) << "the connection ended after " << command;
        return answer.value_or("<end of stream>");
    }
    void pull() {
        modem->vanish();
        ASSERT_TRUE(eventually([&] { return !std::filesystem::is_symlink(link); }));
    }

    std::unique_ptr<VirtualModem> modem;
    std::string link;
    std::string firstPath;
    std::shared_ptr<ViewLog> log;
    std::unique_ptr<LocalCAM> cam;
    std::unique_ptr<LineClient> client;
};

}  // namespace

TEST_F(VdevBridge, AnswersAndEchoesThroughTheModem) {
    EXPECT_EQ(ask("AT"), "4F4B0D0A");
    EXPECT_EQ(ask("hello"), "68656C6C6F0A");
    EXPECT_EQ(ask("0x0d0A"), "0D0A");
    EXPECT_EQ(ask("ATZ"), "4F4B0D0A");
    client->send("KILL");
    EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE"));
    EXPECT_TRUE(client->endsWithin());
}

TEST_F(VdevBridge, ADevicePulledAndPluggedBackIsUsedAgainWithItsSettings) {
    EXPECT_EQ(ask("AT"), "4F4B0D0A");
    pull();

    // Every command is still answered, empty and at once, on the same connection.
    for (const std::string command : {"AT", "0x4154", "hello", "AT"}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ask(command), "") << command;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << command;
    }
    EXPECT_EQ(log->count("status", "Serial device lost"), 1u);
    EXPECT_EQ(log->count("status", "Serial device back"), 0u);

    modem->comeBack();
    const std::string secondPath = modem->path();
    EXPECT_NE(secondPath, firstPath);
    ASSERT_EQ(std::filesystem::read_symlink(link).string(), secondPath);

    std::string answer = ask("AT");
    if (answer != "4F4B0D0A") answer = ask("AT");
    EXPECT_EQ(answer, "4F4B0D0A");
    EXPECT_EQ(ask("hello"), "68656C6C6F0A");
    const std::vector<std::string> statuses = log->texts("status");
    const auto lost = std::find(statuses.begin(), statuses.end(), "Serial device lost");
    const auto back = std::find(statuses.begin(), statuses.end(), "Serial device back");
    ASSERT_NE(back, statuses.end());
    EXPECT_LT(lost, back);
    EXPECT_EQ(log->count("status", "Serial device back"), 1u);

    // The new terminal got the port's bit rate and raw mode again.
    std::optional<termios> tio = settingsOfOpenDevice(secondPath);
    ASSERT_TRUE(tio) << "the driver holds no descriptor of " << secondPath;
    EXPECT_EQ(cfgetospeed(&*tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio->c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio->c_oflag & OPOST, 0u);
    EXPECT_EQ(tio->c_cc[VMIN], 0) << "the port's own read settings, not the modem program's";
    EXPECT_FALSE(settingsOfOpenDevice(firstPath)) << "the dead terminal's descriptor is closed";

    client->send("KILL");
    EXPECT_EQ(client->readLine(), std::optional<std::string>("CLOSE"));
}

TEST_F(VdevBridge, ADeviceThatNeverReturnsCostsNoTimeNoCpuAndNoDescriptors) {
    EXPECT_EQ(ask("AT"), "4F4B0D0A");
    pull();
    EXPECT_EQ(ask("AT"), "");
    ASSERT_TRUE(log->waitFor("status", "Serial device lost"));

    // Connected, idle, device away: nothing may spin or poll. Looked at
    // now and then over a second, a thread that spins is ready to run every
    // time, and one that polls goes to sleep and wakes again and again; on a
    // loaded machine as on a free one.
    const std::map<pid_t, long> sleepsBefore = sleepCounts();
    constexpr int looks = 100;
    int busyLooks = 0;
    for (int i = 0; i < looks; ++i) {
        if (runnableOtherThreads() > 0) ++busyLooks;
        std::this_thread::sleep_for(10ms);
    }
    const long sleeps = sleepsSince(sleepsBefore);
    EXPECT_LT(busyLooks, looks / 2) << "a thread of the bridge was ready to run at " << busyLooks << " of " << looks
                                    << " looks";
    EXPECT_LT(sleeps, 50) << "the bridge's threads woke up again and again";

    const size_t descriptors = openDescriptorCount();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        if (i % 2 == 0) {
            cam->CommandB1("AT");
        } else {
            cam->CommandB0(Bytes{0x41, 0x54, 0x0D});
        }
    }
    // A wait after each failed write would take 150 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(log->count("status", "Serial device lost"), 1u);
    EXPECT_EQ(log->count("status", "Serial device back"), 0u);
    for (int i = 0; i < 1000; ++i) {
        std::optional<std::string> line = client->readLine();
        ASSERT_TRUE(line);
        ASSERT_EQ(*line, "");
    }
    EXPECT_EQ(ask("AT"), "") << "the client is still served";
}
