#pragma once
// The owner of one file descriptor (see UniqueResource).
#include <unistd.h>

#include "common/UniqueResource.h"

struct FdTraits {
    using Native = int;
    static int invalid() { return -1; }
    static bool valid(int fd) { return fd >= 0; }
    // Not retried on EINTR: Linux has released the descriptor even then, and
    // a retry could close one another thread just got.
    static void close(int fd) { static_cast<void>(::close(fd)); }
};

using UniqueFd = UniqueResource<FdTraits>;
