#pragma once
// kestrin's options, read with CLI11. Without any, kestrin is the window
// program; the options run it without a window as a local serial port
// (--pty PATH --server HOST:PORT). Anything wrong is refused with one line
// naming the option, the value and what is allowed.
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

#include "client/PortSettings.h"

struct LocalPortOptions {
    std::string link;  // --pty: the name programs open
    std::string host;  // --server
    int port = 0;
    bool raw = false;  // --protocol raw: the bytes as they are, no settings
    LineExtras extras;  // --data-bits, --parity, --dtr, --rts
    size_t holdBytes = 65536;  // --hold
    bool verbose = false;

    // "host:port", "[v6]:port" for the log.
    std::string Endpoint() const;
};

// The options of argv (which has at least one). Nothing when the program is
// to end at once, with *exitStatus set: 0 after --help or --version (printed
// on out), 2 after bad input (one line on err).
std::optional<LocalPortOptions> ParseLocalPortOptions(int argc, const char* const* argv, std::ostream& out,
                                                      std::ostream& err, int* exitStatus);
