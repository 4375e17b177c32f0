// The bridge waits a fixed 150 ms after every serial write before it
// collects the answer. A fake device answers at once, so in these programs
// that one wait is skipped; every other sleep (libFuzzer's own timers, the
// streams' polling) passes through unchanged. The definition here takes the
// place of the C library's for the whole process.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "server/SerOutPort.h"

extern "C" int nanosleep(const struct timespec* req, struct timespec* rem) {
    if (req != nullptr && req->tv_sec == 0 && req->tv_nsec == SerOutPort::kAnswerWaitMs * 1000000L) return 0;
    return static_cast<int>(::syscall(SYS_nanosleep, req, rem));
}
