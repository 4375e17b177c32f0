#pragma once
// What a client session needs of the bridge, and no more: a client the access
// policy admits, the serial exchange, the status view and the log, and a way
// to report its end. The controller implements it; a protocol's session
// reaches the controller only through it.
//
// Threads: every operation from a session's thread; AcceptClient and the
// exchanges block.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "common/Bytes.h"
#include "common/TcpSocket.h"
#include "server/DeviceStream.h"
#include "server/StatusView.h"

class ClientSession;

class SessionHost {
public:
    struct AcceptedClient {
        TcpSocket socket;
        std::string peer;  // its address and port, for status texts and logs
    };

    virtual ~SessionHost() = default;

    // Waits for the next client the access policy admits; a refused one is
    // closed at once and named in the status. A failed accept is shown and
    // tried again after pause(ms), the session's own interruptible wait.
    // Nothing once the server stops.
    virtual std::optional<AcceptedClient> AcceptClient(const std::function<void(int ms)>& pause) = 0;
    // A client was accepted: what the device sent before now was meant for
    // nobody it could still reach, and is dropped. untilQuiet: also what is
    // still on its way (a stream hands every byte to its client at once,
    // so a late one would reach the wrong client); costs a few ms.
    virtual void SessionBegins(bool untilQuiet) = 0;
    // One serial exchange (the bytes as they are / the text and a line
    // feed); the answer, as hexadecimal text, is shown and goes to asker's
    // ToClient. held keeps asker's window updates back while the command goes
    // to the line and while the answer goes to the client.
    virtual void Exchange(const Bytes& command, ClientSession& asker, HeldUpdates& held) = 0;
    virtual void Exchange(const std::string& command, ClientSession& asker, HeldUpdates& held) = 0;
    // The session's connection has closed: it is current no more, and the
    // next session starts.
    virtual void SessionEnds(const ClientSession& session) = 0;
    // Shows what session says about its own end, unless a session started
    // after it serves a client now; returns whether it was shown. The check
    // and the showing are one step with ShowAccepted, so an old session's
    // last words never land after the newer one's "accepted".
    virtual bool ShowUnlessSuperseded(const ClientSession& session, const std::string& text) = 0;
    // Shows that a session serves the client at peer now.
    virtual void ShowAccepted(const std::string& peer) = 0;
    // The status view and how long a client may stay silent (0: for ever).
    virtual StatusView& view() = 0;
    virtual std::chrono::seconds idleTimeout() const = 0;

    // The stream protocols: the device's bytes both ways as they come.
    virtual DeviceStream& device() = 0;
    // A line of the exchange log (what a client and the device sent each
    // other), when the bridge keeps one; kept to a rate.
    virtual void LogExchange(const std::string& line) = 0;
    // A line of the server's own log.
    virtual void Log(const std::string& line) = 0;
    // Whether the next client has connected and waits for its session.
    virtual bool ClientWaiting() = 0;
};
