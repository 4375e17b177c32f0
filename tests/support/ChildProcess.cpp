#include "ChildProcess.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) < 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        // Own process group, so ending the child also ends what it started.
        ::setpgid(0, 0);
        ::execve(args[0], args.data(), envp.data());
        std::_Exit(127);
    }
    ::close(pipefd[1]);
    out_ = pipefd[0];
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        signal(SIGTERM);
        if (!wait(std::chrono::milliseconds(3000))) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            wait(std::chrono::milliseconds(3000));
        }
    }
    if (out_ >= 0) ::close(out_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        std::optional<std::string> line = readLine(left);
        if (!line) return false;
        seen_.push_back(*line);
        if (*line == text) return true;
    }
}

void ChildProcess::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            // Whatever the child started in its group goes with it.
            ::kill(-pid_, SIGTERM);
            break;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

std::string programPath(const std::string& name) { return std::string(ORVO_BIN_DIR) + "/" + name; }

std::string portsDirectory()
{
    const std::string dir = std::string(ORVO_BIN_DIR) + "/../lib/ports";
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
