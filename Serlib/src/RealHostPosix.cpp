#include "RealHost.h"

#include <gnu/libc-version.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>

#include "Serlib/IOError.h"

namespace Serlib {

HostInfo readRealHost() {
    struct utsname names {};
    if (::uname(&names) != 0) {
        throw IOError(std::string("uname failed: ") + std::strerror(errno));
    }
    HostInfo host;
    host.osName = Host::osNameOf(names.sysname);
    // A 32-bit build on a 64-bit kernel (i686 on x86_64, armhf on a
    // Raspberry Pi's arm64 kernel) loads the 32-bit driver.
    host.osArch = Host::programArch(Host::archName(names.machine), Host::builtArch());
    // The runtime of a C++ program is its C library; only the Windows rows
    // of the driver table look at these two texts.
    host.runtimeVendor = "GNU";
    host.runtimeVersion = ::gnu_get_libc_version();
    return host;
}

}  // namespace Serlib
