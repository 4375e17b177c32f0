#pragma once
// The bit-rate codes of a configuration record (SerialConfig::BR_*, the
// bitRate of SerConfigRec), written once for the library and the drivers.
// A standard code is an index into kCodeRates: 0..11 the classic rates, 12 on
// the rest of Linux's termios rates. A code with kExactRate (SER_BR_EXACT)
// set carries the rate itself in bit/s in its low bits; only a driver that
// can set any rate takes it.
#include <cstdint>

#include "Serlib/SerDriver.h"

namespace Serlib {
namespace bitrates {

// bit/s by standard code; codes are never renumbered, new ones go at the end.
inline constexpr int32_t kCodeRates[] = {
    110,     150,     300,     600,     1200,    2400,    4800,    9600,    19200,   38400,
    57600,   115200,  50,      75,      134,     200,     1800,    230400,  460800,  500000,
    576000,  921600,  1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

inline constexpr int32_t kStandardCodes = static_cast<int32_t>(sizeof kCodeRates / sizeof kCodeRates[0]);

inline constexpr int32_t kExactRate = SER_BR_EXACT;
inline constexpr int32_t kExactRateMask = 0x3FFFFFFF;

constexpr bool isStandard(int32_t code) {
    return code >= 0 && code < kStandardCodes;
}

// A code with the flag and a rate of at least 1 bit/s, nothing else set.
constexpr bool isExact(int32_t code) {
    return (code & ~kExactRateMask) == kExactRate && (code & kExactRateMask) != 0;
}

// bit/s of a standard or exact code; 0 for anything else.
constexpr int32_t rateOfCode(int32_t code) {
    if (isStandard(code)) {
        return kCodeRates[code];
    }
    return isExact(code) ? (code & kExactRateMask) : 0;
}

}  // namespace bitrates
}  // namespace Serlib
