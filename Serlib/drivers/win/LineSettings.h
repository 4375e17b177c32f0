#pragma once
// The line settings of a record, and the device control block (DCB) that
// gives a communications device those settings.
#include <windows.h>

#include <cstdint>

#include "Serlib/SerDriver.h"

namespace sdrv {

struct LineSettings {
    int32_t bitRate = 7;    // code, 0..11 (7 is 9600)
    int32_t parity = 0;     // none, odd, even, mark
    int32_t dataBits = 3;   // code, 0..3 (5 to 8 bits)
    int32_t stopBits = 0;   // code, 0..1 (1 or 2 bits)
    int32_t handshake = 0;  // mode 0..3 in the low bits, In/Out flags in 0xF0
};

// The modem lines as the port's user last set them, which a new DCB keeps
// (a DCB sets both lines, and reconfiguring must not undo SerSetDTR).
struct ModemLines {
    bool dtr = true;
    bool rts = true;
};

// Copies the settings out of a record; false when a code is outside its range.
bool settingsFrom(const SerConfigRec& cfg, LineSettings& out);

// The DCB for the settings, built from the device's present one: binary
// mode, errors that never stop reading or writing, parity checked when there
// is parity, and the speed, framing and flow control of the settings.
// rxQueue is the size of the device's input queue, which bounds the XON/XOFF
// limits.
DCB dcbFor(const DCB& present, const LineSettings& settings, const ModemLines& lines, DWORD rxQueue);

}  // namespace sdrv
