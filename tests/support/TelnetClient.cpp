#include "tests/support/TelnetClient.h"

#include "common/NetError.h"

TelnetClient::TelnetClient(TcpSocket socket)
    : socket_(std::move(socket)),
      codec_({TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA, TelnetCodec::OPTION_COM_PORT},
             {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA}) {}

void TelnetClient::sendRaw(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }

void TelnetClient::sendData(const std::string& d) { sendRaw(TelnetCodec::EncodeData(d.data(), d.size())); }

void TelnetClient::command(const std::string& payload) {
    sendRaw(TelnetCodec::EncodeSubnegotiation(ComPortOption::OPTION, payload));
}

bool TelnetClient::readUntil(const std::function<bool()>& pred) {
    char buffer[4096];
    while (!pred()) {
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
    }
    return true;
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
