#pragma once
// The line settings of a record, and the device control block (DCB) that
// gives a communications device those settings.
#include <windows.h>

#include <cstdint>

#include "Serlib/SerDriver.h"
#include "Serlib/drivers/common/Record.h"

namespace sdrv {

// The modem lines as the port's user last set them, which a new DCB keeps
// (a DCB sets both lines, and reconfiguring must not undo SerSetDTR).
struct ModemLines {
    bool dtr = true;
    bool rts = true;
};

// Copies the settings out of a record (see Record.h); Windows does DSR/DTR
// handshaking too, so every mode up to it is taken, and a DCB holds the bit
// rate itself, so exact rates are taken as well.
inline bool settingsFrom(const SerConfigRec& cfg, LineSettings& out) {
    return settingsFrom(cfg, PlatformAbilities{kModeDsrDtr, true}, out);
}

// The DCB for the settings, built from the device's present one: binary
// mode, errors that never stop reading or writing, parity checked when there
// is parity, and the speed, framing and flow control of the settings.
// rxQueue is the size of the device's input queue, which bounds the XON/XOFF
// limits.
DCB dcbFor(const DCB& present, const LineSettings& settings, const ModemLines& lines, DWORD rxQueue);

}  // namespace sdrv
