#pragma once
// Text a client sent, made fit for a log line: whatever the bytes, the line
// stays one line, puts nothing on an operator's terminal but characters, and
// stays short. Pure functions; any thread.
#include <cstddef>
#include <string>

// How much of a client's text a log line shows: a command is at most 34
// characters ("0x" and 32 hex digits), so this shows every valid one whole.
constexpr size_t kLoggedTextBytes = 64;

// text with every byte that is not printable written as \xHH: control
// characters (C0, DEL and C1), bytes that are not UTF-8, and the characters
// that turn text around or end a line (bidirectional controls, U+2028 and
// U+2029); a backslash becomes \\ so that an escape cannot be forged.
// Printable UTF-8 passes unchanged. Longer than mostBytes, the text is cut at
// a character's start at or before that many bytes and says so:
// "...(4096 bytes, cut)".
std::string LoggableText(const std::string& text, size_t mostBytes = kLoggedTextBytes);
