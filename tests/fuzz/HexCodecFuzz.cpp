#include <string>

#include "tests/fuzz/FuzzChecks.h"
#include "common/HexCodec.h"

namespace {

int digitModel(char c) {
    static const std::string lower = "0123456789abcdef";
    static const std::string upper = "0123456789ABCDEF";
    size_t at = lower.find(c);
    if (at != std::string::npos) return static_cast<int>(at);
    at = upper.find(c);
    return at != std::string::npos ? static_cast<int>(at) : 0;
}

std::string hexOf(const Bytes& b) {
    std::string out;
    for (unsigned char c : b) {
        out += "0123456789ABCDEF"[c >> 4];
        out += "0123456789ABCDEF"[c & 15];
    }
    return out;
}

}  // namespace

std::string checkHexCodec(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (char c : text) {
        if (HexCodec::C2B(c) != digitModel(c)) return "C2B of byte " + std::to_string(static_cast<unsigned char>(c));
    }

    // Text to bytes: the whole input as a command's hex part.
    const Bytes decoded = HexCodec::S2BS(text);
    if (size == 0 || size >= 33) {
        if (decoded != Bytes{0}) return "S2BS of an unusable length did not give the one zero byte";
    } else {
        if (decoded.size() != size / 2) return "S2BS gave " + std::to_string(decoded.size()) + " bytes for " +
                                               std::to_string(size) + " characters";
        for (size_t i = 0; i + 1 < size && i / 2 < 15; i += 2) {
            const int want = digitModel(text[i]) * 16 + digitModel(text[i + 1]);
            if (decoded[i / 2] != want) return "S2BS byte " + std::to_string(i / 2) + " differs from the digit rule";
        }
    }

    // Bytes to text: every count from the input's first byte, cut to the array.
    const Bytes bytes(data, data + size);
    const int count = size > 0 ? static_cast<int>(data[0]) - 8 : 0;
    const std::string hex = HexCodec::BS2S(bytes, count);
    const size_t used = count <= 0 ? 0 : std::min(bytes.size(), static_cast<size_t>(count));
    Bytes counted = bytes;
    counted.resize(used);
    if (hex != hexOf(counted)) {
        return "BS2S of " + std::to_string(used) + " bytes is not their upper-case pairs";
    }

    // Round trips through the text for every window of up to 15 bytes, in
    // both letter cases: what the server shows is what a client can send back.
    for (size_t start = 0; start < size; start += 15) {
        const Bytes part(bytes.begin() + static_cast<long>(start),
                         bytes.begin() + static_cast<long>(std::min(size, start + 15)));
        const std::string upper = HexCodec::BS2S(part, static_cast<int>(part.size()));
        if (HexCodec::S2BS(upper) != part) return "bytes -> hex -> bytes changed the bytes";
        std::string lower = upper;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c);
        if (HexCodec::S2BS(lower) != part) return "bytes -> lower-case hex -> bytes changed the bytes";
    }
    return {};
}
