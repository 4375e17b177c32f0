#include "Serlib/HostInfo.h"

#include <mutex>

#include "RealHost.h"

namespace Serlib {

namespace {

struct OverrideSlot {
    std::mutex mutex;
    std::optional<HostInfo> host;
};

OverrideSlot& overrideSlot() {
    static OverrideSlot slot;
    return slot;
}


}  // namespace

HostInfo Host::real() {
    static const HostInfo host = readRealHost();
    return host;
}

HostInfo Host::current() {
    {
        OverrideSlot& slot = overrideSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        if (slot.host) {
            return *slot.host;
        }
    }
    return real();
}

std::string Host::archName(const std::string& machine) {
    if (machine == "x86_64") {
        return "amd64";
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
        machine.compare(2, 2, "86") == 0) {
        return "x86";
    }
    // 32-bit ARM names its instruction set version: armv7l on a Raspberry Pi
    // 2 to 4, armv8l for a 32-bit program on a 64-bit kernel under linux32.
    if (machine.compare(0, 3, "arm") == 0 && machine != "arm64") {
        return "arm";
    }
    return machine;
}

std::string Host::builtArch() {
#if defined(__x86_64__) || defined(_M_X64)
    return "amd64";
#elif defined(__i386__) || defined(_M_IX86)
    return "x86";
#elif defined(__aarch64__) || defined(_M_ARM64)
    return "aarch64";
#elif defined(__arm__) || defined(_M_ARM)
    return "arm";
#else
    return "";
#endif
}

std::string Host::programArch(const std::string& kernelArch, const std::string& builtArch) {
    if ((kernelArch == "amd64" && builtArch == "x86") || (kernelArch == "aarch64" && builtArch == "arm")) {
        return builtArch;
    }
    return kernelArch;
}

std::string Host::osNameOf(const std::string& sysname) {
    // The names the tables know; uname spells IRIX in capitals.
    if (sysname == "IRIX" || sysname == "IRIX64") {
        return "Irix";
    }
    return sysname;
}

void Host::setOverride(std::optional<HostInfo> host) {
    OverrideSlot& slot = overrideSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.host = std::move(host);
}

ScopedHostOverride::ScopedHostOverride(HostInfo host) {
    {
        OverrideSlot& slot = overrideSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        previous_ = slot.host;
    }
    Host::setOverride(std::move(host));
}

ScopedHostOverride::~ScopedHostOverride() {
    Host::setOverride(previous_);
}

}  // namespace Serlib
