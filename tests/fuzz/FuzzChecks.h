#pragma once
// The properties each fuzz target checks, as plain functions: libFuzzer's
// entry aborts on a broken one, and the corpus replay test (built with the
// project's own compiler) runs the committed inputs through the same code.
// Each returns the empty text when every property holds, otherwise what broke.
#include <cstddef>
#include <cstdint>
#include <string>

// Hex codec: S2BS and BS2S against a model of the digit rules, round trips.
std::string checkHexCodec(const uint8_t* data, size_t size);

// Line reader: the input's first byte picks the line limit; the rest is a
// sequence of chunks, each a size byte followed by that many stream bytes
// (size 255: the source times out once). Lines must match a model split of
// the whole stream, however it is cut and wherever time-outs fall.
std::string checkLineReader(const uint8_t* data, size_t size);

// Telnet codec: any input decodes within its bounds, and the same whole, cut
// at random points and byte by byte; data and a subnegotiation encoded then
// decoded come back exactly; two codecs making the requests the input names,
// their messages sometimes crossing, settle and agree on every option.
std::string checkTelnetCodec(const uint8_t* data, size_t size);

// One client's byte stream through a real session of the bridge controller,
// over loopback TCP, to a fake serial port: the bytes on the serial line,
// the lines the client receives and the window's transmit field must match
// a model of the line protocol. Uses one SessionHarness for the whole
// process; where the process makes controllers of its own, use a
// SessionHarness of limited lifetime instead.
std::string checkSession(const uint8_t* data, size_t size);
