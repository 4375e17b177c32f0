#include "Serlib/drivers/common/Record.h"

namespace sdrv {

bool settingsFrom(const SerConfigRec& cfg, int32_t highestMode, LineSettings& out) {
    if (cfg.bitRate < 0 || cfg.bitRate > 11 || cfg.parity < 0 || cfg.parity > 3 || cfg.dataBits < 0 ||
        cfg.dataBits > 3 || cfg.stopBits < 0 || cfg.stopBits > 1) {
        return false;
    }
    if (cfg.handshake < 0 || (cfg.handshake & ~(kModeMask | kFlagMask)) != 0 ||
        (cfg.handshake & kModeMask) > highestMode) {
        return false;
    }
    out.bitRate = cfg.bitRate;
    out.parity = cfg.parity;
    out.dataBits = cfg.dataBits;
    out.stopBits = cfg.stopBits;
    out.handshake = cfg.handshake;
    return true;
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
