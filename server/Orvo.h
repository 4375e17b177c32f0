#pragma once
// The server's class-wide values that several parts read, and the hex text
// codec as the server names it. The values never change after start-up, so
// every thread reads them without locking. The program's entry (the setup
// window) lives with the windows.
#include <string>

#include "Bytes.h"
#include "HexCodec.h"

class Orvo {
public:
    static constexpr int appwidth = 340;   // status window width in pixels
    static constexpr int fontheight = 13;  // status window font size in points
    static constexpr const char (&hexchar)[16] = HexCodec::hexchar;

    // One byte of value 0: what S2BS gives for an unusable length; always
    // the same object.
    static const Bytes& bsdefault() { return HexCodec::bsdefault(); }

    static std::string BS2S(const Bytes& bs, int numbytes) { return HexCodec::BS2S(bs, numbytes); }
    static Bytes S2BS(const std::string& s) { return HexCodec::S2BS(s); }
    static int C2B(char c) { return HexCodec::C2B(c); }

    // Writes s and a line end to standard output.
    static void OutLine(const std::string& s);

    // The program's entry: opens the setup window and runs the window
    // toolkit's event loop. The arguments are ignored. Defined with the
    // windows (server/ui), so the core links no window code.
    static int main(int argc, char** argv);
    // Opens the setup window; nothing else happens until "Start".
    void init();
};
