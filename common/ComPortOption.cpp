#include "common/ComPortOption.h"

namespace ComPortOption {

std::optional<Message> Parse(const std::string& payload) {
    if (payload.empty()) return std::nullopt;
    return Message{static_cast<uint8_t>(payload[0]), payload.substr(1)};
}

std::string Encode(uint8_t code, const std::string& value) {
    std::string out;
    out.reserve(1 + value.size());
    out += static_cast<char>(code);
    out += value;
    return out;
}

std::string EncodeByte(uint8_t code, uint8_t value) {
    return std::string{static_cast<char>(code), static_cast<char>(value)};
}

std::string EncodeBaudRate(uint8_t code, uint32_t baud) {
    return std::string{static_cast<char>(code), static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                       static_cast<char>(baud >> 8), static_cast<char>(baud)};
}

std::optional<uint8_t> ByteValue(const std::string& value) {
    if (value.empty()) return std::nullopt;
    return static_cast<uint8_t>(value[0]);
}

std::optional<BaudRate> ParseBaudRate(const std::string& value) {
    if (value.size() == 1) return BaudRate{static_cast<uint8_t>(value[0]), true};
    if (value.size() < 4) return std::nullopt;
    uint32_t baud = 0;
    for (size_t i = 0; i < 4; ++i) baud = (baud << 8) | static_cast<uint8_t>(value[i]);
    return BaudRate{baud, false};
}

}  // namespace ComPortOption
