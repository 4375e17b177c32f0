#pragma once
// Owners of the address lists the C library allocates: getaddrinfo's results
// and getifaddrs' interfaces, each freed once by its own release call. The
// lookups hand a list to its owner before anything else can fail or return.
// Any thread; a list is used by one thread at a time.
#include <ifaddrs.h>
#include <netdb.h>

#include <memory>

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

struct IfAddrsFree {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};
using IfAddrsList = std::unique_ptr<ifaddrs, IfAddrsFree>;

// getaddrinfo into list, which is empty unless the lookup succeeded; returns
// getaddrinfo's code (0, or an EAI_ value for gai_strerror).
inline int lookupAddresses(const char* node, const char* service, const addrinfo& hints, AddrInfoList& list) {
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(node, service, &hints, &found);
    list.reset(rc == 0 ? found : nullptr);
    return rc;
}

// getifaddrs into list; false (and list empty) when it failed.
inline bool listInterfaces(IfAddrsList& list) {
    ifaddrs* found = nullptr;
    const bool ok = ::getifaddrs(&found) == 0;
    list.reset(ok ? found : nullptr);
    return ok;
}
