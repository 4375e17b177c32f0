#include "Serlib/drivers/win/PortName.h"

#include "Serlib/drivers/common/Record.h"

namespace sdrv {

namespace {

const char kDevicePrefix[] = "\\\\.\\";

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string comPath(int32_t n) {
    return kDevicePrefix + std::string("COM") + std::to_string(n);
}

}  // namespace

std::optional<PortName> resolvePortName(const SerConfigRec& cfg) {
    const std::string name = nameBytes(cfg.portName, cfg.portNameLen);
    if (!name.empty()) {
        const int32_t n = comNumber(name, true);
        if (n > 0) {
            return PortName{name, comPath(n), n};
        }
        // Only the device namespace reaches COM10 and up and the ports of
        // other drivers ("CNCA0"); a name already in it stays as it is.
        const bool inDeviceNamespace = name.compare(0, 4, kDevicePrefix) == 0;
        return PortName{name, inDeviceNamespace ? name : kDevicePrefix + name, 0};
    }
    if (cfg.port > 0 && cfg.port < kFirstPathPortNumber) {
        return PortName{"COM" + std::to_string(cfg.port), comPath(cfg.port), cfg.port};
    }
    return std::nullopt;
}

bool samePath(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace sdrv
