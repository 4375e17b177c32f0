#include "Serlib/SerialConfig.h"

#include <stdexcept>

#include "Serlib/HostInfo.h"

namespace Serlib {

namespace {

const char* const kDefaultBaseName = "/dev/ttyS";

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
    requireRange(newBitRate, BR_110, BR_115200, "Invalid Serial Port Bit Rate");
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
