#include "server/Protocols.h"

#include "server/ClientSocket.h"

std::shared_ptr<ClientSession> LineProtocol(SessionHost& host) { return std::make_shared<ClientSocket>(host); }

const std::vector<Protocol>& Protocols() {
    static const std::vector<Protocol> protocols = {
        {"line", LineProtocol},
    };
    return protocols;
}
