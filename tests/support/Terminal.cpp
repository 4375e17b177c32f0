#include "tests/support/Terminal.h"

#include <fcntl.h>
#include <pty.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/UniqueFd.h"

namespace {

constexpr uid_t kNobody = 65534;

// Asks the way every opener but root meets exclusive use: an open that fails
// with EBUSY, tried as nobody from a child process. For where TIOCGEXCL is
// not passed on (qemu-user); root lets nobody at the device meanwhile.
std::optional<bool> refusedToNobody(const std::string& path) {
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0) return std::nullopt;
    const bool root = ::geteuid() == 0;
    if (root && ::chmod(path.c_str(), device.st_mode | S_IROTH | S_IWOTH) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(3);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 2);
    }
    int status = 0;
    pid_t reaped = -1;
    if (child > 0) {
        do reaped = ::waitpid(child, &status, 0);
        while (reaped < 0 && errno == EINTR);
    }
    if (root) static_cast<void>(::chmod(path.c_str(), device.st_mode & 07777));
    if (reaped != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1) return std::nullopt;
    return WEXITSTATUS(status) == 1;
}

}  // namespace

std::optional<bool> exclusiveUse(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno == EBUSY ? std::optional<bool>(true) : std::nullopt;
    int exclusive = 0;
    if (::ioctl(fd.get(), TIOCGEXCL, &exclusive) != 0) return refusedToNobody(path);
    return exclusive != 0;
}

bool terminalsKeepMarkParity() {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
    const UniqueFd masterFd(master), slaveFd(slave);
    termios settings{};
    if (::tcgetattr(slave, &settings) != 0) return false;
    settings.c_cflag |= CMSPAR;
    if (::tcsetattr(slave, TCSANOW, &settings) != 0 || ::tcgetattr(slave, &settings) != 0) return false;
    return (settings.c_cflag & CMSPAR) != 0;
}

bool terminalsKeepSpeed(speed_t speed) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
    const UniqueFd masterFd(master), slaveFd(slave);
    termios settings{};
    if (::tcgetattr(slave, &settings) != 0) return false;
    if (::cfsetospeed(&settings, speed) != 0 || ::cfsetispeed(&settings, speed) != 0) return false;
    if (::tcsetattr(slave, TCSANOW, &settings) != 0 || ::tcgetattr(slave, &settings) != 0) return false;
    return ::cfgetospeed(&settings) == speed;
}

bool terminalsHoldBreak() {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
    const UniqueFd masterFd(master), slaveFd(slave);
    return ::ioctl(slave, TIOCSBRK) == 0 && ::ioctl(slave, TIOCCBRK) == 0;
}

std::vector<pid_t> terminalUsers(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path device = fs::canonical(path, error);
    if (error) throw std::runtime_error("terminalUsers: " + path + ": " + error.message());
    fs::directory_iterator processes("/proc", error);
    if (error) throw std::runtime_error("terminalUsers: /proc: " + error.message());
    std::vector<pid_t> users;
    for (const fs::directory_entry& process : processes) {
        const std::string name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // A process that ends meanwhile, or one not ours to look into, has
        // nothing to list.
        std::error_code gone;
        for (fs::directory_iterator fds(process.path() / "fd", gone), end; !gone && fds != end; fds.increment(gone)) {
            std::error_code unreadable;
            if (fs::read_symlink(fds->path(), unreadable) == device) {
                users.push_back(static_cast<pid_t>(std::atol(name.c_str())));
                break;
            }
        }
    }
    return users;
}
