#include "client/PortLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

namespace {

std::string errnoSays(int err) { return std::strerror(err); }

// The target of the symbolic link at path; nothing when it is none.
std::optional<std::string> linkTarget(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return std::nullopt;
    target.resize(static_cast<size_t>(n));
    return target;
}

// Why the entry at link is not kestrin's to replace; nothing when it is: a
// link to a pseudo-terminal that is gone.
std::optional<std::string> notOurs(const std::string& link, const struct stat& entry) {
    if (!S_ISLNK(entry.st_mode)) {
        return std::string(S_ISDIR(entry.st_mode) ? "is a directory" : S_ISREG(entry.st_mode) ? "is a file" : "exists") +
               ", not a link kestrin made";
    }
    const std::optional<std::string> target = linkTarget(link);
    if (!target) return std::string("is a link that cannot be read: ") + errnoSays(errno);
    const std::string pts = "/dev/pts/";
    const bool pseudoTerminal = target->compare(0, pts.size(), pts) == 0 && target->size() > pts.size() &&
                                target->find_first_not_of("0123456789", pts.size()) == std::string::npos;
    if (!pseudoTerminal) return "is a link to " + *target + ", not to a pseudo-terminal";
    struct stat device {};
    if (::stat(target->c_str(), &device) == 0) return "is a link to " + *target + ", a pseudo-terminal in use";
    if (errno != ENOENT) return "is a link to " + *target + ", which cannot be checked: " + errnoSays(errno);
    return std::nullopt;
}

}  // namespace

PortLink::PortLink(std::string link, std::string target) : link_(std::move(link)), target_(std::move(target)) {
    // Twice at most: a link left behind may vanish between the look and the
    // replacement, and then the name is simply made.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::symlink(target_.c_str(), link_.c_str()) == 0) return;
        if (errno != EEXIST) throw std::runtime_error(link_ + ": cannot make the link: " + errnoSays(errno));
        struct stat entry {};
        if (::lstat(link_.c_str(), &entry) != 0) {
            if (errno == ENOENT) continue;
            throw std::runtime_error(link_ + ": " + errnoSays(errno));
        }
        if (const std::optional<std::string> why = notOurs(link_, entry)) {
            throw std::runtime_error(link_ + " " + *why + "; kestrin leaves it alone");
        }
        const std::string fresh = link_ + ".kestrin-" + std::to_string(::getpid());
        static_cast<void>(::unlink(fresh.c_str()));
        if (::symlink(target_.c_str(), fresh.c_str()) != 0) {
            throw std::runtime_error(fresh + ": cannot make the link: " + errnoSays(errno));
        }
        if (::rename(fresh.c_str(), link_.c_str()) != 0) {
            const int err = errno;
            static_cast<void>(::unlink(fresh.c_str()));
            throw std::runtime_error(link_ + ": cannot replace the link: " + errnoSays(err));
        }
        return;
    }
    throw std::runtime_error(link_ + ": the name keeps changing under kestrin");
}

PortLink::~PortLink() {
    if (linkTarget(link_) == target_) static_cast<void>(::unlink(link_.c_str()));
}
