// The driver's one function from settings to termios state, checked bit by
// bit (a pseudo-terminal keeps no framing, so only here can all be seen).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <map>
#include <set>

#include "Serlib/SerialConfig.h"
#include "Serlib/drivers/posix/LineSettings.h"

using sdrv::LineSettings;

namespace {

LineSettings settings(int bitRate, int dataBits, int stopBits, int parity, int handshake) {
    LineSettings s;
    s.bitRate = bitRate;
    s.dataBits = dataBits;
    s.stopBits = stopBits;
    s.parity = parity;
    s.handshake = handshake;
    return s;
}

// A terminal as a program might leave it: cooked, echoing, 7E2 with every
// kind of flow control on.
termios cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | IXANY | ISTRIP | INLCR;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B300);
    cfsetospeed(&t, B300);
    return t;
}

}  // namespace

TEST(LineSettingsTermios, RawModeWhateverTheTerminalWasBefore) {
    const termios t = sdrv::termiosFor(cooked(), settings(7, 3, 0, 0, 0));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | ISTRIP | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
}

TEST(LineSettingsTermios, EachCodeHasItsBits) {
    // Every termios speed by its rate, whatever order the codes have.
    const std::map<int32_t, speed_t> speedOfRate = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
    std::set<speed_t> set;
    for (int32_t code = 0; code < Serlib::bitrates::kStandardCodes; ++code) {
        const termios t = sdrv::termiosFor(cooked(), settings(code, 3, 0, 0, 0));
        const auto speed = speedOfRate.find(Serlib::SerialConfig::rateOfCode(code));
        ASSERT_NE(speed, speedOfRate.end()) << code;
        EXPECT_EQ(cfgetospeed(&t), speed->second) << code;
        EXPECT_EQ(cfgetispeed(&t), speed->second) << code;
        set.insert(cfgetospeed(&t));
    }
    EXPECT_EQ(set.size(), speedOfRate.size()) << "every termios speed is some code's";
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int bits = 0; bits < 4; ++bits) {
        EXPECT_EQ(sdrv::termiosFor(cooked(), settings(7, bits, 0, 0, 0)).c_cflag & CSIZE, sizes[bits]);
    }
    EXPECT_NE(sdrv::termiosFor(cooked(), settings(7, 3, 1, 0, 0)).c_cflag & CSTOPB, 0u);
    const tcflag_t parity = PARENB | PARODD | CMSPAR;
    EXPECT_EQ(sdrv::termiosFor(cooked(), settings(7, 3, 0, 0, 0)).c_cflag & parity, 0u);
    EXPECT_EQ(sdrv::termiosFor(cooked(), settings(7, 3, 0, 1, 0)).c_cflag & parity, tcflag_t(PARENB | PARODD));
    EXPECT_EQ(sdrv::termiosFor(cooked(), settings(7, 3, 0, 2, 0)).c_cflag & parity, tcflag_t(PARENB));
    EXPECT_EQ(sdrv::termiosFor(cooked(), settings(7, 3, 0, 3, 0)).c_cflag & parity, parity);
}

TEST(LineSettingsTermios, RecordsOutsideTheRangesOrAskingForDsrDtrAreRefused) {
    SerConfigRec rec{};
    rec.bitRate = 11;
    rec.dataBits = 0;
    rec.stopBits = 1;
    rec.parity = 3;
    rec.handshake = 0xF2;
    LineSettings out;
    ASSERT_TRUE(sdrv::settingsFrom(rec, out));
    EXPECT_EQ(out.bitRate, 11);
    EXPECT_EQ(out.handshake, 0xF2);
    const auto refused = [](void (*change)(SerConfigRec&)) {
        SerConfigRec r{};
        r.bitRate = 7;
        r.dataBits = 3;
        change(r);
        LineSettings ignored;
        return !sdrv::settingsFrom(r, ignored);
    };
    EXPECT_FALSE(refused([](SerConfigRec& r) { r.bitRate = 29; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = 30; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = -1; }));
    // termios names its speeds: no exact rate, not even one it has a name for.
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = SER_BR_EXACT | 250000; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = SER_BR_EXACT | 9600; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.dataBits = 4; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.stopBits = 2; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.parity = -1; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 3; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 0x13; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 0x100; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = -16; }));
}

// A pseudo-terminal keeps no character size and no parity: the settings are
// taken as a line would take them, with the rate, stop bits and flow control
// set and its framing left as it is. A regular descriptor is none.
TEST(LineSettingsOnAPseudoTerminal, DataBitsAndParityAreTakenWithoutBeingSet) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(sdrv::isPseudoTerminal(slave));
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(sdrv::isPseudoTerminal(devNull));
    ::close(devNull);
    using Serlib::SerialConfig;
    for (const int parity : {SerialConfig::PY_EVEN, SerialConfig::PY_ODD, SerialConfig::PY_NONE}) {
        for (const int dataBits : {SerialConfig::LN_5BITS, SerialConfig::LN_7BITS, SerialConfig::LN_8BITS}) {
            EXPECT_EQ(sdrv::applySettings(slave, settings(SerialConfig::BR_19200, dataBits, SerialConfig::ST_2BITS,
                                                          parity, SerialConfig::HS_XONXOFF)),
                      0)
                << "data bits code " << dataBits << ", parity code " << parity;
            termios now{};
            ASSERT_EQ(::tcgetattr(slave, &now), 0);
            EXPECT_EQ(::cfgetospeed(&now), B19200);
            EXPECT_NE(now.c_cflag & CSTOPB, 0u);
            EXPECT_NE(now.c_iflag & IXON, 0u);
        }
    }
    ::close(slave);
    ::close(master);
}
