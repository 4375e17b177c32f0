#pragma once
// An RFC 2217 peer for tests: a connection whose incoming bytes are decoded
// by a telnet codec, with the Com Port Control Option's messages kept apart
// from the data. As a client it agrees to COM-PORT-OPTION, BINARY and SGA as
// pySerial's client does; as a server it asks for COM-PORT-OPTION at once
// (DO COM-PORT-OPTION), as orvo does. One test thread uses it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ComPortOption.h"
#include "common/TcpSocket.h"
#include "common/TelnetCodec.h"

class TelnetClient : private TelnetCodec::Handler {
public:
    enum class Side { Client, Server };
    explicit TelnetClient(TcpSocket socket, Side side = Side::Client);

    // Bytes as they are, data with IAC doubled, a Com Port Control Option
    // message (its payload: the code and the value).
    void sendRaw(const std::string& bytes);
    void sendData(const std::string& data);
    void command(const std::string& payload);
    // Reads and decodes until pred holds, answering the server's
    // negotiation as it goes; false when the connection ended or the
    // socket's receive time-out ran out first.
    bool readUntil(const std::function<bool()>& pred);
    // The same within timeout, whatever the socket's own time-out.
    bool readUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    // The value of the server's message with this code (a command's code
    // plus 100), taken off the list; nothing when none came in time.
    std::optional<std::string> answerTo(uint8_t command);
    // The value of the peer's message with this code, taken off the list;
    // nothing when none came within timeout.
    std::optional<std::string> next(uint8_t code, std::chrono::milliseconds timeout);
    // Whether a server message with this code came (it stays listed).
    bool received(uint8_t code) const;

    // The data the server sent so far, decoded.
    std::string data;
    TcpSocket& socket() { return socket_; }

private:
    // One receive, decoded, the codec's answers sent; false when the
    // connection ended or the receive time-out ran out.
    bool readOnce();
    void OnData(const char* d, size_t n) override { data.append(d, n); }
    void OnSubnegotiation(uint8_t option, const std::string& payload) override;
    std::optional<std::string> take(uint8_t code);

    TcpSocket socket_;
    TelnetCodec codec_;
    std::vector<ComPortOption::Message> messages_;
};
