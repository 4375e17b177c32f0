#pragma once
// The line settings of a record, and the one function that turns them into a
// terminal's whole termios state.
#include <termios.h>

#include <cstdint>

#include "Serlib/SerDriver.h"
#include "Serlib/drivers/common/Record.h"

namespace sdrv {

// Copies the settings out of a record (see Record.h); a termios terminal
// cannot do DSR/DTR handshaking, so CTS/RTS is the highest mode, and it sets
// only the speeds termios names, so exact bit rates are refused.
inline bool settingsFrom(const SerConfigRec& cfg, LineSettings& out) {
    return settingsFrom(cfg, PlatformAbilities{kModeCtsRts, false}, out);
}

// The whole termios state for the settings, built from a terminal's present
// one: raw mode, CLOCAL|CREAD, reads that never wait (VMIN 0, VTIME 0), and
// the speed, framing, parity and flow control of the settings.
termios termiosFor(const termios& present, const LineSettings& settings);

// Applies termiosFor to the terminal. 0, SER_CONFIG_BAD_SETTING when the
// terminal did not take the speed or the parity kind, or SER_ERRNO_BASE + errno.
// On a pseudo-terminal the data bits and the parity are taken without being
// set: it has neither, and the port keeps the record's values.
int32_t applySettings(int fd, const LineSettings& settings);

// Whether fd is a pseudo-terminal's device side.
bool isPseudoTerminal(int fd);

// Raw mode at the terminal's present speed, for a port not yet configured.
int32_t applyRawMode(int fd);

}  // namespace sdrv
