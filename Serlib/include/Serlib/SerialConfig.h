#pragma once
// Value record of one serial port and its line settings. Every line setting
// is stored as a small code (bit rate 9600 is code 7), never as the physical
// value; only a bit rate with BR_EXACT carries its value. The driver reads
// the whole record (as SerConfigRec, SerDriver.h).
// Not synchronised: one thread at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Serlib/IOError.h"

namespace Serlib {

class SerialConfig {
public:
    static constexpr int32_t BR_110 = 0;
    static constexpr int32_t BR_150 = 1;
    static constexpr int32_t BR_300 = 2;
    static constexpr int32_t BR_600 = 3;
    static constexpr int32_t BR_1200 = 4;
    static constexpr int32_t BR_2400 = 5;
    static constexpr int32_t BR_4800 = 6;
    static constexpr int32_t BR_9600 = 7;
    static constexpr int32_t BR_19200 = 8;
    static constexpr int32_t BR_38400 = 9;
    static constexpr int32_t BR_57600 = 10;
    static constexpr int32_t BR_115200 = 11;
    // The rest of the termios rates, after the first twelve.
    static constexpr int32_t BR_50 = 12;
    static constexpr int32_t BR_75 = 13;
    static constexpr int32_t BR_134 = 14;
    static constexpr int32_t BR_200 = 15;
    static constexpr int32_t BR_1800 = 16;
    static constexpr int32_t BR_230400 = 17;
    static constexpr int32_t BR_460800 = 18;
    static constexpr int32_t BR_500000 = 19;
    static constexpr int32_t BR_576000 = 20;
    static constexpr int32_t BR_921600 = 21;
    static constexpr int32_t BR_1000000 = 22;
    static constexpr int32_t BR_1152000 = 23;
    static constexpr int32_t BR_1500000 = 24;
    static constexpr int32_t BR_2000000 = 25;
    static constexpr int32_t BR_2500000 = 26;
    static constexpr int32_t BR_3000000 = 27;
    static constexpr int32_t BR_3500000 = 28;
    static constexpr int32_t BR_4000000 = 29;
    // BR_EXACT | n: n bit/s (1..0x3FFFFFFF), for a driver that can set any rate.
    static constexpr int32_t BR_EXACT = 0x40000000;

    static constexpr int32_t PY_NONE = 0;
    static constexpr int32_t PY_ODD = 1;
    static constexpr int32_t PY_EVEN = 2;
    static constexpr int32_t PY_MARK = 3;

    static constexpr int32_t LN_5BITS = 0;
    static constexpr int32_t LN_6BITS = 1;
    static constexpr int32_t LN_7BITS = 2;
    static constexpr int32_t LN_8BITS = 3;

    static constexpr int32_t ST_1BITS = 0;
    static constexpr int32_t ST_2BITS = 1;

    static constexpr int32_t HS_NONE = 0;
    static constexpr int32_t HS_XONXOFF = 1;
    static constexpr int32_t HS_CTSRTS = 2;
    static constexpr int32_t HS_CTSDTR = 2;
    static constexpr int32_t HS_DSRDTR = 3;
    static constexpr int32_t HS_HARD_IN = 0x10;
    static constexpr int32_t HS_HARD_OUT = 0x20;
    static constexpr int32_t HS_SOFT_IN = 0x40;
    static constexpr int32_t HS_SOFT_OUT = 0x80;

    static std::optional<int32_t> codeForRate(int32_t bitsPerSecond);  // the standard code of a rate, if any
    static int32_t rateOfCode(int32_t code);                            // bit/s of a standard or exact code, else 0
    static const std::vector<int32_t>& standardRates();                 // bit/s of every standard code, ascending

    // Form 4: port name "COM1", base name "/dev/ttyS".
    SerialConfig();
    // Form 1: numbered port under the base name "/dev/ttyS"; not validated.
    explicit SerialConfig(int32_t serPort);
    // Form 2: numbered port with buffer sizes; none validated.
    SerialConfig(int32_t serPort, int32_t txBufLen, int32_t rxBufLen);
    // Form 3: port given by name; port number 0 until the driver opens it.
    explicit SerialConfig(const std::string& pName);

    void setPortNum(int32_t pNum);            // invalid_argument "Invalid Port Number: N"
    void setPortName(const std::string& pName);
    void setBitRate(int32_t newBitRate);      // BR_110..BR_4000000, or BR_EXACT | bit/s
    void setParity(int32_t newParity);        // 0..3
    void setDataBits(int32_t newDataBits);    // 0..3
    void setStopBits(int32_t newStopBits);    // 0..1
    void setHandshake(int32_t newShake);      // 0..3 or 16..240; 3 only on some hosts
    void setBaseName(const std::string& devBaseName);
    void setHardFlow(bool state);
    void setTxLen(int32_t txBufLen);
    void setRxLen(int32_t rxBufLen);

    int32_t getPort() const { return port; }
    int32_t getTxLen() const { return txLen; }
    int32_t getRxLen() const { return rxLen; }
    int32_t getBitRate() const { return bitRate; }
    int32_t getParity() const { return parity; }
    int32_t getDataBits() const { return dataBits; }
    int32_t getStopBits() const { return stopBits; }
    int32_t getHandshake() const { return handshake; }
    const Bytes& getPortName() const { return portName; }
    const Bytes& getBaseName() const { return baseName; }
    bool getHardFlow() const { return hardFlow; }

    // An independent record with every field equal, the captured osName too.
    std::shared_ptr<SerialConfig> copy() const;

    // The driver stores the opened port's number here (SerOpenPort).
    void storeOpenedPort(int32_t number) { port = number; }

private:
    int32_t port = 0;
    Bytes portName{0};
    Bytes baseName{0};
    int32_t txLen = 2048;
    int32_t rxLen = 4096;
    int32_t bitRate = BR_9600;
    int32_t parity = PY_NONE;
    int32_t dataBits = LN_8BITS;
    int32_t stopBits = ST_1BITS;
    int32_t handshake = HS_NONE;
    bool hardFlow = true;
    std::string osName;  // captured when the record is built; used by setHandshake
};

}  // namespace Serlib
