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
    host.osArch = Host::archName(names.machine);
    // The runtime of a C++ program is its C library; only the Windows rows
    // of the driver table look at these two texts.
    host.runtimeVendor = "GNU";
    host.runtimeVersion = ::gnu_get_libc_version();
    return host;
}

}  // namespace Serlib
