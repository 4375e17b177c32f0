#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

// The far end of the virtual device, opened through its link as a program
// would open a serial port.
class Terminal {
public:
    explicit Terminal(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            termios tio{};
            ::tcgetattr(fd_, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Terminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::string& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // Everything that arrives until nothing more comes for quietMs.
    bool hungUp(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char c;
        return (p.revents & (POLLHUP | POLLERR)) != 0 || ::read(fd_, &c, 1) <= 0;
    }
    // At least count bytes, or what came before timeoutMs ran out.
    std::string receive(size_t count, int timeoutMs) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        pollfd p{fd_, POLLIN, 0};
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    std::string receive(int quietMs = 200) {
        std::string got;
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, quietMs) > 0) {
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int fd_;
};

}  // namespace

TEST(Vdev, AnswersAtLinesWithOkAndEchoesEverythingElse) {
    TempDir dir;
    const std::string link = dir.path() + "/COM1";
    ChildProcess vdev({programPath("vdev"), "--link", link});
    std::optional<std::string> path = vdev.readLine(5s);
    ASSERT_TRUE(path);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), *path);

    Terminal term(link);
    ASSERT_TRUE(term.ok());
    term.send("AT\n");
    EXPECT_EQ(term.receive(), "OK\r\n");
    term.send("ATZ\r\n");
    EXPECT_EQ(term.receive(), "OK\r\n");
    term.send("kill\n");
    EXPECT_EQ(term.receive(), "kill\n");
    term.send(std::string("\x00\xFF\r\n", 4));
    EXPECT_EQ(term.receive(), std::string("\x00\xFF\r\n", 4));
    term.send("Ax\n");
    EXPECT_EQ(term.receive(), "Ax\n");
}

TEST(Vdev, VanishesAndReturnsUnderTheSameLinkWithANewPath) {
    TempDir dir;
    const std::string link = dir.path() + "/COM2";
    ChildProcess vdev({programPath("vdev"), "--link", link});
    std::optional<std::string> first = vdev.readLine(5s);
    ASSERT_TRUE(first);
    {
        Terminal held(link);
        ASSERT_TRUE(held.ok());
        vdev.signal(SIGUSR1);
        // The program holding the device sees it go, as with a pulled adapter.
        EXPECT_TRUE(held.hungUp(5000));
    }
    vdev.signal(SIGUSR2);
    std::optional<std::string> second = vdev.readLine(5s);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), *second);
    Terminal term(link);
    term.send("AT\r");
    EXPECT_EQ(term.receive(), "OK\r\n");
}

TEST(Vdev, RemovesItsLinkWhenStopped) {
    TempDir dir;
    const std::string link = dir.path() + "/COM3";
    ChildProcess vdev({programPath("vdev"), "--link", link});
    ASSERT_TRUE(vdev.readLine(5s));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    vdev.signal(SIGTERM);
    EXPECT_EQ(vdev.wait(5s), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(Vdev, DelayedAnswersWaitAndKeepTheirOrderAndASilentDeviceAnswersNothing) {
    TempDir dir;
    const std::string link = dir.path() + "/COM4";
    ChildProcess delayed({programPath("vdev"), "--link", link, "--delay", "500"});
    ASSERT_TRUE(delayed.readLine(5s));
    Terminal term(link);
    ASSERT_TRUE(term.ok());
    term.send("AT\r");
    term.send("hello\n");
    EXPECT_EQ(term.receive(50), "");
    EXPECT_EQ(term.receive(10, 5000), "OK\r\nhello\n");

    const std::string quietLink = dir.path() + "/COM5";
    ChildProcess silent({programPath("vdev"), "--link", quietLink, "--silent"});
    ASSERT_TRUE(silent.readLine(5s));
    Terminal quiet(quietLink);
    ASSERT_TRUE(quiet.ok());
    quiet.send("AT\r\nhello\n");
    EXPECT_EQ(quiet.receive(), "");
}

TEST(Vdev, OnAPacedLineAnAnswerTakesItsCharacterTimes) {
    TempDir dir;
    const std::string link = dir.path() + "/COM6";
    ChildProcess paced({programPath("vdev"), "--link", link, "--wire", "2400"});
    ASSERT_TRUE(paced.readLine(5s));
    Terminal term(link);
    ASSERT_TRUE(term.ok());
    // 20 bytes at 2400 bit/s: 4.17 ms each, 83 ms in all.
    const std::string line = std::string(19, 'w') + "\n";
    const auto start = std::chrono::steady_clock::now();
    term.send(line);
    EXPECT_EQ(term.receive(line.size(), 5000), line);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 75ms);
    EXPECT_LT(took, 1000ms);
}

TEST(Vdev, FloodCountsThroughEveryByteValueWithoutAGap) {
    TempDir dir;
    const std::string link = dir.path() + "/COM6";
    ChildProcess vdev({programPath("vdev"), "--link", link, "--flood"});
    ASSERT_TRUE(vdev.readLine(5s));
    Terminal term(link);
    ASSERT_TRUE(term.ok());
    // Several times what the terminal buffers, so some writes were cut short.
    const std::string got = term.receive(64 * 1024, 10000);
    ASSERT_GE(got.size(), 64u * 1024u);
    EXPECT_EQ(static_cast<unsigned char>(got[0]), 0);
    for (size_t i = 1; i < got.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>(got[i]), static_cast<unsigned char>(got[i - 1] + 1)) << "at byte " << i;
    }
}

TEST(Vdev, LoopbackEchoesEveryByteAndHoldsBackAWriterNobodyReads) {
    TempDir dir;
    const std::string link = dir.path() + "/COM8";
    ChildProcess vdev({programPath("vdev"), "--link", link, "--loopback"});
    ASSERT_TRUE(vdev.readLine(5s));
    Terminal term(link);
    ASSERT_TRUE(term.ok());
    term.send("AT\r\n");
    EXPECT_EQ(term.receive(), "AT\r\n") << "no modem answers";
    // Written without reading, until the line takes no more: what it held
    // is bounded, and comes back whole and in order.
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string sent;
    unsigned char next = 0;
    // Held back: half a second without a byte taken. A loaded machine may
    // stall the loopback for a moment before it has its fill.
    for (int stalls = 0; stalls < 25;) {
        char block[4096];
        for (char& b : block) b = static_cast<char>(next++);
        const ssize_t n = ::write(fd, block, sizeof block);
        if (n > 0) sent.append(block, static_cast<size_t>(n));
        next = static_cast<unsigned char>(next - sizeof block + (n > 0 ? n : 0));
        if (n > 0) {
            stalls = 0;
        } else {
            ++stalls;
            std::this_thread::sleep_for(20ms);  // the loopback catches up as far as it will
        }
        ASSERT_LT(sent.size(), 4u * 1024 * 1024) << "the writer was never held back";
    }
    ::close(fd);
    EXPECT_GE(sent.size(), 256u * 1024);
    EXPECT_EQ(term.receive(sent.size(), 10000), sent);
}

TEST(Vdev, ReturningWhilePresentChangesNothing) {
    TempDir dir;
    const std::string link = dir.path() + "/COM7";
    ChildProcess vdev({programPath("vdev"), "--link", link});
    ASSERT_TRUE(vdev.readLine(5s));
    // Pending together, the lower-numbered SIGUSR2 is taken before SIGTERM.
    vdev.signal(SIGUSR2);
    vdev.signal(SIGTERM);
    EXPECT_EQ(vdev.wait(5s), 0);
    EXPECT_FALSE(vdev.readLine(1s)) << "a second device path was announced";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(Vdev, RefusesAnUnknownOption) {
    ChildProcess vdev({programPath("vdev"), "--baud", "9600"});
    EXPECT_EQ(vdev.wait(5s), 2);
    EXPECT_FALSE(vdev.readLine(1s));
}
