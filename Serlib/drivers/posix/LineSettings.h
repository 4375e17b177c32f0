#pragma once
// The line settings of a record, and the one function that turns them into a
// terminal's whole termios state.
#include <termios.h>

#include <cstdint>

#include "Serlib/SerDriver.h"

namespace sdrv {

struct LineSettings {
    int32_t bitRate = 7;    // code, 0..11 (7 is 9600)
    int32_t parity = 0;     // none, odd, even, mark
    int32_t dataBits = 3;   // code, 0..3 (5 to 8 bits)
    int32_t stopBits = 0;   // code, 0..1 (1 or 2 bits)
    int32_t handshake = 0;  // mode 0..2 in the low bits, In/Out flags in 0xF0
};

// Copies the settings out of a record; false when a code is outside its
// range or names something this platform cannot do (DSR/DTR handshaking).
bool settingsFrom(const SerConfigRec& cfg, LineSettings& out);

// The whole termios state for the settings, built from a terminal's present
// one: raw mode, CLOCAL|CREAD, reads that never wait (VMIN 0, VTIME 0), and
// the speed, framing, parity and flow control of the settings.
termios termiosFor(const termios& present, const LineSettings& settings);

// Applies termiosFor to the terminal. 0, SER_CONFIG_BAD_SETTING when the
// terminal did not take the speed or the parity kind, or SER_ERRNO_BASE + errno.
int32_t applySettings(int fd, const LineSettings& settings);

// Raw mode at the terminal's present speed, for a port not yet configured.
int32_t applyRawMode(int fd);

}  // namespace sdrv
