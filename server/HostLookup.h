#pragma once
// Host name resolution for the address field. Blocking (the name service may
// take seconds); any thread.
#include <functional>
#include <optional>
#include <string>

#include "server/InetAddress.h"

// The address the name service gives for name, IPv4 preferred; nothing when
// it cannot be resolved. The empty name stands for this host: its name and,
// preferably, an address other people can reach (non-loopback IPv4).
std::optional<InetAddress> LookupHost(const std::string& name);

using HostLookup = std::function<std::optional<InetAddress>(const std::string& name)>;
