#include "tests/support/ChildProcess.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

using Clock = std::chrono::steady_clock;

namespace {

// Whether a process of the group is still running; zombies waiting for their
// new parent to reap them do not count.
bool groupRunning(pid_t group) {
    if (::kill(-group, 0) != 0) return false;
    std::error_code ignored;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // "pid (name) state ppid pgrp ...", where the name may hold ") ".
        const size_t nameEnd = line.rfind(')');
        if (nameEnd == std::string::npos) continue;
        std::istringstream fields(line.substr(nameEnd + 1));
        char state = 0;
        pid_t parent = 0, pgrp = 0;
        if (fields >> state >> parent >> pgrp && pgrp == group && state != 'Z') return true;
    }
    return false;
}

// In a cross build the programs of the build run through the emulator that
// runs the tests (qemu-user, where no binfmt handler starts them by itself);
// anything else, /bin/sh say, runs as it is.
std::vector<std::string> throughEmulator(const std::vector<std::string>& argv) {
    const std::string emulator = ORVO_TEST_EMULATOR;
    const std::string buildDir = ORVO_BUILD_ROOT;
    if (emulator.empty() || argv.empty() || argv[0].compare(0, buildDir.size(), buildDir) != 0) return argv;
    std::vector<std::string> command;
    std::istringstream words(emulator);  // its words joined by '|'
    for (std::string word; std::getline(words, word, '|');) command.push_back(word);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& givenArgv, const std::vector<std::string>& extraEnv) {
    const std::vector<std::string> argv = throughEmulator(givenArgv);
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) < 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    // A file rather than a pipe: nobody waits for its end.
    std::string errorsPath = (std::filesystem::temp_directory_path() / "orvo-child-stderr-XXXXXX").string();
    errors_ = ::mkostemp(errorsPath.data(), O_CLOEXEC);
    if (errors_ < 0) {
        const int error = errno;
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        throw std::runtime_error(std::string("mkostemp: ") + std::strerror(error));
    }
    ::unlink(errorsPath.c_str());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t test = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        const int error = errno;
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        ::close(errors_);
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
    if (pid_ == 0) {
        // Own process group, so ending the child also ends what it started.
        ::setpgid(0, 0);
        // Killed when the test dies, also when it died before this line.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || ::getppid() != test) std::_Exit(127);
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::dup2(errors_, STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        std::_Exit(127);
    }
    // Here too, so the group exists before the test's first signal to it;
    // this fails harmlessly once the child has run exec, having done it itself.
    ::setpgid(pid_, pid_);
    ::close(pipefd[1]);
    out_ = pipefd[0];
}

ChildProcess::~ChildProcess() {
    endGroup();
    replayErrors();
    if (out_ >= 0) ::close(out_);
    if (errors_ >= 0) ::close(errors_);
}

void ChildProcess::endGroup() {
    using namespace std::chrono_literals;
    if (!reaped_) {
        ::kill(-pid_, SIGTERM);
        if (!wait(3000ms)) {
            ::kill(-pid_, SIGKILL);
            wait(3000ms);
        }
    }
    // Reaping the child asked the rest of its group to end; what does not, is killed.
    const auto deadline = Clock::now() + 3000ms;
    while (groupRunning(pid_) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    if (groupRunning(pid_)) ::kill(-pid_, SIGKILL);
}

void ChildProcess::replayErrors() {
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(errors_, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::fwrite(buf, 1, static_cast<size_t>(n), stderr);
        at += n;
    }
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
    return waitFor([&text](const std::string& line) { return line == text; }, timeout);
}

bool ChildProcess::waitForText(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor([&text](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::waitFor(const std::function<bool(const std::string&)>& wanted, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        std::optional<std::string> line = readLine(left);
        if (!line) return false;
        seen_.push_back(*line);
        if (wanted(*line)) return true;
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

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string shellCommand(const std::vector<std::string>& argv) {
    std::string command;
    for (const std::string& word : throughEmulator(argv)) command += (command.empty() ? "" : " ") + shellQuoted(word);
    return command;
}

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

WideInodeFolder::WideInodeFolder(std::string folder, std::vector<std::pair<std::string, std::string>> links)
    : folder_(std::move(folder)), links_(std::move(links)) {
    for (const char* layer : {"/lower", "/upper", "/work"}) std::filesystem::create_directory(layers_.path() + layer);
}

std::vector<std::string> WideInodeFolder::wrap(const std::vector<std::string>& argv) const {
    const std::string lower = shellQuoted(layers_.path() + "/lower");
    // The lower layer on a tmpfs of its own, the upper one on the temporary
    // folder's file system: two file systems, so the overlay numbers the
    // lower layer's files with the layer in the inode number's top bits.
    std::string script = "mount -t tmpfs orvo-lower " + lower + " || { echo no overlay; exit 0; }\n";
    for (const auto& [name, target] : links_) {
        script += "ln -s " + shellQuoted(target) + " " + lower + "/" + shellQuoted(name) + " || exit 1\n";
    }
    script += "mount -t overlay orvo-wide -o lowerdir=" + layers_.path() + "/lower,upperdir=" + layers_.path() +
              "/upper,workdir=" + layers_.path() + "/work,xino=on " + shellQuoted(folder_) +
              " || { echo no overlay; exit 0; }\n";
    if (!links_.empty()) {
        script += "echo inode $(stat -c %i " + shellQuoted(folder_ + "/" + links_.front().first) + ")\n";
    }
    script += "exec " + shellCommand(argv) + "\n";
    // unshare makes the new namespace's mounts private: nothing leaks out.
    return {"/usr/bin/unshare", "-m", "/bin/sh", "-c", script};
}
