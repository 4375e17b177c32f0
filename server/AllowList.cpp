#include "server/AllowList.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdint>

namespace {

// Whether the first prefix bits of a and b agree.
bool samePrefix(const unsigned char* a, const unsigned char* b, int prefix) {
    const int whole = prefix / 8;
    for (int i = 0; i < whole; ++i) {
        if (a[i] != b[i]) return false;
    }
    const int rest = prefix % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

std::string trimmed(const std::string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
    return s.substr(begin, end - begin);
}

}  // namespace

std::optional<AllowList::Network> AllowList::parseNetwork(const std::string& entry) {
    Network network;
    const size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    if (::inet_pton(AF_INET, address.c_str(), &network.v4Address) == 1) {
        network.v4 = true;
        network.prefix = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), &network.v6Address) == 1) {
        network.v4 = false;
        network.prefix = 128;
    } else {
        return std::nullopt;
    }
    if (slash == std::string::npos) return network;
    const std::string bits = entry.substr(slash + 1);
    if (bits.empty() || bits.size() > 3) return std::nullopt;
    for (const char c : bits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    const int prefix = std::stoi(bits);
    if (prefix > network.prefix) return std::nullopt;
    network.prefix = prefix;
    return network;
}

std::optional<AllowList> AllowList::parse(const std::string& text, std::string& error) {
    AllowList list;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string entry = trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const std::optional<Network> network = parseNetwork(entry);
        if (!network) {
            error = "\"" + entry + "\" is not a network (IPv4 or IPv6 address, optionally /prefix length)";
            return std::nullopt;
        }
        list.networks_.push_back(*network);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    list.text_ = text;
    return list;
}

namespace {

// ::ffff:0:0/96, where a dual-stack socket puts its IPv4 clients.
const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

in6_addr mapped(const in_addr& v4) {
    in6_addr address{};
    std::copy(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.s6_addr);
    std::copy_n(reinterpret_cast<const unsigned char*>(&v4), 4, address.s6_addr + 12);
    return address;
}

}  // namespace

bool AllowList::allows(const SocketAddress& peer) const {
    if (networks_.empty()) return true;
    for (const Network& network : networks_) {
        bool match = false;
        if (network.v4) {
            match = peer.isV4() && samePrefix(reinterpret_cast<const unsigned char*>(&network.v4Address),
                                              reinterpret_cast<const unsigned char*>(&peer.v4()), network.prefix);
        } else {
            // An IPv6 network holds an IPv4 client by its IPv4-mapped form
            // (::ffff:127.0.0.1, ::ffff:0:0/96).
            const in6_addr address = peer.isV4() ? mapped(peer.v4()) : peer.v6();
            match = samePrefix(network.v6Address.s6_addr, address.s6_addr, network.prefix);
        }
        if (match) return true;
    }
    return false;
}

bool AllowList::canAdmit(bool v4Clients, bool v6Clients) const {
    if (networks_.empty()) return v4Clients || v6Clients;
    for (const Network& network : networks_) {
        if (network.v4) {
            if (v4Clients) return true;
            continue;
        }
        const int common = std::min(network.prefix, 96);
        const bool overlapsMapped = samePrefix(network.v6Address.s6_addr, kMappedPrefix, common);
        const bool onlyMapped = overlapsMapped && network.prefix >= 96;
        if ((v4Clients && overlapsMapped) || (v6Clients && !onlyMapped)) return true;
    }
    return false;
}
