// The driver's one function from settings to termios state, checked bit by
// bit (a pseudo-terminal keeps no framing, so only here can all be seen).
#include <gtest/gtest.h>

#include <termios.h>

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
    const speed_t speeds[] = {B110, B150, B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    for (int code = 0; code < 12; ++code) {
        const termios t = sdrv::termiosFor(cooked(), settings(code, 3, 0, 0, 0));
        EXPECT_EQ(cfgetospeed(&t), speeds[code]);
        EXPECT_EQ(cfgetispeed(&t), speeds[code]);
    }
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
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = 12; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.bitRate = -1; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.dataBits = 4; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.stopBits = 2; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.parity = -1; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 3; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 0x13; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = 0x100; }));
    EXPECT_TRUE(refused([](SerConfigRec& r) { r.handshake = -16; }));
}
