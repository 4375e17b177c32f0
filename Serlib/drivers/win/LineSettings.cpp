#include "Serlib/drivers/win/LineSettings.h"

namespace sdrv {

namespace {

constexpr BYTE kParities[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY};

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

}  // namespace

DCB dcbFor(const DCB& present, const LineSettings& s, const ModemLines& lines, DWORD rxQueue) {
    DCB dcb = present;
    dcb.DCBlength = sizeof(DCB);
    // A DCB takes the rate itself (CBR_9600 is 9600), standard or exact;
    // whether the device can run at it is SetCommState's to say.
    dcb.BaudRate = static_cast<DWORD>(Serlib::bitrates::rateOfCode(s.bitRate));
    dcb.ByteSize = static_cast<BYTE>(5 + s.dataBits);
    dcb.Parity = kParities[s.parity];
    dcb.fParity = s.parity != 0 ? TRUE : FALSE;
    // A UART sends 1.5 stop bits when asked for two with 5-bit characters,
    // and Windows drivers refuse TWOSTOPBITS with 5 bits: ask for what the
    // line will carry.
    if (s.stopBits == 1) {
        dcb.StopBits = s.dataBits == 0 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        dcb.StopBits = ONESTOPBIT;
    }
    dcb.fBinary = TRUE;
    // With abort-on-error a line error would fail every read and write until
    // ClearCommError; errors are reported by their queries instead.
    dcb.fAbortOnError = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fDsrSensitivity = FALSE;

    const int32_t mode = s.handshake & kModeMask;
    const bool hardOut = mode == kModeCtsRts || (s.handshake & kHardOut) != 0;
    const bool hardIn = mode == kModeCtsRts || (s.handshake & kHardIn) != 0;
    const bool dsrDtr = mode == kModeDsrDtr;
    dcb.fOutxCtsFlow = hardOut ? TRUE : FALSE;  // CTS pauses our output
    dcb.fRtsControl = hardIn ? RTS_CONTROL_HANDSHAKE : (lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    dcb.fOutxDsrFlow = dsrDtr ? TRUE : FALSE;
    dcb.fDtrControl = dsrDtr ? DTR_CONTROL_HANDSHAKE : (lines.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE);

    dcb.fOutX = (mode == kModeXonXoff || (s.handshake & kSoftOut) != 0) ? TRUE : FALSE;  // the far end's XOFF pauses us
    dcb.fInX = (mode == kModeXonXoff || (s.handshake & kSoftIn) != 0) ? TRUE : FALSE;    // we send XOFF when full
    // After an XOFF of ours the far end may send on; waiting for its XON
    // could stop both ends for good.
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    // XOFF when a quarter of the input queue is left free, XON once it is
    // down to a quarter full; a driver refuses limits beyond its queue.
    const DWORD quarter = rxQueue / 4;
    dcb.XonLim = static_cast<WORD>(quarter > 0xFFFF ? 0xFFFF : quarter);
    dcb.XoffLim = dcb.XonLim;
    return dcb;
}

}  // namespace sdrv
