#include "tests/support/TelnetClient.h"

#include "common/NetError.h"

namespace {

// What a side does itself (WILL) and lets the other side do (DO).
std::vector<uint8_t> ownOptions(TelnetClient::Side side) {
    if (side == TelnetClient::Side::Client) {
        return {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA, TelnetCodec::OPTION_COM_PORT};
    }
    return {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA};
}

std::vector<uint8_t> peerOptions(TelnetClient::Side side) {
    if (side == TelnetClient::Side::Client) return {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA};
    return {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA, TelnetCodec::OPTION_COM_PORT};
}

}  // namespace

TelnetClient::TelnetClient(TcpSocket socket, Side side)
    : socket_(std::move(socket)), codec_(ownOptions(side), peerOptions(side)) {
    if (side == Side::Server) {
        codec_.RequestRemote(TelnetCodec::OPTION_COM_PORT, true);
        sendRaw(codec_.TakeOutput());
    }
}

void TelnetClient::sendRaw(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }

void TelnetClient::sendData(const std::string& d) { sendRaw(TelnetCodec::EncodeData(d.data(), d.size())); }

void TelnetClient::command(const std::string& payload) {
    sendRaw(TelnetCodec::EncodeSubnegotiation(ComPortOption::OPTION, payload));
}

bool TelnetClient::readOnce() {
    char buffer[4096];
    size_t n = 0;
    try {
        n = socket_.receive(buffer, sizeof buffer);
    } catch (const NetError&) {
        return false;
    }
    if (n == 0) return false;
    codec_.Receive(buffer, n, *this);
    const std::string out = codec_.TakeOutput();
    if (!out.empty()) sendRaw(out);
    return true;
}

bool TelnetClient::readUntil(const std::function<bool()>& pred) {
    while (!pred()) {
        if (!readOnce()) return false;
    }
    return true;
}

bool TelnetClient::readUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        socket_.setReceiveTimeout(left);
        if (!readOnce()) return false;
    }
    return true;
}

std::optional<std::string> TelnetClient::next(uint8_t code, std::chrono::milliseconds timeout) {
    if (!readUntil([&] { return received(code); }, timeout)) return std::nullopt;
    return take(code);
}

std::optional<std::string> TelnetClient::answerTo(uint8_t command) {
    const uint8_t code = ComPortOption::ServerCode(command);
    if (!readUntil([&] { return received(code); })) return std::nullopt;
    return take(code);
}

bool TelnetClient::received(uint8_t code) const {
    for (const ComPortOption::Message& m : messages_) {
        if (m.code == code) return true;
    }
    return false;
}

void TelnetClient::OnSubnegotiation(uint8_t option, const std::string& payload) {
    if (option != ComPortOption::OPTION) return;
    if (std::optional<ComPortOption::Message> m = ComPortOption::Parse(payload)) messages_.push_back(*m);
}

std::optional<std::string> TelnetClient::take(uint8_t code) {
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (it->code == code) {
            std::string value = it->value;
            messages_.erase(it);
            return value;
        }
    }
    return std::nullopt;
}
