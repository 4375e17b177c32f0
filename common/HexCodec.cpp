#include "common/HexCodec.h"

namespace HexCodec {

const char hexchar[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

const Bytes& bsdefault() {
    static const Bytes fallback{0};
    return fallback;
}

std::string BS2S(const unsigned char* bs, int numbytes) {
    std::string out;
    if (bs == nullptr || numbytes <= 0) return out;
    out.reserve(static_cast<size_t>(numbytes) * 2);
    for (int i = 0; i < numbytes; ++i) {
        out += hexchar[(bs[i] & 0xF0) >> 4];
        out += hexchar[bs[i] & 0x0F];
    }
    return out;
}

std::string BS2S(const Bytes& bs, int numbytes) {
    const int count = numbytes > static_cast<int>(bs.size()) ? static_cast<int>(bs.size()) : numbytes;
    return BS2S(bs.data(), count);
}

int C2B(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

Bytes S2BS(const std::string& s) {
    const size_t sl = s.size();
    if (sl == 0 || sl >= 33) return bsdefault();
    Bytes out(sl / 2, 0);
    for (size_t a = 0; a + 1 < sl; a += 2) {
        out[a / 2] = static_cast<unsigned char>((C2B(s[a]) * 16 + C2B(s[a + 1])) & 0xFF);
    }
    return out;
}

}  // namespace HexCodec
