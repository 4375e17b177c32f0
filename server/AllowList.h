#pragma once
// Who may connect: a list of networks in CIDR form ("192.168.1.0/24",
// "2001:db8::/32", "127.0.0.1" for one host). An empty list lets everyone
// in. IPv4 networks match IPv4 clients of a dual-stack listener too, which
// arrive as IPv4-mapped IPv6 addresses; an IPv6 network matches an IPv4
// client by that mapped form (::ffff:127.0.0.1, ::ffff:0:0/96, ::/0).
// Immutable once made; any thread.
#include <optional>
#include <string>
#include <vector>

#include "common/SocketAddress.h"
#include "common/SocketApi.h"

class AllowList {
public:
    AllowList() = default;

    // The comma-separated networks of text; nothing when one of them is not
    // a network, and then what is wrong in error (naming the entry).
    static std::optional<AllowList> parse(const std::string& text, std::string& error);

    bool empty() const { return networks_.empty(); }
    bool allows(const SocketAddress& peer) const;
    // Whether some client could be let in where only IPv4 clients, only
    // IPv6 ones, or both can connect.
    bool canAdmit(bool v4Clients, bool v6Clients) const;
    // The list as given, for messages: "everyone" when empty.
    const std::string& text() const { return text_; }

private:
    struct Network {
        bool v4 = true;
        in_addr v4Address{};
        in6_addr v6Address{};
        int prefix = 0;
    };
    static std::optional<Network> parseNetwork(const std::string& entry);

    std::vector<Network> networks_;
    std::string text_ = "everyone";
};
