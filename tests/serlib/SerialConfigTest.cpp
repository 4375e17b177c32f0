#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

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
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setBitRate(12); }), "Invalid Serial Port Bit Rate");
    EXPECT_EQ(raisedText<std::invalid_argument>([&] { cfg.setBitRate(-1); }), "Invalid Serial Port Bit Rate");
    EXPECT_EQ(cfg.getBitRate(), 11);
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
