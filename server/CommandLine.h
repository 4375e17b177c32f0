#pragma once
// orvo's options, on the command line and as the keys of a configuration
// file (INI or TOML, "key = value"), read with CLI11. Every option has the
// names and values of the setup window's lists; anything else is refused
// with one line naming the option, the value and what is allowed.
#include <optional>
#include <ostream>

#include "server/BridgeSettings.h"

struct CommandLine {
    BridgeSettings settings;
    bool headless = false;  // run without windows (and without a display)
};

// The options of argv. Nothing when the program is to end at once, with
// *exitStatus set: 0 after --help or --version (printed on out), 2 after bad
// input (one line on err). Opens nothing but the configuration file.
std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                            int* exitStatus);
