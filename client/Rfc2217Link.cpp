#include "client/Rfc2217Link.h"

#include <utility>

namespace CPO = ComPortOption;

using Telnet = TelnetCodec;

Rfc2217Link::Rfc2217Link(ServerLink::Listener& listener, LineExtras extras, bool verbose)
    : listener_(listener),
      extras_(std::move(extras)),
      verbose_(verbose),
      codec_({Telnet::OPTION_BINARY, Telnet::OPTION_SGA, Telnet::OPTION_COM_PORT},
             {Telnet::OPTION_BINARY, Telnet::OPTION_SGA, Telnet::OPTION_COM_PORT}) {}

void Rfc2217Link::Start(Clock::time_point now) {
    now_ = now;
    negotiationEnds_ = now + kNegotiationTime;
    codec_.RequestLocal(Telnet::OPTION_COM_PORT, true);
    codec_.RequestLocal(Telnet::OPTION_BINARY, true);
    codec_.RequestRemote(Telnet::OPTION_BINARY, true);
    codec_.RequestLocal(Telnet::OPTION_SGA, true);
    codec_.RequestRemote(Telnet::OPTION_SGA, true);
    outgoing_ += codec_.TakeOutput();
}

void Rfc2217Link::Receive(const char* data, size_t n) {
    codec_.Receive(data, n, *this);
    // The codec's replies go before anything the agreement sends.
    outgoing_ += codec_.TakeOutput();
    if (agreed_) {
        agreed_ = false;
        takeControl();
    }
}

void Rfc2217Link::OnOptionChange(TelnetCodec::Side, uint8_t option, bool enabled) {
    if (option == Telnet::OPTION_COM_PORT && enabled && !controls_) agreed_ = true;
}

void Rfc2217Link::takeControl() {
    controls_ = true;
    ready_ = true;
    if (extras_.dataSize) send(CPO::SET_DATASIZE, *extras_.dataSize);
    if (extras_.parity) send(CPO::SET_PARITY, *extras_.parity);
    if (extras_.dtr) send(CPO::SET_CONTROL, *extras_.dtr ? CPO::SET_CONTROL_DTR_ON : CPO::SET_CONTROL_DTR_OFF);
    if (extras_.rts) send(CPO::SET_CONTROL, *extras_.rts ? CPO::SET_CONTROL_RTS_ON : CPO::SET_CONTROL_RTS_OFF);
    // What was asked for while the server was still silent.
    if (unsent_) SetPort(*unsent_, std::nullopt);
    if (queryUnsent_) QueryPort();
    unsent_.reset();
    queryUnsent_ = false;
}

void Rfc2217Link::SendData(const char* data, size_t n) { Telnet::AppendData(outgoing_, data, n); }

void Rfc2217Link::SetPort(const PortSettings& wanted, const std::optional<PortSettings>& before) {
    if (!controls_) {
        unsent_ = wanted;
        return;
    }
    if (!before || before->baud != wanted.baud) send(CPO::SET_BAUDRATE, wanted.baud);
    if (!before || before->stopSize != wanted.stopSize) send(CPO::SET_STOPSIZE, wanted.stopSize);
    if (!before || before->flow != wanted.flow) send(CPO::SET_CONTROL, wanted.flow);
}

void Rfc2217Link::QueryPort() {
    if (!controls_) {
        queryUnsent_ = true;
        return;
    }
    query_ = Query{};
    send(CPO::SET_BAUDRATE, CPO::QUERY_CURRENT, true);
    send(CPO::SET_STOPSIZE, CPO::QUERY_CURRENT, true);
    send(CPO::SET_CONTROL, CPO::SET_CONTROL_QUERY_FLOW, true);
}

void Rfc2217Link::Purge(bool received, bool transmitted) {
    if (!controls_ || (!received && !transmitted)) return;
    const uint8_t which = received && transmitted ? CPO::PURGE_DATA_BOTH
                          : received              ? CPO::PURGE_DATA_RECEIVE
                                                  : CPO::PURGE_DATA_TRANSMIT;
    send(CPO::PURGE_DATA, which);
}

void Rfc2217Link::send(uint8_t command, uint32_t value, bool query) {
    const std::string payload = command == CPO::SET_BAUDRATE ? CPO::EncodeBaudRate(command, value)
                                                             : CPO::EncodeByte(command, static_cast<uint8_t>(value));
    outgoing_ += Telnet::EncodeSubnegotiation(CPO::OPTION, payload);
    requests_.push_back(Request{command, value, query, now_});
}

void Rfc2217Link::OnSubnegotiation(uint8_t option, const std::string& payload) {
    if (option != CPO::OPTION) return;
    const std::optional<CPO::Message> message = CPO::Parse(payload);
    if (!message || !message->FromServer()) return;
    const uint8_t command = message->Command();
    if (command == CPO::NOTIFY_LINESTATE || command == CPO::NOTIFY_MODEMSTATE ||
        command == CPO::FLOWCONTROL_SUSPEND || command == CPO::FLOWCONTROL_RESUME) {
        notified(command, message->value);
    } else {
        answered(command, message->value);
    }
}

void Rfc2217Link::answered(uint8_t command, const std::string& value) {
    auto request = requests_.begin();
    while (request != requests_.end() && request->command != command) ++request;
    if (request == requests_.end()) return;  // nothing asked: a peer's extra word
    const Request asked = *request;
    requests_.erase(request);

    std::optional<uint32_t> inUse;
    if (command == CPO::SET_BAUDRATE) {
        const std::optional<CPO::BaudRate> rate = CPO::ParseBaudRate(value);
        if (rate && !rate->legacy) inUse = rate->value;
    } else if (const std::optional<uint8_t> byte = CPO::ByteValue(value)) {
        inUse = *byte;
    }
    if (!inUse) {
        log("the server's answer to " + (asked.query ? std::string("a question") : valueText(command, asked.value)) +
            " cannot be read");
        return;
    }
    if (asked.query) {
        if (!query_) return;
        if (command == CPO::SET_BAUDRATE) query_->baud = *inUse;
        if (command == CPO::SET_STOPSIZE) query_->stopSize = static_cast<uint8_t>(*inUse);
        if (command == CPO::SET_CONTROL) query_->flow = static_cast<uint8_t>(*inUse);
        if (query_->baud && query_->stopSize && query_->flow) {
            const PortSettings line{*query_->baud, *query_->stopSize, *query_->flow};
            query_.reset();
            listener_.LineInUse(line);
        }
        return;
    }
    if (*inUse != asked.value) {
        log("the server refused " + valueText(command, asked.value) + ": the line has " + valueText(command, *inUse));
    } else if (verbose_) {
        log("the server took " + valueText(command, asked.value));
    }
}

void Rfc2217Link::notified(uint8_t command, const std::string& value) {
    switch (command) {
        case CPO::FLOWCONTROL_SUSPEND:
            if (!suspended_ && verbose_) log("the server holds the program's bytes back (flow control)");
            suspended_ = true;
            break;
        case CPO::FLOWCONTROL_RESUME:
            if (suspended_ && verbose_) log("the server takes the program's bytes again");
            suspended_ = false;
            break;
        case CPO::NOTIFY_MODEMSTATE: {
            const std::optional<uint8_t> byte = CPO::ByteValue(value);
            if (!byte) break;
            // The lines themselves; the change bits say nothing new to a log.
            const uint8_t lines = *byte & 0xF0;
            if (modem_ == lines) break;
            modem_ = lines;
            if (!verbose_) break;
            const auto on = [lines](uint8_t bit) { return (lines & bit) != 0 ? " on" : " off"; };
            log(std::string("modem lines: CTS") + on(CPO::MODEMSTATE_CTS) + ", DSR" + on(CPO::MODEMSTATE_DSR) +
                ", RI" + on(CPO::MODEMSTATE_RI) + ", CD" + on(CPO::MODEMSTATE_CD));
            break;
        }
        default:  // NOTIFY-LINESTATE
            if (verbose_) {
                const uint8_t state = CPO::ByteValue(value).value_or(0);
                std::string errors;
                if (state & CPO::LINESTATE_OVERRUN_ERROR) errors += " overrun";
                if (state & CPO::LINESTATE_PARITY_ERROR) errors += " parity";
                if (state & CPO::LINESTATE_FRAMING_ERROR) errors += " framing";
                if (state & CPO::LINESTATE_BREAK_DETECT) errors += " break";
                if (!errors.empty()) log("the line reports:" + errors);
            }
            break;
    }
}

void Rfc2217Link::Tick(Clock::time_point now) {
    now_ = now;
    if (!ready_ && now >= negotiationEnds_) {
        ready_ = true;
        log("the server did not agree to RFC 2217's port control: the program's bytes go, its settings do not");
    }
    while (!requests_.empty() && now - requests_.front().sent >= kAnswerTime) {
        const Request& late = requests_.front();
        log("no answer from the server to " +
            (late.query ? std::string("the question for the line's settings") : valueText(late.command, late.value)));
        if (late.query) query_.reset();
        requests_.pop_front();
    }
}

std::optional<ServerLink::Clock::time_point> Rfc2217Link::Deadline() const {
    std::optional<Clock::time_point> deadline;
    if (!ready_) deadline = negotiationEnds_;
    if (!requests_.empty()) {
        const Clock::time_point answer = requests_.front().sent + kAnswerTime;
        if (!deadline || answer < *deadline) deadline = answer;
    }
    return deadline;
}

std::string Rfc2217Link::valueText(uint8_t command, uint32_t value) {
    const auto byte = static_cast<uint8_t>(value);
    switch (command) {
        case CPO::SET_BAUDRATE: return BaudText(value);
        case CPO::SET_DATASIZE: return DataSizeText(byte);
        case CPO::SET_PARITY: return ParityText(byte);
        case CPO::SET_STOPSIZE: return StopSizeText(byte);
        case CPO::SET_CONTROL: return ControlText(byte);
        case CPO::PURGE_DATA:
            return byte == CPO::PURGE_DATA_RECEIVE    ? "a purge of the bytes received"
                   : byte == CPO::PURGE_DATA_TRANSMIT ? "a purge of the bytes to send"
                                                      : "a purge of the bytes either way";
        default: return "command " + std::to_string(command);
    }
}
