// A child a test starts must never outlive it: one left running with the
// test's stderr keeps ctest waiting for that pipe to end, for ever.
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Running, as opposed to gone or a zombie nobody has reaped yet.
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && line.size() > nameEnd + 2 && line[nameEnd + 2] != 'Z';
}

bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running(pid)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A shell that writes a line to its stderr, then starts a sleep in its
// process group, which prints its pid once it ignores SIGTERM (when asked to).
std::vector<std::string> shellWithSleep(bool sleepIgnoresTerm) {
    const std::string ignore = sleepIgnoresTerm ? "trap '' TERM; " : "";
    return {"/bin/sh", "-c", "echo failing >&2; (" + ignore + "exec sh -c 'echo $$; exec sleep 1000') & wait"};
}

TEST(ChildProcess, DiesWithATestThatEndsWithoutCleaningUpAndNeverHoldsItsStderr) {
    int stderrPipe[2], report[2];
    ASSERT_EQ(::pipe2(stderrPipe, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    // A stand-in for the test process, whose stderr is a pipe as under ctest.
    const pid_t standIn = ::fork();
    ASSERT_GE(standIn, 0);
    if (standIn == 0) {
        ::dup2(stderrPipe[1], STDERR_FILENO);
        ChildProcess shell(shellWithSleep(false));
        const std::optional<std::string> sleepPid = shell.readLine(10s);
        const pid_t pids[2] = {shell.pid(), sleepPid ? std::stoi(*sleepPid) : 0};
        if (::write(report[1], pids, sizeof pids) != sizeof pids) std::_Exit(2);
        std::_Exit(1);  // like exit() inside FLTK: no destructor runs
    }
    ::close(stderrPipe[1]);
    ::close(report[1]);
    pid_t pids[2] = {0, 0};
    const ssize_t got = ::read(report[0], pids, sizeof pids);
    ::waitpid(standIn, nullptr, 0);
    ::close(report[0]);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof pids));
    const pid_t shell = pids[0], sleeper = pids[1];

    const bool shellEnded = endsWithin(shell, 10s);
    // Its background sleep lives on, but must not have the test's stderr.
    pollfd pipeEnd{stderrPipe[0], POLLIN, 0};
    const bool pipeEnded = ::poll(&pipeEnd, 1, 10000) == 1;
    char byte;
    const ssize_t written = pipeEnded ? ::read(stderrPipe[0], &byte, 1) : 0;
    ::close(stderrPipe[0]);
    ::kill(-shell, SIGKILL);
    EXPECT_GT(sleeper, 0);
    EXPECT_TRUE(shellEnded) << "the child outlived the test that started it";
    EXPECT_TRUE(pipeEnded) << "something still holds the test's stderr";
    EXPECT_EQ(written, 0) << "the child wrote to the test's stderr";
}

TEST(ChildProcess, EndsEverythingInItsGroupAndPassesOnWhatTheChildWroteToStderr) {
    std::optional<std::string> sleeperPid;
    testing::internal::CaptureStderr();
    {
        ChildProcess shell(shellWithSleep(true));
        sleeperPid = shell.readLine(10s);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(sleeperPid.has_value());
    const pid_t sleeper = std::stoi(*sleeperPid);
    const bool ended = endsWithin(sleeper, 1s);
    if (!ended) ::kill(sleeper, SIGKILL);
    EXPECT_TRUE(ended) << "a process the child started outlived it";
    EXPECT_EQ(errors, "failing\n");
}

}  // namespace
