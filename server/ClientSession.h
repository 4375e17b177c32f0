#pragma once
// One client's session in the protocol the bridge speaks: the interface a
// protocol implements. The session registry runs run() on a thread of the
// session's own; run() waits for a client (SessionHost::AcceptClient), serves
// it in its protocol and, once the connection has closed, reports the end
// (SessionHost::SessionEnds), after which the next session starts. The
// controller never knows which protocol a session speaks.
//
// Threads: run() on the session's thread; the rest from any thread, each a
// session makes safe against its own run().
#include <string>

class ClientSession {
public:
    virtual ~ClientSession() = default;

    // The session's whole life: accept, serve, end.
    virtual void run() = 0;
    // Whether a client connection is open.
    virtual bool connected() = 0;
    // The client's address and port ("192.0.2.7:5000"), once accepted.
    virtual std::string peer() const = 0;
    // The operator's answer for this client (an exchange from the status
    // window): in the protocol's own form, or nothing where the protocol
    // has no such answer.
    virtual void ToClient(const std::string& s) = 0;
    // The operator closes the connection, or the program ends: the client
    // hears the protocol's goodbye and the connection closes.
    virtual void Close() = 0;
    // The controller shuts down: the client hears the goodbye, and any
    // blocked read or pause of the session ends, so that run() returns.
    virtual void interrupt() = 0;
};
