#pragma once
// Bytes as upper-case hexadecimal text and back: every answer of the serial
// device travels as hex text, and "0x" commands arrive as hex text.
// Pure functions; any thread.
#include <string>

#include "common/Bytes.h"

namespace HexCodec {

// The digits 0-9 then A-F: entry n is the digit for the value n.
extern const char hexchar[16];

// The result of S2BS for a text of unusable length: one byte of value 0.
const Bytes& bsdefault();

// The first numbytes bytes as two upper-case digits each, high digit first,
// no separators. numbytes <= 0 gives ""; a count beyond the array is cut to it.
std::string BS2S(const Bytes& bs, int numbytes);
std::string BS2S(const unsigned char* bs, int numbytes);

// Hex text (without prefix) to bytes: complete pairs from the start, a last
// unpaired digit ignored, non-digits counting as 0. An empty text or one of
// 33 characters or more gives bsdefault().
Bytes S2BS(const std::string& s);

// The value of one hex digit, either case; 0 for any other character.
int C2B(char c);

}  // namespace HexCodec
