#pragma once
// The host values the library decides by ("os.name", "os.arch", and the
// runtime's vendor and version texts), read once from uname().
// Thread-safe. Tests substitute other hosts with ScopedHostOverride; the real
// host is never changed.
#include <optional>
#include <string>

namespace Serlib {

struct HostInfo {
    std::string osName;          // "Linux" on this system
    std::string osArch;          // "amd64", "x86", "aarch64", ...
    std::string runtimeVendor;
    std::string runtimeVersion;
};

class Host {
public:
    // The override when one is set, else the values of the real host.
    static HostInfo current();
    static HostInfo real();
    // uname() machine name to architecture name: "x86_64" -> "amd64",
    // "i386".."i686" -> "x86", anything else unchanged ("aarch64").
    static std::string archName(const std::string& machine);
    // uname() system name to operating-system name ("Linux" stays "Linux").
    static std::string osNameOf(const std::string& sysname);

private:
    friend class ScopedHostOverride;
    static void setOverride(std::optional<HostInfo> host);
};

// For tests: while alive, Host::current() reports the given host.
class ScopedHostOverride {
public:
    explicit ScopedHostOverride(HostInfo host);
    ~ScopedHostOverride();
    ScopedHostOverride(const ScopedHostOverride&) = delete;
    ScopedHostOverride& operator=(const ScopedHostOverride&) = delete;

private:
    std::optional<HostInfo> previous_;
};

}  // namespace Serlib
