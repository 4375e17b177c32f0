#pragma once
// An internet address as the name service gave it, and the text the status
// window's address field shows for one.
#include <optional>
#include <string>

struct InetAddress {
    std::string hostName;  // the name it was found under; empty for a numeric one
    std::string address;   // numeric text form ("192.168.1.7", "fe80::1")
};

// Host name, "/", numeric address ("myhost/192.168.1.7", "/10.0.0.1" for a
// numeric look-up); "null" for none.
std::string InetAddressText(const std::optional<InetAddress>& a);
