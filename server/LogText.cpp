#include "server/LogText.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence at text[at] and its code point, or 0 when
// the bytes there are no valid sequence (overlong, a surrogate, beyond
// U+10FFFF, cut short).
size_t utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80;  // the range the first continuation byte must lie in
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    return length;
}

// Characters that are valid but would reorder, break or steer what a log
// reader sees.
bool unsafe(uint32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
           c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendEscaped(std::string& out, unsigned char b) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
    out += escaped;
}

}  // namespace

std::string LoggableText(const std::string& text, size_t mostBytes) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        const auto b = static_cast<unsigned char>(text[at]);
        uint32_t codePoint = 0;
        const size_t length = b < 0x80 ? 1 : utf8Sequence(text, at, codePoint);
        const size_t taken = length == 0 ? 1 : length;
        if (at + taken > mostBytes) break;
        if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x80) {
            if (b >= 0x20 && b < 0x7F) {
                out += static_cast<char>(b);
            } else {
                appendEscaped(out, b);
            }
        } else if (length == 0 || unsafe(codePoint)) {
            for (size_t i = 0; i < taken; ++i) appendEscaped(out, static_cast<unsigned char>(text[at + i]));
        } else {
            out.append(text, at, length);
        }
        at += taken;
    }
    if (at < text.size()) out += "...(" + std::to_string(text.size()) + " bytes, cut)";
    return out;
}
