#include "Serlib/SerialConfig.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "Serlib/BitRates.h"
#include "Serlib/HostInfo.h"

namespace Serlib {

namespace {

const char* const kDefaultBaseName = "/dev/ttyS";

// Each name is the rate of its code in the one table the drivers read too.
struct NamedCode {
    int32_t code;
    int32_t rate;
};
constexpr NamedCode kNamedCodes[] = {
    {SerialConfig::BR_110, 110},         {SerialConfig::BR_150, 150},         {SerialConfig::BR_300, 300},
    {SerialConfig::BR_600, 600},         {SerialConfig::BR_1200, 1200},       {SerialConfig::BR_2400, 2400},
    {SerialConfig::BR_4800, 4800},       {SerialConfig::BR_9600, 9600},       {SerialConfig::BR_19200, 19200},
    {SerialConfig::BR_38400, 38400},     {SerialConfig::BR_57600, 57600},     {SerialConfig::BR_115200, 115200},
    {SerialConfig::BR_50, 50},           {SerialConfig::BR_75, 75},           {SerialConfig::BR_134, 134},
    {SerialConfig::BR_200, 200},         {SerialConfig::BR_1800, 1800},       {SerialConfig::BR_230400, 230400},
    {SerialConfig::BR_460800, 460800},   {SerialConfig::BR_500000, 500000},   {SerialConfig::BR_576000, 576000},
    {SerialConfig::BR_921600, 921600},   {SerialConfig::BR_1000000, 1000000}, {SerialConfig::BR_1152000, 1152000},
    {SerialConfig::BR_1500000, 1500000}, {SerialConfig::BR_2000000, 2000000}, {SerialConfig::BR_2500000, 2500000},
    {SerialConfig::BR_3000000, 3000000}, {SerialConfig::BR_3500000, 3500000}, {SerialConfig::BR_4000000, 4000000}};

constexpr bool namesMatchTheTable() {
    for (const NamedCode& named : kNamedCodes) {
        if (bitrates::rateOfCode(named.code) != named.rate) {
            return false;
        }
    }
    return sizeof kNamedCodes / sizeof kNamedCodes[0] == bitrates::kStandardCodes;
}
static_assert(namesMatchTheTable(), "a BR_ name and the rate table disagree");
static_assert(SerialConfig::BR_EXACT == bitrates::kExactRate, "one flag for exact rates");

// Text reaches the driver as its bytes, unchanged (8-bit, no conversion).
Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

void requireRange(int32_t value, int32_t low, int32_t high, const char* message) {
    if (value < low || value > high) {
        throw std::invalid_argument(message);
    }
}

}  // namespace

std::optional<int32_t> SerialConfig::codeForRate(int32_t bitsPerSecond) {
    for (int32_t code = 0; code < bitrates::kStandardCodes; ++code) {
        if (bitrates::kCodeRates[code] == bitsPerSecond) {
            return code;
        }
    }
    return std::nullopt;
}

int32_t SerialConfig::rateOfCode(int32_t code) {
    return bitrates::rateOfCode(code);
}

const std::vector<int32_t>& SerialConfig::standardRates() {
    static const std::vector<int32_t> ascending = [] {
        std::vector<int32_t> rates(std::begin(bitrates::kCodeRates), std::end(bitrates::kCodeRates));
        std::sort(rates.begin(), rates.end());
        return rates;
    }();
    return ascending;
}

SerialConfig::SerialConfig() : osName(Host::current().osName) {
    portName = bytesOf("COM1");
    setBaseName(kDefaultBaseName);
}

SerialConfig::SerialConfig(int32_t serPort) : port(serPort), osName(Host::current().osName) {
    setBaseName(kDefaultBaseName);
}

SerialConfig::SerialConfig(int32_t serPort, int32_t txBufLen, int32_t rxBufLen)
    : port(serPort), txLen(txBufLen), rxLen(rxBufLen), osName(Host::current().osName) {
    setBaseName(kDefaultBaseName);
}

SerialConfig::SerialConfig(const std::string& pName)
    : portName(bytesOf(pName)), osName(Host::current().osName) {}

void SerialConfig::setPortNum(int32_t pNum) {
    if (pNum < 0) {
        throw std::invalid_argument("Invalid Port Number: " + std::to_string(pNum));
    }
    port = pNum;
}

void SerialConfig::setPortName(const std::string& pName) {
    portName = bytesOf(pName);
}

void SerialConfig::setBitRate(int32_t newBitRate) {
    if (bitrates::rateOfCode(newBitRate) == 0) {
        throw std::invalid_argument("Invalid Serial Port Bit Rate");
    }
    bitRate = newBitRate;
}

void SerialConfig::setParity(int32_t newParity) {
    requireRange(newParity, PY_NONE, PY_MARK, "Invalid Serial Port Parity");
    parity = newParity;
}

void SerialConfig::setDataBits(int32_t newDataBits) {
    requireRange(newDataBits, LN_5BITS, LN_8BITS, "Invalid Serial Port Data Bits");
    dataBits = newDataBits;
}

void SerialConfig::setStopBits(int32_t newStopBits) {
    requireRange(newStopBits, ST_1BITS, ST_2BITS, "Invalid Serial Port Stop Bits");
    stopBits = newStopBits;
}

void SerialConfig::setHandshake(int32_t newShake) {
    // DSR/DTR handshaking exists only in the drivers of these hosts.
    const bool dsrDtrAllowed = osName == "Windows 95" || osName == "Windows NT" ||
                               osName == "Windows CE" || osName == "Windows 98" ||
                               osName == "OS/2";
    if (newShake == HS_DSRDTR && !dsrDtrAllowed) {
        throw std::invalid_argument("DSRDTR handshaking not available on this platform");
    }
    // The second range is deliberately a plain range, not a bit-mask test.
    const bool mode = newShake >= HS_NONE && newShake <= HS_DSRDTR;
    const bool bits = newShake >= HS_HARD_IN &&
                      newShake <= (HS_HARD_IN | HS_HARD_OUT | HS_SOFT_IN | HS_SOFT_OUT);
    if (!mode && !bits) {
        throw std::invalid_argument("Invalid Serial Port Handshake");
    }
    handshake = newShake;
}

void SerialConfig::setBaseName(const std::string& devBaseName) {
    baseName = bytesOf(devBaseName);
}

void SerialConfig::setHardFlow(bool state) {
    hardFlow = state;
}

void SerialConfig::setTxLen(int32_t txBufLen) {
    txLen = txBufLen;
}

void SerialConfig::setRxLen(int32_t rxBufLen) {
    rxLen = rxBufLen;
}

std::shared_ptr<SerialConfig> SerialConfig::copy() const {
    return std::make_shared<SerialConfig>(*this);
}

}  // namespace Serlib
