// What of the driver needs no device: how a record names a port, the
// DCB its settings make, the open result of a CreateFile error, and the
// line errors kept until their query.
#include <windows.h>

#include <gtest/gtest.h>

#include "Serlib/drivers/win/ErrorLatch.h"
#include "Serlib/drivers/win/LineSettings.h"
#include "Serlib/drivers/win/OpenResult.h"
#include "Serlib/drivers/win/PortName.h"
#include "tests/windriver/TestRecord.h"

namespace windriver {
namespace {

using sdrv::PortName;

PortName resolved(const std::string& name, int32_t port = 0) {
    TestRecord rec(name, port);
    const std::optional<PortName> out = sdrv::resolvePortName(*rec.get());
    EXPECT_TRUE(out.has_value()) << name;
    return out.value_or(PortName{});
}

TEST(PortNameTest, ComNamesAreNumberedAndOtherNamesAreOpenedInTheDeviceNamespace) {
    EXPECT_EQ(resolved("COM1").path, "\\\\.\\COM1");
    EXPECT_EQ(resolved("COM1").number, 1);
    EXPECT_EQ(resolved("com12").path, "\\\\.\\COM12");
    EXPECT_EQ(resolved("com12").number, 12);
    EXPECT_EQ(resolved("COM1000").number, 1000);
    // Given as they are, numbered by the driver (0 here).
    EXPECT_EQ(resolved("\\\\.\\COM3").path, "\\\\.\\COM3");
    EXPECT_EQ(resolved("\\\\.\\COM3").number, 0);
    EXPECT_EQ(resolved("CNCA0").path, "\\\\.\\CNCA0");
    EXPECT_EQ(resolved("COM0").path, "\\\\.\\COM0");
    EXPECT_EQ(resolved("COM0").number, 0);
    EXPECT_EQ(resolved("COM1001").number, 0);
    EXPECT_EQ(resolved("COM2x").number, 0);
    // A record without a name: its port number, whatever the base name.
    EXPECT_EQ(resolved("", 5).path, "\\\\.\\COM5");
    EXPECT_EQ(resolved("", 5).number, 5);
    for (const int32_t port : {0, -3, 1001}) {
        TestRecord rec("", port);
        EXPECT_FALSE(sdrv::resolvePortName(*rec.get()).has_value()) << port;
    }
    EXPECT_TRUE(sdrv::samePath("\\\\.\\com3", "\\\\.\\COM3"));
    EXPECT_FALSE(sdrv::samePath("\\\\.\\COM3", "\\\\.\\COM31"));
}

TEST(LineSettingsTest, RecordCodesOutsideTheirRangesAreRefused) {
    TestRecord rec("COM1");
    sdrv::LineSettings out;
    EXPECT_TRUE(sdrv::settingsFrom(*rec.get(), out));
    struct Bad {
        int32_t SerConfigRec::*field;
        int32_t value;
    };
    for (const Bad bad : {Bad{&SerConfigRec::bitRate, 30}, Bad{&SerConfigRec::bitRate, -1},
                          Bad{&SerConfigRec::bitRate, SER_BR_EXACT}, Bad{&SerConfigRec::bitRate, 0x20000000 | 9600},
                          Bad{&SerConfigRec::parity, 4}, Bad{&SerConfigRec::dataBits, 4},
                          Bad{&SerConfigRec::stopBits, 2}, Bad{&SerConfigRec::handshake, 4},
                          Bad{&SerConfigRec::handshake, 0x100}, Bad{&SerConfigRec::handshake, -1}}) {
        TestRecord r("COM1");
        r.fields().*bad.field = bad.value;
        EXPECT_FALSE(sdrv::settingsFrom(*r.get(), out)) << bad.value;
    }
    rec.fields().handshake = 3;  // DSR/DTR: Windows does it
    EXPECT_TRUE(sdrv::settingsFrom(*rec.get(), out));
    // A DCB holds any rate: every standard code and exact ones are taken.
    for (const int32_t code : {29, SER_BR_EXACT | 250000, SER_BR_EXACT | 1, SER_BR_EXACT | 0x3FFFFFFF}) {
        rec.fields().bitRate = code;
        EXPECT_TRUE(sdrv::settingsFrom(*rec.get(), out)) << code;
        EXPECT_EQ(out.bitRate, code);
    }
}

DCB dcbOf(int32_t bitRate, int32_t parity, int32_t dataBits, int32_t stopBits, int32_t handshake,
          sdrv::ModemLines lines = {}) {
    DCB present{};
    present.fAbortOnError = TRUE;
    present.fNull = TRUE;
    return sdrv::dcbFor(present, sdrv::LineSettings{bitRate, parity, dataBits, stopBits, handshake}, lines, 4096);
}

TEST(LineSettingsTest, DcbCarriesSpeedFramingAndFlowControl) {
    const DCB plain = dcbOf(7, 0, 3, 0, 0);
    EXPECT_EQ(plain.DCBlength, sizeof(DCB));
    EXPECT_EQ(plain.BaudRate, 9600u);
    EXPECT_EQ(plain.ByteSize, 8);
    EXPECT_EQ(plain.Parity, NOPARITY);
    EXPECT_FALSE(plain.fParity);
    EXPECT_EQ(plain.StopBits, ONESTOPBIT);
    EXPECT_TRUE(plain.fBinary);
    EXPECT_FALSE(plain.fAbortOnError);
    EXPECT_FALSE(plain.fNull);
    EXPECT_FALSE(plain.fOutxCtsFlow || plain.fOutxDsrFlow || plain.fOutX || plain.fInX);
    EXPECT_EQ(plain.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(plain.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(plain.XonLim, 1024);
    EXPECT_NE(plain.XonChar, plain.XoffChar);

    const DCB odd = dcbOf(11, 1, 2, 1, 0);
    EXPECT_EQ(odd.BaudRate, 115200u);
    EXPECT_EQ(odd.ByteSize, 7);
    EXPECT_EQ(odd.Parity, ODDPARITY);
    EXPECT_TRUE(odd.fParity);
    EXPECT_EQ(odd.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcbOf(1, 3, 0, 1, 0).BaudRate, 150u);
    EXPECT_EQ(dcbOf(1, 3, 0, 1, 0).Parity, MARKPARITY);
    EXPECT_EQ(dcbOf(1, 3, 0, 1, 0).StopBits, ONE5STOPBITS);  // 5 bits: the UART's 1.5
    EXPECT_EQ(dcbOf(0, 2, 0, 0, 0).Parity, EVENPARITY);
    // The codes after 115200, and exact rates, as the rate itself.
    EXPECT_EQ(dcbOf(12, 0, 3, 0, 0).BaudRate, 50u);
    EXPECT_EQ(dcbOf(14, 0, 3, 0, 0).BaudRate, 134u);
    EXPECT_EQ(dcbOf(17, 0, 3, 0, 0).BaudRate, 230400u);
    EXPECT_EQ(dcbOf(29, 0, 3, 0, 0).BaudRate, 4000000u);
    EXPECT_EQ(dcbOf(SER_BR_EXACT | 250000, 0, 3, 0, 0).BaudRate, 250000u);
    EXPECT_EQ(dcbOf(SER_BR_EXACT | 0x3FFFFFFF, 0, 3, 0, 0).BaudRate, 0x3FFFFFFFu);

    const DCB xon = dcbOf(7, 0, 3, 0, 1);
    EXPECT_TRUE(xon.fOutX && xon.fInX);
    const DCB cts = dcbOf(7, 0, 3, 0, 2);
    EXPECT_TRUE(cts.fOutxCtsFlow);
    EXPECT_EQ(cts.fRtsControl, RTS_CONTROL_HANDSHAKE);
    const DCB dsr = dcbOf(7, 0, 3, 0, 3);
    EXPECT_TRUE(dsr.fOutxDsrFlow);
    EXPECT_EQ(dsr.fDtrControl, DTR_CONTROL_HANDSHAKE);
    // The In/Out flags each ask for one direction only.
    const DCB hardOut = dcbOf(7, 0, 3, 0, 0x20);
    EXPECT_TRUE(hardOut.fOutxCtsFlow);
    EXPECT_EQ(hardOut.fRtsControl, RTS_CONTROL_ENABLE);
    const DCB softIn = dcbOf(7, 0, 3, 0, 0x40);
    EXPECT_TRUE(softIn.fInX);
    EXPECT_FALSE(softIn.fOutX);
    // Lines the user turned off stay off.
    const DCB off = dcbOf(7, 0, 3, 0, 0, sdrv::ModemLines{false, false});
    EXPECT_EQ(off.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(off.fRtsControl, RTS_CONTROL_DISABLE);
}

TEST(OpenResultTest, CreateFileErrorsMapToOpenResults) {
    EXPECT_EQ(sdrv::openResultFor(ERROR_ACCESS_DENIED), SER_OPEN_IN_USE);
    EXPECT_EQ(sdrv::openResultFor(ERROR_SHARING_VIOLATION), SER_OPEN_IN_USE);
    EXPECT_EQ(sdrv::openResultFor(ERROR_LOCK_VIOLATION), SER_OPEN_IN_USE);
    EXPECT_EQ(sdrv::openResultFor(ERROR_FILE_NOT_FOUND), SER_OPEN_NOT_VALID);
    EXPECT_EQ(sdrv::openResultFor(ERROR_PATH_NOT_FOUND), SER_OPEN_NOT_VALID);
    EXPECT_EQ(sdrv::openResultFor(ERROR_GEN_FAILURE), SER_ERRNO_BASE + ERROR_GEN_FAILURE);
}

TEST(ErrorLatchTest, EachErrorIsReportedOnceByItsOwnQuery) {
    sdrv::ErrorLatch latch;
    EXPECT_FALSE(latch.take(CE_FRAME));
    latch.add(CE_FRAME | CE_BREAK);
    latch.add(0);
    EXPECT_TRUE(latch.take(CE_FRAME));
    EXPECT_FALSE(latch.take(CE_FRAME));
    EXPECT_FALSE(latch.take(CE_RXPARITY));
    EXPECT_TRUE(latch.take(CE_BREAK));
    latch.add(CE_OVERRUN);
    latch.add(CE_OVERRUN);
    EXPECT_TRUE(latch.take(CE_OVERRUN));
    EXPECT_FALSE(latch.take(CE_OVERRUN));
}

}  // namespace
}  // namespace windriver
