#include "common/Console.h"

#include <cstdio>

void WriteConsoleLine(const std::string& s) {
    const std::string line = s + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
