#pragma once
// The server's class-wide values that several parts read, the hex text codec
// as the server names it, and the program itself: its entry and the one
// bridge controller it runs. The values never change after start-up, so every
// thread reads them without locking. The entry (the setup window) lives with
// the windows.
#include <memory>
#include <mutex>
#include <string>

#include "server/BridgeSettings.h"
#include "common/Bytes.h"
#include "common/HexCodec.h"
#include "server/LocalCAM.h"

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

    // The program's entry: reads the options, then runs the bridge without
    // windows (--headless), or starts the window program in its place.
    static int main(int argc, char** argv);
    // The window program's entry (server/ui): reads the options, opens the
    // setup window and runs the window toolkit's event loop.
    static int RunWithWindows(int argc, char** argv);

    // settings: what the options asked for (the setup window's choices, and
    // how clients are treated).
    explicit Orvo(BridgeSettings settings = BridgeSettings());
    ~Orvo();
    Orvo(const Orvo&) = delete;
    Orvo& operator=(const Orvo&) = delete;

    // Event thread: opens the setup window; nothing else happens until
    // "Start" makes the controller.
    void init();
    // Runs the bridge without windows and without a display: status texts
    // become log lines on standard error, systemd hears READY and STATUS,
    // a port that does not open is tried again every 2 s. Returns only when
    // the server cannot listen (with the exit status); signals end it.
    int RunHeadless();

    // Every way out ends here, from any thread: the serial port is closed
    // first (once any exchange in progress is over), so its lock and its
    // exclusive use go back to the system even where another process keeps
    // the device open; then the process ends at once. A session thread may
    // be inside a socket read, and running destructors under it would pull
    // the controller from beneath it.
    [[noreturn]] void EndProcess(int status);
    // A way out from outside (SIGTERM, Ctrl+C, ...; see ExitSignals): as
    // closing the window, the client hears "CLOSE", the status shows
    // "Server stopped by " and the name; then EndProcess(0).
    [[noreturn]] void EndOnSignal(const char* name);

private:
    // "Start": the setup window's choices in the settings the options gave.
    void CreateController(const BridgeSettings& chosen);
    // What the settings ask of the controller beyond the serial line.
    static LocalCAM::Options ControllerOptions(const BridgeSettings& settings);
    // The sessions of the protocol the settings name.
    static SessionFactory SessionsOf(const BridgeSettings& settings);

    const BridgeSettings settings_;

    // The controller, once "Start" has made it; the exit paths reach it from
    // the event thread and from the signal thread.
    std::mutex controllerMutex_;
    std::unique_ptr<LocalCAM> controller_;
};
