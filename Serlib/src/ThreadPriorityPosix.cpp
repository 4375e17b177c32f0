#include "ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace Serlib {

long currentThreadId() {
    return ::syscall(SYS_gettid);
}

// The negated nice value, so that a larger number is more urgent; on Linux
// the nice value belongs to each thread.
bool readPriority(long tid, int& priority) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (nice == -1 && errno != 0) {
        return false;
    }
    priority = -nice;
    return true;
}

bool writePriority(long tid, int priority) {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -priority) == 0;
}

}  // namespace Serlib
