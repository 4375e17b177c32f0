#include "server/Protocols.h"

#include "server/ClientSocket.h"
#include "server/Rfc2217Session.h"
#include "server/StreamSession.h"

#ifndef ORVO_VERSION
#define ORVO_VERSION "unknown"
#endif

std::shared_ptr<ClientSession> LineProtocol(SessionHost& host) { return std::make_shared<ClientSocket>(host); }

const std::vector<Protocol>& Protocols() {
    static const std::vector<Protocol> protocols = {
        {"line", LineProtocol},
        {"raw", [](SessionHost& host) { return std::make_shared<StreamSession>(host, "raw"); }},
        {"rfc2217",
         [](SessionHost& host) { return std::make_shared<Rfc2217Session>(host, "Orvo " ORVO_VERSION); }},
    };
    return protocols;
}

const Protocol* ProtocolNamed(const std::string& name) {
    for (const Protocol& protocol : Protocols()) {
        if (protocol.name == name) return &protocol;
    }
    return nullptr;
}
