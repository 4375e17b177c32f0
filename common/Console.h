#pragma once
// The programs' console: standard output, one line at a time.
#include <string>

// Writes s and a line end with one write, flushed at once, so lines from
// different threads never interleave and a reader of the output sees each
// line as it happens. Any thread.
void WriteConsoleLine(const std::string& s);
