#pragma once
// The settings of the local port's serial line that travel to the bridge:
// those a program sets through its terminal (bit rate, stop bits, flow
// control), and those it cannot, which the command line gives instead. Both
// are kept in RFC 2217's own codes. Pure values; any thread.
#include <cstdint>
#include <optional>
#include <string>

#include "common/ComPortOption.h"

// What a program's termios carries through a pseudo-terminal.
struct PortSettings {
    uint32_t baud = 9600;                                      // bits per second
    uint8_t stopSize = ComPortOption::SET_STOPSIZE_1;          // SET-STOPSIZE's value
    uint8_t flow = ComPortOption::SET_CONTROL_FLOW_NONE;       // SET-CONTROL's flow value

    bool operator==(const PortSettings& other) const {
        return baud == other.baud && stopSize == other.stopSize && flow == other.flow;
    }
    bool operator!=(const PortSettings& other) const { return !(*this == other); }
    // "57600 bit/s, 1 stop bit, no flow control"
    std::string Text() const;
};

// What a pseudo-terminal does not pass on (Linux forces 8 data bits and no
// parity on it and has no modem lines): sent at every connection when given.
struct LineExtras {
    std::optional<uint8_t> dataSize;  // 5 to 8
    std::optional<uint8_t> parity;    // SET-PARITY's value
    std::optional<bool> dtr;
    std::optional<bool> rts;
};

// The words of one setting's value, for the log: a SET-BAUDRATE value in
// bits per second, the stop size, the parity, a SET-CONTROL value.
std::string BaudText(uint32_t baud);
std::string StopSizeText(uint8_t stopSize);
std::string DataSizeText(uint8_t dataSize);
std::string ParityText(uint8_t parity);
std::string ControlText(uint8_t control);
