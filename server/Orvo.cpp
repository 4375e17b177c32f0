#include "Orvo.h"

#include <cstdio>

void Orvo::OutLine(const std::string& s) {
    // One write per line, so lines from different threads never interleave.
    const std::string line = s + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
