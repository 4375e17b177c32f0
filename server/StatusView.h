#pragma once
// What the bridge core needs of the running server's status window: five
// display operations, each replacing the whole text of one field. The core
// (controller, client sessions) calls them from the window's event thread
// and from the client session thread, never while holding a lock of its
// own; an implementation must accept calls from any thread. The FLTK window
// implements this; tests use a recording view.
#include <optional>
#include <string>

#include "server/InetAddress.h"

class StatusView {
public:
    virtual ~StatusView() = default;

    virtual void ShowStatus(const std::string& a) = 0;  // status field
    virtual void ShowTX(const std::string& a) = 0;      // data from the network
    virtual void ShowRX(const std::string& a) = 0;      // data from the serial port
    virtual void ShowSerial(const std::string& a) = 0;  // serial configuration line
    virtual void ShowIP(const std::optional<InetAddress>& a) = 0;  // look-up result
    // A status text about one client, whose address and port a log names;
    // the window shows the text alone.
    virtual void ShowClientStatus(const std::string& a, const std::string& peer) {
        static_cast<void>(peer);
        ShowStatus(a);
    }
    // A line a client sent, as it came: the status field shows
    // "Client Command: " and the line. A log escapes and shortens it and
    // keeps to a rate, since the client chose every byte of it.
    virtual void ShowClientCommand(const std::string& command, const std::string& peer) {
        static_cast<void>(peer);
        ShowStatus("Client Command: " + command);
    }

    // The core brackets the steps whose timing the device and the client see
    // (a command's way to the serial line, an answer's way to the client).
    // Updates the calling thread makes in between may reach the screen only
    // at ResumeUpdates, so that the window's own work does not delay those
    // steps; their order is kept. Holding twice needs one resume.
    virtual void HoldUpdates() {}
    virtual void ResumeUpdates() {}
};

// Holds a view's updates from the calling thread while it lives. release()
// lets them through before then, renew() holds them again.
class HeldUpdates {
public:
    explicit HeldUpdates(StatusView& view) : view_(view) { view_.HoldUpdates(); }
    ~HeldUpdates() { release(); }
    HeldUpdates(const HeldUpdates&) = delete;
    HeldUpdates& operator=(const HeldUpdates&) = delete;

    void release() {
        if (held_) view_.ResumeUpdates();
        held_ = false;
    }
    void renew() {
        if (!held_) view_.HoldUpdates();
        held_ = true;
    }

private:
    StatusView& view_;
    bool held_ = true;
};
