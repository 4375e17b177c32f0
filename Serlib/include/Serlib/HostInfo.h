#pragma once
// The host values the library decides by ("os.name", "os.arch", and the
// runtime's vendor and version texts), read once from uname(). "os.arch" is
// the architecture of the running program, which the driver it loads must
// share: a 32-bit program on a 64-bit kernel names its own.
// Thread-safe. Tests substitute other hosts with ScopedHostOverride; the real
// host is never changed.
#include <optional>
#include <string>

namespace Serlib {

struct HostInfo {
    std::string osName;          // "Linux" on this system
    std::string osArch;          // "amd64", "x86", "aarch64", "arm", ...
    std::string runtimeVendor;
    std::string runtimeVersion;
};

class Host {
public:
    // The override when one is set, else the values of the real host.
    static HostInfo current();
    static HostInfo real();
    // uname() machine name to architecture name: "x86_64" -> "amd64",
    // "i386".."i686" -> "x86", "armv6l", "armv7l", "armv8l" (any "arm" but
    // "arm64") -> "arm", anything else unchanged ("aarch64").
    static std::string archName(const std::string& machine);
    // The architecture this library was compiled for, in the same names:
    // "amd64", "x86", "aarch64" or "arm"; empty for any other.
    static std::string builtArch();
    // The architecture a program built for builtArch runs as on a kernel
    // whose machine is kernelArch: a 32-bit x86 or ARM program on the 64-bit
    // kernel of its family (which uname names unless the program runs under
    // linux32) runs as its own; otherwise the kernel's.
    static std::string programArch(const std::string& kernelArch, const std::string& builtArch);
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
