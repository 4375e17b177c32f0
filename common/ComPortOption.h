#pragma once
// RFC 2217's vocabulary (telnet's COM-PORT-OPTION): the message codes, their
// values, and the payload of one message built and parsed. A payload is what
// TelnetCodec carries as a subnegotiation of option 44: a code octet, then the
// value. Only the words: what a value does is the caller's decision.
// Pure functions; any thread.
#include <cstdint>
#include <optional>
#include <string>

namespace ComPortOption {

constexpr uint8_t OPTION = 44;

// Codes a client sends; the server answers with the same code plus 100.
constexpr uint8_t SIGNATURE = 0;  // value: text; empty asks for the peer's
constexpr uint8_t SET_BAUDRATE = 1;
constexpr uint8_t SET_DATASIZE = 2;
constexpr uint8_t SET_PARITY = 3;
constexpr uint8_t SET_STOPSIZE = 4;
constexpr uint8_t SET_CONTROL = 5;
constexpr uint8_t NOTIFY_LINESTATE = 6;
constexpr uint8_t NOTIFY_MODEMSTATE = 7;
constexpr uint8_t FLOWCONTROL_SUSPEND = 8;  // no value
constexpr uint8_t FLOWCONTROL_RESUME = 9;   // no value
constexpr uint8_t SET_LINESTATE_MASK = 10;
constexpr uint8_t SET_MODEMSTATE_MASK = 11;
constexpr uint8_t PURGE_DATA = 12;
constexpr uint8_t SERVER_OFFSET = 100;
constexpr uint8_t ServerCode(uint8_t command) { return static_cast<uint8_t>(command + SERVER_OFFSET); }

// Values, each named after its command; the plain words (PARITY_NONE,
// QUERY) are macros in system headers. SET-BAUDRATE, SET-DATASIZE,
// SET-PARITY, SET-STOPSIZE: 0 asks for the current value. A data size is its
// number of bits, 5 to 8.
constexpr uint8_t QUERY_CURRENT = 0;

constexpr uint8_t SET_PARITY_NONE = 1;
constexpr uint8_t SET_PARITY_ODD = 2;
constexpr uint8_t SET_PARITY_EVEN = 3;
constexpr uint8_t SET_PARITY_MARK = 4;
constexpr uint8_t SET_PARITY_SPACE = 5;

constexpr uint8_t SET_STOPSIZE_1 = 1;
constexpr uint8_t SET_STOPSIZE_2 = 2;
constexpr uint8_t SET_STOPSIZE_1_5 = 3;

// SET-CONTROL values; flow control without "IN" is outbound or both ways.
constexpr uint8_t SET_CONTROL_QUERY_FLOW = 0;
constexpr uint8_t SET_CONTROL_FLOW_NONE = 1;
constexpr uint8_t SET_CONTROL_FLOW_XONXOFF = 2;
constexpr uint8_t SET_CONTROL_FLOW_HARDWARE = 3;
constexpr uint8_t SET_CONTROL_QUERY_BREAK = 4;
constexpr uint8_t SET_CONTROL_BREAK_ON = 5;
constexpr uint8_t SET_CONTROL_BREAK_OFF = 6;
constexpr uint8_t SET_CONTROL_QUERY_DTR = 7;
constexpr uint8_t SET_CONTROL_DTR_ON = 8;
constexpr uint8_t SET_CONTROL_DTR_OFF = 9;
constexpr uint8_t SET_CONTROL_QUERY_RTS = 10;
constexpr uint8_t SET_CONTROL_RTS_ON = 11;
constexpr uint8_t SET_CONTROL_RTS_OFF = 12;
constexpr uint8_t SET_CONTROL_QUERY_FLOW_IN = 13;
constexpr uint8_t SET_CONTROL_FLOW_NONE_IN = 14;
constexpr uint8_t SET_CONTROL_FLOW_XONXOFF_IN = 15;
constexpr uint8_t SET_CONTROL_FLOW_HARDWARE_IN = 16;
constexpr uint8_t SET_CONTROL_FLOW_DCD = 17;
constexpr uint8_t SET_CONTROL_FLOW_DTR_IN = 18;
constexpr uint8_t SET_CONTROL_FLOW_DSR = 19;

// NOTIFY-LINESTATE and SET-LINESTATE-MASK bits.
constexpr uint8_t LINESTATE_DATA_READY = 1;
constexpr uint8_t LINESTATE_OVERRUN_ERROR = 2;
constexpr uint8_t LINESTATE_PARITY_ERROR = 4;
constexpr uint8_t LINESTATE_FRAMING_ERROR = 8;
constexpr uint8_t LINESTATE_BREAK_DETECT = 16;
constexpr uint8_t LINESTATE_TRANSFER_HOLDING_EMPTY = 32;
constexpr uint8_t LINESTATE_TRANSFER_SHIFT_EMPTY = 64;
constexpr uint8_t LINESTATE_TIMEOUT = 128;

// NOTIFY-MODEMSTATE and SET-MODEMSTATE-MASK bits.
constexpr uint8_t MODEMSTATE_DELTA_CTS = 1;
constexpr uint8_t MODEMSTATE_DELTA_DSR = 2;
constexpr uint8_t MODEMSTATE_TRAILING_EDGE_RI = 4;
constexpr uint8_t MODEMSTATE_DELTA_CD = 8;
constexpr uint8_t MODEMSTATE_CTS = 16;
constexpr uint8_t MODEMSTATE_DSR = 32;
constexpr uint8_t MODEMSTATE_RI = 64;
constexpr uint8_t MODEMSTATE_CD = 128;

constexpr uint8_t PURGE_DATA_RECEIVE = 1;
constexpr uint8_t PURGE_DATA_TRANSMIT = 2;
constexpr uint8_t PURGE_DATA_BOTH = 3;

// One message: its code as sent and its value octets.
struct Message {
    uint8_t code = 0;
    std::string value;
    bool FromServer() const { return code >= SERVER_OFFSET; }
    // The client's command code, for a request and for its answer alike.
    uint8_t Command() const { return FromServer() ? static_cast<uint8_t>(code - SERVER_OFFSET) : code; }
};

// The payload of a subnegotiation of OPTION as a message; none when empty.
// Codes are not checked: an unknown one is the caller's to answer.
std::optional<Message> Parse(const std::string& payload);

// A message's payload: the code, then the value.
std::string Encode(uint8_t code, const std::string& value = {});
std::string EncodeByte(uint8_t code, uint8_t value);
// SET-BAUDRATE's four octets, most significant first.
std::string EncodeBaudRate(uint8_t code, uint32_t baud);

// A one-octet value (data size, parity, stop size, control, states, masks,
// purge): its first octet, none when empty. Octets after it are ignored, as
// some peers pad their answers.
std::optional<uint8_t> ByteValue(const std::string& value);

// SET-BAUDRATE's value. Four octets (or more: the first four count, some
// servers pad their answers) are the rate in bits per second, 0 asking for
// the current one. A single octet comes from clients of the protocol's draft,
// which coded the rate in one octet: it is kept as it is and marked legacy
// (0 still asks), for the caller to map or refuse. Two or three octets, or
// none, are not a rate.
struct BaudRate {
    uint32_t value = 0;
    bool legacy = false;
};
std::optional<BaudRate> ParseBaudRate(const std::string& value);

}  // namespace ComPortOption
