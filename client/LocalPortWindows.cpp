#include "client/LocalPort.h"

#include <cstdio>

bool LocalPortSupported() { return false; }

const char* LocalPortMissing() {
    return "the local port (--pty) needs Linux: on Windows a port other programs open needs a virtual COM port "
           "driver, which kestrin does not have";
}

int RunLocalPort(const LocalPortOptions&) {
    std::fprintf(stderr, "kestrin: %s\n", LocalPortMissing());
    return 1;
}
