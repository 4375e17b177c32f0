#pragma once
// The local port's pseudo-terminal (Linux): the program opens path(), kestrin
// holds the master. The master is non-blocking and in packet mode, and the
// terminal has EXTPROC set, so every change a program makes to the settings
// arrives on the master as a TIOCPKT_IOCTL status; a flush as
// TIOCPKT_FLUSHREAD or TIOCPKT_FLUSHWRITE. kestrin holds the terminal's own
// end open too: the master never hangs up between programs, and the
// settings stay from one program to the next, as a serial port's do.
//
// Linux's pty driver forces 8 data bits and no parity on the terminal and
// has no modem lines and no break, so of the line's settings a program can
// pass on only the bit rate, the stop bits and the flow control. With
// EXTPROC set the terminal also leaves the input alone (no canonical
// editing, no signals, no CR/NL mapping), as a program in raw mode has it.
//
// Threads: one thread uses it. Raises std::system_error on a failed call.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/PortSettings.h"
#include "common/UniqueFd.h"

class PseudoTerminal {
public:
    // A new pseudo-terminal: raw, 8 data bits, 9600 bit/s, 1 stop bit, no
    // flow control, EXTPROC set.
    PseudoTerminal();

    // The terminal's device (/dev/pts/N).
    const std::string& path() const { return path_; }
    // The master, for poll (POLLIN: bytes or a status; POLLPRI: a status).
    int master() const { return master_.get(); }

    // One read of the master into buffer: the bytes the program wrote, or,
    // with *status non-zero, a TIOCPKT status and no bytes. 0 with status 0
    // when nothing waits.
    size_t Read(char* buffer, size_t size, uint8_t* status);
    // Writes what the terminal takes now for the program to read; the count.
    size_t Write(const char* data, size_t n);

    // The settings a program gave the terminal.
    PortSettings Settings() const;
    // Sets EXTPROC again when a program's settings cleared it (true then),
    // so that its later changes are seen.
    bool KeepExtproc();
    // Gives the terminal these settings, keeping everything else.
    void Apply(const PortSettings& settings);

private:
    UniqueFd master_;
    UniqueFd terminal_;  // the program's end, held so the master never hangs up
    std::string path_;
};
