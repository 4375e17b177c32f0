#include "RealHost.h"

#include <windows.h>

namespace Serlib {

namespace {

// The processor the system runs on, also for a 32-bit program on 64-bit
// Windows, in the names the driver table uses.
std::string nativeArchitecture() {
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return "amd64";
        case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
        case PROCESSOR_ARCHITECTURE_ARM64: return "aarch64";
        case PROCESSOR_ARCHITECTURE_ARM: return "arm";
        default: return "unknown";
    }
}

}  // namespace

HostInfo readRealHost() {
    HostInfo host;
    // Every Windows since 2000 is of the NT line, the name its driver row
    // knows.
    host.osName = "Windows NT";
    host.osArch = nativeArchitecture();
    // The runtime of this build is mingw-w64's; the Windows rows of the
    // driver table pick their other variants for other runtimes only.
    host.runtimeVendor = "MinGW-w64";
    host.runtimeVersion = __MINGW64_VERSION_STR;
    return host;
}

}  // namespace Serlib
