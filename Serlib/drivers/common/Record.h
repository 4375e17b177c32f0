#pragma once
// What every driver reads out of a configuration record alike: the line
// settings with their codes, checked against their ranges, and the record's
// port and base names.
#include <cstdint>
#include <string>

#include "Serlib/BitRates.h"
#include "Serlib/SerDriver.h"

namespace sdrv {

// The handshake code: a mode in the low bits, In/Out flags above.
constexpr int32_t kModeMask = 0x0F;
constexpr int32_t kFlagMask = 0xF0;
constexpr int32_t kModeXonXoff = 1;
constexpr int32_t kModeCtsRts = 2;
constexpr int32_t kModeDsrDtr = 3;
constexpr int32_t kHardIn = 0x10;
constexpr int32_t kHardOut = 0x20;
constexpr int32_t kSoftIn = 0x40;
constexpr int32_t kSoftOut = 0x80;

constexpr int32_t kParityOdd = 1;
constexpr int32_t kParityEven = 2;
constexpr int32_t kParityMark = 3;

// The bit rate is a code (Serlib/BitRates.h): 0..29 a standard rate (7 is
// 9600), or kExactRate | bit/s, which only a driver that can set any rate
// takes.
struct LineSettings {
    int32_t bitRate = 7;    // standard code, or exact code where the platform takes it
    int32_t parity = 0;     // none, odd, even, mark
    int32_t dataBits = 3;   // code, 0..3 (5 to 8 bits)
    int32_t stopBits = 0;   // code, 0..1 (1 or 2 bits)
    int32_t handshake = 0;  // mode in the low bits, In/Out flags in 0xF0
};

// What a platform's driver can set beyond the codes every driver takes.
struct PlatformAbilities {
    int32_t highestMode;  // the highest handshake mode
    bool anyBitRate;      // exact bit-rate codes
};

// Copies the settings out of a record; false when a code is outside its
// range, the handshake mode is above the highest the platform can do, or
// the bit rate is exact and the platform cannot set any rate.
bool settingsFrom(const SerConfigRec& cfg, const PlatformAbilities& platform, LineSettings& out);

// Port numbers given to ports opened by another name start here, clear of
// the numbers that "COMn" names and numbered records use.
constexpr int32_t kFirstPathPortNumber = 1001;

// n for "COMn" with n a plain decimal from 1 up to the last number below the
// range of other names; 0 otherwise. Windows reads the letters in any case,
// Linux only as written.
int32_t comNumber(const std::string& name, bool lettersInAnyCase);

// A name of the record: its bytes up to the first zero byte. A record
// without a name carries one zero byte, which reads as empty.
std::string nameBytes(const uint8_t* bytes, int32_t len);

}  // namespace sdrv
