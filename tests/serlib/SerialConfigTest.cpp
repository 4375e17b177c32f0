#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/Raises.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialConfig.h"

using Serlib::Bytes;
using Serlib::HostInfo;
using Serlib::ScopedHostOverride;
using Serlib::SerialConfig;

namespace {

HostInfo host(const std::string& os) {
    return HostInfo{os, "amd64", "GNU", "2.36"};
}

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}


}  // namespace

TEST(SerialConfigRecord, EachConstructorFillsItsFields) {
    const SerialConfig named("COM3");
    EXPECT_EQ(named.getPort(), 0);
    EXPECT_EQ(named.getPortName(), bytes("COM3"));
    EXPECT_EQ(named.getBaseName(), Bytes{0});
    EXPECT_EQ(named.getBitRate(), SerialConfig::BR_9600);
    EXPECT_EQ(named.getDataBits(), SerialConfig::LN_8BITS);
    EXPECT_EQ(named.getParity(), SerialConfig::PY_NONE);
    EXPECT_EQ(named.getStopBits(), SerialConfig::ST_1BITS);
    EXPECT_EQ(named.getHandshake(), SerialConfig::HS_NONE);
    EXPECT_EQ(named.getTxLen(), 2048);
    EXPECT_EQ(named.getRxLen(), 4096);
    EXPECT_TRUE(named.getHardFlow());

    const SerialConfig numbered(2);
    EXPECT_EQ(numbered.getPort(), 2);
    EXPECT_EQ(numbered.getBaseName(), bytes("/dev/ttyS"));
    EXPECT_EQ(numbered.getPortName(), Bytes{0});

    const SerialConfig sized(-4, 16, -1);  // constructors check nothing
    EXPECT_EQ(sized.getPort(), -4);
    EXPECT_EQ(sized.getTxLen(), 16);
    EXPECT_EQ(sized.getRxLen(), -1);
    EXPECT_EQ(sized.getBaseName(), bytes("/dev/ttyS"));

    const SerialConfig plain;
    EXPECT_EQ(plain.getPort(), 0);
    EXPECT_EQ(plain.getPortName(), bytes("COM1"));
    EXPECT_EQ(plain.getBaseName(), bytes("/dev/ttyS"));

    // Names reach the driver as their bytes, 8-bit values unchanged.
    const SerialConfig highBytes(std::string("\xE9\x01", 2));
    EXPECT_EQ(highBytes.getPortName(), (Bytes{0xE9, 0x01}));
}

TEST(SerialConfigRecord, RangeSettersAcceptTheirRangeAndKeepTheOldValueOtherwise) {
    SerialConfig cfg("COM1");
    cfg.setBitRate(11);
    EXPECT_EQ(cfg.getBitRate(), 11);
    cfg.setBitRate(SerialConfig::BR_4000000);
    EXPECT_EQ(cfg.getBitRate(), 29);
    // Past the last standard code, and exact codes without a rate or with
    // bits outside the rate's field.
    for (const int32_t bad : {30, -1, SerialConfig::BR_EXACT, 0x3FFFFFFF, 0x20000000 | 9600,
                              static_cast<int32_t>(0x80000000u | SerialConfig::BR_EXACT | 9600)}) {
        EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setBitRate(bad); }), "Invalid Serial Port Bit Rate")
            << bad;
    }
    EXPECT_EQ(cfg.getBitRate(), 29);
    cfg.setBitRate(SerialConfig::BR_EXACT | 250000);
    EXPECT_EQ(cfg.getBitRate(), 0x40000000 + 250000);
    cfg.setBitRate(SerialConfig::BR_EXACT | 0x3FFFFFFF);
    EXPECT_EQ(cfg.getBitRate(), 0x7FFFFFFF);
    cfg.setBitRate(0);
    EXPECT_EQ(cfg.getBitRate(), 0);

    cfg.setParity(SerialConfig::PY_MARK);
    EXPECT_EQ(cfg.getParity(), 3);
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setParity(4); }), "Invalid Serial Port Parity");
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setParity(-1); }), "Invalid Serial Port Parity");
    EXPECT_EQ(cfg.getParity(), 3);

    cfg.setDataBits(SerialConfig::LN_5BITS);
    EXPECT_EQ(cfg.getDataBits(), 0);
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setDataBits(4); }), "Invalid Serial Port Data Bits");
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setDataBits(-1); }), "Invalid Serial Port Data Bits");
    EXPECT_EQ(cfg.getDataBits(), 0);

    cfg.setStopBits(SerialConfig::ST_2BITS);
    EXPECT_EQ(cfg.getStopBits(), 1);
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setStopBits(2); }), "Invalid Serial Port Stop Bits");
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setStopBits(-1); }), "Invalid Serial Port Stop Bits");
    EXPECT_EQ(cfg.getStopBits(), 1);
}

TEST(SerialConfigBitRate, StandardRatesAndTheirCodesGoBothWays) {
    const std::vector<int32_t>& rates = SerialConfig::standardRates();
    ASSERT_EQ(rates.size(), 30u);
    EXPECT_EQ(rates.front(), 50);
    EXPECT_EQ(rates.back(), 4000000);
    EXPECT_EQ(std::adjacent_find(rates.begin(), rates.end(), std::greater_equal<int32_t>()), rates.end())
        << "ascending, each rate once";
    std::set<int32_t> codes;
    for (const int32_t rate : rates) {
        const std::optional<int32_t> code = SerialConfig::codeForRate(rate);
        ASSERT_TRUE(code.has_value()) << rate;
        EXPECT_EQ(SerialConfig::rateOfCode(*code), rate);
        codes.insert(*code);
        SerialConfig cfg;
        cfg.setBitRate(*code);  // every standard code is one the record takes
    }
    EXPECT_EQ(codes, (std::set<int32_t>{0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                        15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29}));
    // The codes existing records and callers hold keep their rates.
    EXPECT_EQ(SerialConfig::codeForRate(110), 0);
    EXPECT_EQ(SerialConfig::codeForRate(9600), 7);
    EXPECT_EQ(SerialConfig::codeForRate(115200), 11);
    EXPECT_EQ(SerialConfig::codeForRate(50), SerialConfig::BR_50);
    EXPECT_EQ(SerialConfig::codeForRate(230400), SerialConfig::BR_230400);
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_134), 134);
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_921600), 921600);
    // A rate no termios speed names has no code; nor do the codes as rates.
    for (const int32_t rate : {250000, 14400, 0, -9600, 7, 11, SerialConfig::BR_EXACT | 9600}) {
        EXPECT_FALSE(SerialConfig::codeForRate(rate).has_value()) << rate;
    }
}

TEST(SerialConfigBitRate, ExactCodesCarryTheirRateAndNothingElseHasOne) {
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_EXACT | 250000), 250000);
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_EXACT | 9600), 9600);
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_EXACT | 1), 1);
    EXPECT_EQ(SerialConfig::rateOfCode(SerialConfig::BR_EXACT | 0x3FFFFFFF), 0x3FFFFFFF);
    for (const int32_t none : {SerialConfig::BR_EXACT, 30, -1, 0x3FFFFFFF, 0x20000000 | 250000,
                               std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min() | 7}) {
        EXPECT_EQ(SerialConfig::rateOfCode(none), 0) << none;
    }
}

TEST(SerialConfigRecord, PortNumberAndNameAreIndependent) {
    SerialConfig cfg("COM2");
    cfg.setPortNum(0);
    EXPECT_EQ(cfg.getPort(), 0);
    cfg.setPortNum(5);
    EXPECT_EQ(cfg.getPort(), 5);
    EXPECT_EQ(cfg.getPortName(), bytes("COM2"));
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setPortNum(-5); }), "Invalid Port Number: -5");
    EXPECT_EQ(cfg.getPort(), 5);
    cfg.setPortName("/dev/ttyUSB0");
    EXPECT_EQ(cfg.getPortName(), bytes("/dev/ttyUSB0"));
    EXPECT_EQ(cfg.getPort(), 5);
    cfg.setBaseName("/dev/ttyACM");
    EXPECT_EQ(cfg.getBaseName(), bytes("/dev/ttyACM"));
    cfg.setTxLen(10);
    cfg.setRxLen(-3);
    cfg.setHardFlow(false);
    EXPECT_EQ(cfg.getTxLen(), 10);
    EXPECT_EQ(cfg.getRxLen(), -3);
    EXPECT_FALSE(cfg.getHardFlow());
}

TEST(SerialConfigHandshake, RangesAreModesOrFlagRangeNotBitMasks) {
    ScopedHostOverride onLinux(host("Linux"));
    SerialConfig cfg("COM1");
    for (int ok : {0, 1, 2, 16, 17, 100, 240}) {
        cfg.setHandshake(ok);
        EXPECT_EQ(cfg.getHandshake(), ok);
    }
    for (int bad : {-1, 4, 15, 241, 256}) {
        EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setHandshake(bad); }), "Invalid Serial Port Handshake") << bad;
        EXPECT_EQ(cfg.getHandshake(), 240);
    }
}

TEST(SerialConfigHandshake, DsrDtrOnlyOnTheHostsWhoseDriversHaveIt) {
    for (const char* os : {"Windows 95", "Windows NT", "Windows CE", "Windows 98", "OS/2"}) {
        ScopedHostOverride h(host(os));
        SerialConfig cfg("COM1");
        cfg.setHandshake(SerialConfig::HS_DSRDTR);
        EXPECT_EQ(cfg.getHandshake(), 3) << os;
    }
    for (const char* os : {"Linux", "Mac OS", "windows nt", "Windows 2000"}) {
        ScopedHostOverride h(host(os));
        SerialConfig cfg("COM1");
        cfg.setHandshake(SerialConfig::HS_CTSRTS);
        EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setHandshake(3); }), "DSRDTR handshaking not available on this platform")
            << os;
        EXPECT_EQ(cfg.getHandshake(), 2);
    }
}

TEST(SerialConfigHandshake, TheHostIsTheOneSeenWhenTheRecordWasBuilt) {
    std::unique_ptr<SerialConfig> builtOnNt;
    {
        ScopedHostOverride nt(host("Windows NT"));
        builtOnNt = std::make_unique<SerialConfig>("COM1");
    }
    ScopedHostOverride onLinux(host("Linux"));
    builtOnNt->setHandshake(3);
    EXPECT_EQ(builtOnNt->getHandshake(), 3);
    // A copy keeps the captured name as well.
    const std::shared_ptr<SerialConfig> copy = builtOnNt->copy();
    copy->setHandshake(3);
    EXPECT_EQ(copy->getHandshake(), 3);
    SerialConfig builtOnLinux("COM1");
    EXPECT_THROW(builtOnLinux.setHandshake(3), std::invalid_argument);
}

TEST(SerialConfigRecord, CopyIsIndependent) {
    SerialConfig original("COM4");
    original.setBitRate(SerialConfig::BR_57600);
    original.setPortNum(4);
    original.setHardFlow(false);
    const std::shared_ptr<SerialConfig> copy = original.copy();
    EXPECT_EQ(copy->getPortName(), bytes("COM4"));
    EXPECT_EQ(copy->getBitRate(), SerialConfig::BR_57600);
    EXPECT_EQ(copy->getPort(), 4);
    EXPECT_FALSE(copy->getHardFlow());
    copy->setPortName("COM5");
    copy->setBitRate(SerialConfig::BR_300);
    original.setParity(SerialConfig::PY_ODD);
    EXPECT_EQ(original.getPortName(), bytes("COM4"));
    EXPECT_EQ(original.getBitRate(), SerialConfig::BR_57600);
    EXPECT_EQ(copy->getParity(), SerialConfig::PY_NONE);
}
