#include "Serlib/drivers/posix/PortName.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

#include "Serlib/drivers/common/Record.h"

namespace sdrv {

namespace {

bool linkExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string driverDirectory() {
    Dl_info info{};
    // Any address inside this library names its file.
    if (::dladdr(reinterpret_cast<const void*>(&driverDirectory), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    const std::string file = info.dli_fname;
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return file.substr(0, slash == 0 ? 1 : slash);
}

std::optional<PortName> resolvePortName(const SerConfigRec& cfg) {
    const std::string name = nameBytes(cfg.portName, cfg.portNameLen);
    if (!name.empty()) {
        if (name[0] == '/') {
            return PortName{name, name, 0};
        }
        const int32_t n = comNumber(name, false);
        if (n == 0) {
            return std::nullopt;
        }
        const std::string dir = driverDirectory();
        // A link, even a dangling one, decides: the operator meant that
        // device, and a fallback could open a different one.
        if (!dir.empty()) {
            const std::string link = dir + "/ports/" + name;
            if (linkExists(link)) {
                return PortName{name, link, n};
            }
        }
        return PortName{name, "/dev/ttyS" + std::to_string(n - 1), n};
    }
    if (cfg.port > 0 && cfg.port < kFirstPathPortNumber) {
        std::string base = nameBytes(cfg.baseName, cfg.baseNameLen);
        if (base.empty()) {
            base = "/dev/ttyS";
        }
        const std::string path = base + std::to_string(cfg.port - 1);
        return PortName{path, path, cfg.port};
    }
    return std::nullopt;
}

}  // namespace sdrv
