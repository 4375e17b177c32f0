#include "common/AddrInfo.h"

#include <iphlpapi.h>

#include <cstdint>
#include <cstring>
#include <vector>

// getaddrinfo's codes are Winsock error codes.
std::string lookupErrorText(int code) { return SocketApi::errorMessage(code); }

void IfAddrsFree::operator()(ifaddrs* list) const {
    // One entry at a time, so a long list does not free itself recursively.
    std::unique_ptr<ifaddrs> entry(list);
    while (entry) entry = std::move(entry->next);
}

bool listInterfaces(IfAddrsList& list) {
    list.reset();
    SocketApi::startup();
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // 8-byte aligned, as the adapter records need; the size the system asks
    // for can grow between two calls, so it is asked a few times.
    std::vector<std::uint64_t> buffer;
    ULONG size = 16 * 1024;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size / sizeof(std::uint64_t) + 1, 0);
        rc = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc == ERROR_NO_DATA) return true;  // no adapter at all: an empty list
    if (rc != NO_ERROR) return false;

    std::unique_ptr<ifaddrs> head;
    std::unique_ptr<ifaddrs>* tail = &head;
    ifaddrs* last = nullptr;
    for (const IP_ADAPTER_ADDRESSES* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        unsigned int adapterFlags = 0;
        if (adapter->OperStatus == IfOperStatusUp) adapterFlags |= IFF_UP;
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) adapterFlags |= IFF_LOOPBACK;
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const SOCKET_ADDRESS& address = unicast->Address;
            if (address.lpSockaddr == nullptr || address.iSockaddrLength <= 0 ||
                static_cast<size_t>(address.iSockaddrLength) > sizeof(sockaddr_storage)) {
                continue;
            }
            auto entry = std::make_unique<ifaddrs>();
            std::memcpy(&entry->address, address.lpSockaddr, static_cast<size_t>(address.iSockaddrLength));
            entry->ifa_addr = reinterpret_cast<sockaddr*>(&entry->address);
            entry->name = adapter->AdapterName != nullptr ? adapter->AdapterName : "";
            entry->ifa_name = entry->name.data();
            entry->ifa_flags = adapterFlags;
            *tail = std::move(entry);
            if (last != nullptr) last->ifa_next = tail->get();
            last = tail->get();
            tail = &last->next;
        }
    }
    list.reset(head.release());
    return true;
}
