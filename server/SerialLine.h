#pragma once
// One serial line as the operator sets it up: the port and its line settings
// in the setup window's terms (the texts and numbers of its lists). It is
// carried as one value from the setup window or the command line down to the
// serial line adapter. The defaults are the setup window's first choices.
#include <string>

struct SerialLine {
    std::string port = "COM1";  // COM1 to COM8, or a device path
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    std::string parity = "None";
    std::string handshake = "None";
    int dtr = 1;  // 1 raises DTR once the port is open, 0 leaves it

    // Whether the line runs the same: every setting but the port's name and
    // DTR at start.
    bool SameSettings(const SerialLine& other) const {
        return baud == other.baud && dataBits == other.dataBits && stopBits == other.stopBits &&
               parity == other.parity && handshake == other.handshake;
    }

    // How long one character takes on the line, in milliseconds: a start
    // bit, the data bits, a parity bit unless parity is "None", the stop bits.
    double CharacterMilliseconds() const {
        const int bits = 1 + dataBits + (parity == "None" ? 0 : 1) + stopBits;
        return baud > 0 ? bits * 1000.0 / baud : 0.0;
    }
};
