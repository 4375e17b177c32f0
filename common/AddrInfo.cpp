#include "common/AddrInfo.h"

// What both platforms do alike; the rest is in AddrInfoPosix.cpp and
// AddrInfoWindows.cpp.
int lookupAddresses(const char* node, const char* service, const addrinfo& hints, AddrInfoList& list) {
    SocketApi::startup();
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(node, service, &hints, &found);
    list.reset(rc == 0 ? found : nullptr);
    return rc;
}
