#include "Serlib/drivers/common/Record.h"

namespace sdrv {

bool settingsFrom(const SerConfigRec& cfg, const PlatformAbilities& platform, LineSettings& out) {
    const bool rateTaken = Serlib::bitrates::isStandard(cfg.bitRate) ||
                           (platform.anyBitRate && Serlib::bitrates::isExact(cfg.bitRate));
    if (!rateTaken || cfg.parity < 0 || cfg.parity > 3 || cfg.dataBits < 0 || cfg.dataBits > 3 ||
        cfg.stopBits < 0 || cfg.stopBits > 1) {
        return false;
    }
    if (cfg.handshake < 0 || (cfg.handshake & ~(kModeMask | kFlagMask)) != 0 ||
        (cfg.handshake & kModeMask) > platform.highestMode) {
        return false;
    }
    out.bitRate = cfg.bitRate;
    out.parity = cfg.parity;
    out.dataBits = cfg.dataBits;
    out.stopBits = cfg.stopBits;
    out.handshake = cfg.handshake;
    return true;
}

int32_t comNumber(const std::string& name, bool lettersInAnyCase) {
    if (name.size() < 4 || name[3] == '0') {
        return 0;
    }
    for (size_t i = 0; i < 3; ++i) {
        const bool lower = name[i] >= 'a' && name[i] <= 'z';
        const char letter = lettersInAnyCase && lower ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
        if (letter != "COM"[i]) {
            return 0;
        }
    }
    int64_t n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        n = n * 10 + (name[i] - '0');
        if (n >= kFirstPathPortNumber) {
            return 0;
        }
    }
    return static_cast<int32_t>(n);
}

std::string nameBytes(const uint8_t* bytes, int32_t len) {
    std::string text;
    if (bytes == nullptr || len <= 0) {
        return text;
    }
    for (int32_t i = 0; i < len && bytes[i] != 0; ++i) {
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

}  // namespace sdrv
