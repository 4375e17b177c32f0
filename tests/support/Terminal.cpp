#include "tests/support/Terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "common/UniqueFd.h"

std::optional<bool> exclusiveUse(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno == EBUSY ? std::optional<bool>(true) : std::nullopt;
    int exclusive = 0;
    if (::ioctl(fd.get(), TIOCGEXCL, &exclusive) != 0) return std::nullopt;
    return exclusive != 0;
}
