#pragma once
// Owners of the address lists the system allocates: getaddrinfo's results
// and the list of this host's interface addresses, each freed once by its
// own release call. The lookups hand a list to its owner before anything
// else can fail or return. Any thread; a list is used by one thread at a
// time.
#include <memory>
#include <string>

#include "common/SocketApi.h"

#ifndef _WIN32
#include <ifaddrs.h>
#endif

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

#ifdef _WIN32
// Windows has no getifaddrs: listInterfaces builds the same kind of list from
// GetAdaptersAddresses, one entry per unicast address of every adapter. Of
// POSIX's members these are filled: ifa_next, ifa_name (the adapter's
// name), ifa_flags (IFF_UP, IFF_LOOPBACK) and ifa_addr (never null).
struct ifaddrs {
    ifaddrs() = default;
    ifaddrs(const ifaddrs&) = delete;
    ifaddrs& operator=(const ifaddrs&) = delete;

    ifaddrs* ifa_next = nullptr;
    char* ifa_name = nullptr;
    unsigned int ifa_flags = 0;
    sockaddr* ifa_addr = nullptr;

    // What the members above point to: this entry's own copies, and the
    // rest of the list.
    sockaddr_storage address{};
    std::string name;
    std::unique_ptr<ifaddrs> next;
};

struct IfAddrsFree {
    void operator()(ifaddrs* list) const;
};
#else
struct IfAddrsFree {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};
#endif
using IfAddrsList = std::unique_ptr<ifaddrs, IfAddrsFree>;

// getaddrinfo into list, which is empty unless the lookup succeeded; returns
// getaddrinfo's code (0, or a code for lookupErrorText).
int lookupAddresses(const char* node, const char* service, const addrinfo& hints, AddrInfoList& list);

// The text for a non-zero code of lookupAddresses (gai_strerror on POSIX).
std::string lookupErrorText(int code);

// This host's interface addresses into list (getifaddrs on POSIX); false
// (and list empty) when the system could not list them.
bool listInterfaces(IfAddrsList& list);
