#include "server/Rfc2217Session.h"

#include <utility>

namespace CPO = ComPortOption;

namespace {

using Telnet = TelnetCodec;

// Parity between the line's names and RFC 2217's codes; space parity has no
// name on the line and is refused.
uint8_t parityCode(const std::string& parity) {
    if (parity == "Odd") return CPO::SET_PARITY_ODD;
    if (parity == "Even") return CPO::SET_PARITY_EVEN;
    if (parity == "Mark") return CPO::SET_PARITY_MARK;
    return CPO::SET_PARITY_NONE;
}

const char* parityName(uint8_t code) {
    switch (code) {
        case CPO::SET_PARITY_NONE: return "None";
        case CPO::SET_PARITY_ODD: return "Odd";
        case CPO::SET_PARITY_EVEN: return "Even";
        case CPO::SET_PARITY_MARK: return "Mark";
        default: return nullptr;
    }
}

// Flow control: none, XON/XOFF and hardware (CTS/RTS), outbound and inbound
// alike, as the line's handshake does both ways.
uint8_t flowCode(const std::string& handshake) {
    if (handshake == "XONXOFF") return CPO::SET_CONTROL_FLOW_XONXOFF;
    if (handshake == "CTSRTS") return CPO::SET_CONTROL_FLOW_HARDWARE;
    return CPO::SET_CONTROL_FLOW_NONE;
}

uint8_t inboundFlowCode(const std::string& handshake) {
    if (handshake == "XONXOFF") return CPO::SET_CONTROL_FLOW_XONXOFF_IN;
    if (handshake == "CTSRTS") return CPO::SET_CONTROL_FLOW_HARDWARE_IN;
    return CPO::SET_CONTROL_FLOW_NONE_IN;
}

std::string byteValue(uint8_t value) { return std::string(1, static_cast<char>(value)); }

}  // namespace

Rfc2217Session::Rfc2217Session(SessionHost& host, std::string signature)
    : StreamSession(host, "rfc2217"),
      signature_(std::move(signature)),
      codec_({Telnet::OPTION_BINARY, Telnet::OPTION_SGA},
             {Telnet::OPTION_BINARY, Telnet::OPTION_SGA, Telnet::OPTION_COM_PORT}),
      toDevice_(kChunk) {}

void Rfc2217Session::Begin() {
    codec_.RequestLocal(Telnet::OPTION_BINARY, true);
    codec_.RequestRemote(Telnet::OPTION_BINARY, true);
    codec_.RequestLocal(Telnet::OPTION_SGA, true);
    codec_.RequestRemote(Telnet::OPTION_SGA, true);
    codec_.RequestRemote(Telnet::OPTION_COM_PORT, true);
    sendNegotiation();
}

void Rfc2217Session::FromClient(const Bytes& data, int n) {
    codec_.Receive(reinterpret_cast<const char*>(data.data()), static_cast<size_t>(n), *this);
    flushToDevice();
    sendNegotiation();
}

void Rfc2217Session::OnData(const char* data, size_t n) {
    // Decoded data is never longer than what was read, one chunk at most.
    if (toDevice_.size() < static_cast<size_t>(pending_) + n) toDevice_.resize(pending_ + n);
    std::copy(data, data + n, toDevice_.begin() + pending_);
    pending_ += static_cast<int>(n);
}

void Rfc2217Session::flushToDevice() {
    if (pending_ == 0) return;
    ToDevice(toDevice_, pending_);
    pending_ = 0;
}

void Rfc2217Session::sendNegotiation() {
    const std::string out = codec_.TakeOutput();
    if (!out.empty()) SendToClient(out.data(), out.size());
}

void Rfc2217Session::OnOptionChange(TelnetCodec::Side side, uint8_t option, bool enabled) {
    // Once the client has agreed to the option, it hears the modem lines.
    if (side == TelnetCodec::Side::Remote && option == Telnet::OPTION_COM_PORT && enabled) announceModem_ = true;
}

void Rfc2217Session::OnSubnegotiation(uint8_t option, const std::string& payload) {
    if (option != CPO::OPTION) return;
    const std::optional<CPO::Message> message = CPO::Parse(payload);
    if (!message || message->FromServer()) return;
    // Data that came before the command reaches the line before it changes.
    flushToDevice();
    command(*message);
}

void Rfc2217Session::acknowledge(uint8_t command, const std::string& value) {
    const std::string reply = Telnet::EncodeSubnegotiation(CPO::OPTION, CPO::Encode(CPO::ServerCode(command), value));
    SendToClient(reply.data(), reply.size());
}

SerialLine Rfc2217Session::changeLine(const std::function<void(SerialLine&)>& change) {
    DeviceStream& device = host().device();
    SerialLine wanted = device.Line();
    change(wanted);
    static_cast<void>(device.SetLine(wanted));
    return device.Line();
}

void Rfc2217Session::command(const ComPortOption::Message& message) {
    // A client that uses the option has agreed to it, whatever the
    // negotiation looked like: it hears the modem lines too.
    if (!announced_) announceModem_ = true;
    DeviceStream& device = host().device();
    const uint8_t code = message.code;
    const std::optional<uint8_t> byte = CPO::ByteValue(message.value);
    switch (code) {
        case CPO::SIGNATURE:
            // An empty one asks for ours; the client's own is only taken note of.
            if (message.value.empty()) acknowledge(code, signature_);
            break;
        case CPO::SET_BAUDRATE: {
            const std::optional<CPO::BaudRate> rate = CPO::ParseBaudRate(message.value);
            SerialLine line = device.Line();
            // A rate in the draft's one-octet code is not taken: the answer
            // says the rate in use.
            if (rate && rate->value != 0 && !rate->legacy && rate->value <= 0x3FFFFFFFu) {
                line = changeLine([&](SerialLine& l) { l.baud = static_cast<int>(rate->value); });
            }
            const std::string answer = CPO::EncodeBaudRate(CPO::ServerCode(code), static_cast<uint32_t>(line.baud));
            const std::string reply = Telnet::EncodeSubnegotiation(CPO::OPTION, answer);
            SendToClient(reply.data(), reply.size());
            break;
        }
        case CPO::SET_DATASIZE: {
            SerialLine line = device.Line();
            if (byte && *byte >= 5 && *byte <= 8) line = changeLine([&](SerialLine& l) { l.dataBits = *byte; });
            acknowledge(code, byteValue(static_cast<uint8_t>(line.dataBits)));
            break;
        }
        case CPO::SET_PARITY: {
            SerialLine line = device.Line();
            if (byte && parityName(*byte)) line = changeLine([&](SerialLine& l) { l.parity = parityName(*byte); });
            acknowledge(code, byteValue(parityCode(line.parity)));
            break;
        }
        case CPO::SET_STOPSIZE: {
            SerialLine line = device.Line();
            if (byte && (*byte == CPO::SET_STOPSIZE_1 || *byte == CPO::SET_STOPSIZE_2)) {
                line = changeLine([&](SerialLine& l) { l.stopBits = *byte; });
            }
            acknowledge(code, byteValue(static_cast<uint8_t>(line.stopBits == 2 ? CPO::SET_STOPSIZE_2
                                                                                : CPO::SET_STOPSIZE_1)));
            break;
        }
        case CPO::SET_CONTROL:
            setControl(byte.value_or(CPO::SET_CONTROL_QUERY_FLOW));
            break;
        case CPO::NOTIFY_LINESTATE:
            acknowledge(code, byteValue(0));
            break;
        case CPO::NOTIFY_MODEMSTATE:
            acknowledge(code, byteValue(static_cast<uint8_t>(modemState(false) & modemMask_)));
            break;
        case CPO::FLOWCONTROL_SUSPEND:
            SuspendDevice(true);
            break;
        case CPO::FLOWCONTROL_RESUME:
            SuspendDevice(false);
            break;
        case CPO::SET_LINESTATE_MASK:
            lineMask_ = byte.value_or(0);
            acknowledge(code, byteValue(lineMask_));
            break;
        case CPO::SET_MODEMSTATE_MASK:
            modemMask_ = byte.value_or(0);
            acknowledge(code, byteValue(modemMask_));
            break;
        case CPO::PURGE_DATA:
            if (byte && *byte >= CPO::PURGE_DATA_RECEIVE && *byte <= CPO::PURGE_DATA_BOTH) {
                device.Purge(*byte != CPO::PURGE_DATA_TRANSMIT, *byte != CPO::PURGE_DATA_RECEIVE);
                acknowledge(code, byteValue(*byte));
            }
            break;
        default:
            break;  // not a command of the option: nothing to answer
    }
}

uint8_t Rfc2217Session::setSignal(uint8_t value, uint8_t query, bool& state, const std::function<bool(bool)>& set) {
    // The codes run query, on, off.
    if (value != query) {
        const bool on = value == query + 1;
        // A state already in use costs the device nothing.
        if (on != state && set(on)) state = on;
    }
    return static_cast<uint8_t>(state ? query + 1 : query + 2);
}

void Rfc2217Session::setControl(uint8_t value) {
    DeviceStream& device = host().device();
    uint8_t answer = value;
    switch (value) {
        case CPO::SET_CONTROL_QUERY_FLOW:
            answer = flowCode(device.Line().handshake);
            break;
        case CPO::SET_CONTROL_FLOW_NONE:
        case CPO::SET_CONTROL_FLOW_XONXOFF:
        case CPO::SET_CONTROL_FLOW_HARDWARE: {
            const char* handshake = value == CPO::SET_CONTROL_FLOW_XONXOFF    ? "XONXOFF"
                                    : value == CPO::SET_CONTROL_FLOW_HARDWARE ? "CTSRTS"
                                                                              : "None";
            answer = flowCode(changeLine([&](SerialLine& l) { l.handshake = handshake; }).handshake);
            break;
        }
        // Break, DTR and RTS: a query (the first of three codes) and the
        // two states; the answer is the state in use afterwards.
        case CPO::SET_CONTROL_QUERY_BREAK:
        case CPO::SET_CONTROL_BREAK_ON:
        case CPO::SET_CONTROL_BREAK_OFF:
            answer = setSignal(value, CPO::SET_CONTROL_QUERY_BREAK, break_, [&](bool on) { return device.SetBreak(on); });
            break;
        case CPO::SET_CONTROL_QUERY_DTR:
        case CPO::SET_CONTROL_DTR_ON:
        case CPO::SET_CONTROL_DTR_OFF:
            answer = setSignal(value, CPO::SET_CONTROL_QUERY_DTR, dtr_, [&](bool on) { return device.SetDtr(on); });
            break;
        case CPO::SET_CONTROL_QUERY_RTS:
        case CPO::SET_CONTROL_RTS_ON:
        case CPO::SET_CONTROL_RTS_OFF:
            answer = setSignal(value, CPO::SET_CONTROL_QUERY_RTS, rts_, [&](bool on) { return device.SetRts(on); });
            break;
        default:
            // Inbound flow control goes with the outbound one on this line:
            // the answer says which is in use, whatever was asked.
            answer = inboundFlowCode(device.Line().handshake);
            break;
    }
    acknowledge(CPO::SET_CONTROL, byteValue(answer));
}

void Rfc2217Session::FromDevice(const Bytes& data, int n) {
    std::string encoded;
    encoded.reserve(static_cast<size_t>(n) + 16);
    Telnet::AppendData(encoded, reinterpret_cast<const char*>(data.data()), static_cast<size_t>(n));
    SendToClient(encoded.data(), encoded.size());
}

uint8_t Rfc2217Session::modemState(bool withChanges) {
    const DeviceStream::ModemLines now = host().device().Modem();
    uint8_t state = static_cast<uint8_t>((now.cts ? CPO::MODEMSTATE_CTS : 0) | (now.dsr ? CPO::MODEMSTATE_DSR : 0) |
                                         (now.ring ? CPO::MODEMSTATE_RI : 0) | (now.carrier ? CPO::MODEMSTATE_CD : 0));
    if (withChanges) {
        if (now.cts != lastModem_.cts) state |= CPO::MODEMSTATE_DELTA_CTS;
        if (now.dsr != lastModem_.dsr) state |= CPO::MODEMSTATE_DELTA_DSR;
        if (lastModem_.ring && !now.ring) state |= CPO::MODEMSTATE_TRAILING_EDGE_RI;
        if (now.carrier != lastModem_.carrier) state |= CPO::MODEMSTATE_DELTA_CD;
        lastModem_ = now;
    }
    return state;
}

void Rfc2217Session::Tick() {
    const auto now = std::chrono::steady_clock::now();
    if (now - polledAt_ < std::chrono::milliseconds(kModemPollMs) && !announceModem_) return;
    polledAt_ = now;
    const bool announce = announceModem_.exchange(false);
    if (announce) announced_ = true;
    const uint8_t state = modemState(true);
    const uint8_t changes = static_cast<uint8_t>(state & 0x0F & modemMask_);
    if (announce || changes != 0) {
        const std::string reply = Telnet::EncodeSubnegotiation(
            CPO::OPTION, CPO::EncodeByte(CPO::ServerCode(CPO::NOTIFY_MODEMSTATE), static_cast<uint8_t>(state & modemMask_)));
        SendToClient(reply.data(), reply.size());
    }
    const uint8_t mask = lineMask_;
    if (mask == 0) return;
    const DeviceStream::LineErrors errors = host().device().Errors();
    const uint8_t line = static_cast<uint8_t>(
        (errors.overrun ? CPO::LINESTATE_OVERRUN_ERROR : 0) | (errors.parity ? CPO::LINESTATE_PARITY_ERROR : 0) |
        (errors.framing ? CPO::LINESTATE_FRAMING_ERROR : 0) | (errors.breakSeen ? CPO::LINESTATE_BREAK_DETECT : 0));
    if ((line & mask) != 0) {
        const std::string reply = Telnet::EncodeSubnegotiation(
            CPO::OPTION, CPO::EncodeByte(CPO::ServerCode(CPO::NOTIFY_LINESTATE), static_cast<uint8_t>(line & mask)));
        SendToClient(reply.data(), reply.size());
    }
}

void Rfc2217Session::End() { host().device().Restore(); }
