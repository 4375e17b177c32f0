#pragma once
// The protocols the bridge speaks to its clients, each a session class behind
// the ClientSession interface; a running bridge speaks one. A new protocol is
// its session class and one entry in Protocols().
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ClientSession;
class SessionHost;

// Makes a session of one protocol on the given host.
using SessionFactory = std::function<std::shared_ptr<ClientSession>(SessionHost& host)>;

struct Protocol {
    std::string name;  // as the options name it
    SessionFactory makeSession;
};

// Every protocol, the default first.
const std::vector<Protocol>& Protocols();
// The protocol of that name, or nothing.
const Protocol* ProtocolNamed(const std::string& name);

// The line protocol: command lines, answers as hexadecimal lines
// (ClientSocket).
std::shared_ptr<ClientSession> LineProtocol(SessionHost& host);
