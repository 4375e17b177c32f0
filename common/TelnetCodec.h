#pragma once
// The telnet layer of one connection (RFC 854, 855): received bytes in, data,
// subnegotiations and commands out, option negotiation answered by the codec
// itself. No sockets, no threads; one thread at a time per codec.
//
// Decoding keeps its state across calls: a stream cut into pieces of any size,
// even byte by byte, decodes the same. Bytes come out untouched apart from
// telnet's own escapes (IAC IAC is one 0xFF): no CR/NUL or CR/LF translation,
// whatever BINARY's state. A run of data without IAC reaches the handler in
// one OnData call.
//
// What a malformed stream does, so that decoding always resynchronises and
// the data after the fault is kept:
//  - IAC followed by anything but IAC, SB, WILL, WONT, DO or DONT is a
//    two-byte command (this includes IAC SE outside a subnegotiation and codes
//    telnet does not define): reported through OnCommand, no data.
//  - Inside a subnegotiation, IAC followed by anything but IAC or SE ends it
//    unfinished: it is dropped and counted, and the IAC and that byte are read
//    as outside one (a negotiation, a command or a new IAC SB).
//  - A subnegotiation without even its option byte (IAC SB IAC SE) is dropped
//    and counted.
//  - A subnegotiation whose payload exceeds the limit is read to its end and
//    dropped and counted; at most the limit is ever held.
//
// Option negotiation follows RFC 1143's Q method, queue included, for each
// option on each side: "local" is what we do (we send WILL/WONT, the peer
// DO/DONT), "remote" what the peer does (it sends WILL/WONT, we DO/DONT). A
// request for an option already in the requested state is never answered (no
// negotiation loops); a request to enable an option the codec was not told to
// accept on that side is refused at once (DO x gets WONT x, WILL x gets
// DONT x). Replies, and the codec's own requests, collect in an outgoing
// buffer the caller takes (TakeOutput) and sends, best after every Receive.
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TelnetCodec {
public:
    // Commands (RFC 854).
    static constexpr uint8_t IAC = 255;
    static constexpr uint8_t DONT = 254;
    static constexpr uint8_t DO = 253;
    static constexpr uint8_t WONT = 252;
    static constexpr uint8_t WILL = 251;
    static constexpr uint8_t SB = 250;
    static constexpr uint8_t GA = 249;
    static constexpr uint8_t EL = 248;
    static constexpr uint8_t EC = 247;
    static constexpr uint8_t AYT = 246;
    static constexpr uint8_t AO = 245;
    static constexpr uint8_t IP = 244;
    static constexpr uint8_t BRK = 243;
    static constexpr uint8_t DM = 242;
    static constexpr uint8_t NOP = 241;
    static constexpr uint8_t SE = 240;
    // Options; prefixed, as <termios.h> defines ECHO as a macro.
    static constexpr uint8_t OPTION_BINARY = 0;     // RFC 856
    static constexpr uint8_t OPTION_ECHO = 1;       // RFC 857
    static constexpr uint8_t OPTION_SGA = 3;        // RFC 858, suppress go-ahead
    static constexpr uint8_t OPTION_COM_PORT = 44;  // RFC 2217's COM-PORT-OPTION

    // RFC 2217's messages are a few bytes; a long signature text still fits.
    static constexpr size_t kDefaultMaxSubnegotiation = 1024;

    enum class Side { Local, Remote };

    // What decoding delivers, in stream order, during Receive.
    class Handler {
    public:
        virtual ~Handler() = default;
        // Data bytes, unescaped; n > 0. The pointer is valid during the call.
        virtual void OnData(const char* data, size_t n) = 0;
        // A whole IAC SB option ... IAC SE, IAC IAC inside un-doubled.
        // Delivered whatever the option's negotiated state: the caller decides.
        virtual void OnSubnegotiation(uint8_t option, const std::string& payload) = 0;
        // A two-byte command (NOP, BRK, AYT, ..., or an undefined code).
        virtual void OnCommand(uint8_t /*command*/) {}
        // An option became enabled or disabled through the peer's message.
        // A disable the caller asks for itself (Request...(x, false)) takes
        // effect at once and is not reported.
        virtual void OnOptionChange(Side /*side*/, uint8_t /*option*/, bool /*enabled*/) {}
    };

    // The options we agree to enable on our side and on the peer's; all
    // others are refused. Nothing is sent until the caller requests.
    TelnetCodec(const std::vector<uint8_t>& localAccepted, const std::vector<uint8_t>& remoteAccepted,
                size_t maxSubnegotiation = kDefaultMaxSubnegotiation);

    // Decodes n received bytes, calling the handler for what they complete.
    void Receive(const char* data, size_t n, Handler& handler);

    // The bytes to send to the peer (negotiation replies and requests) since
    // the last call; empty when there are none.
    std::string TakeOutput();

    // Asks to enable or disable an option on our side (WILL/WONT) or the
    // peer's (DO/DONT). Sends nothing when the option is already in that state
    // or a request for it is pending; a request made while the opposite one
    // is pending is queued and sent once the peer answers (RFC 1143). Enabling
    // an option not accepted on that side does nothing.
    void RequestLocal(uint8_t option, bool enable);
    void RequestRemote(uint8_t option, bool enable);

    // Enabled: agreed by both sides, and no disable pending.
    bool LocalEnabled(uint8_t option) const { return local_[option].state == Q::Yes; }
    bool RemoteEnabled(uint8_t option) const { return remote_[option].state == Q::Yes; }

    // Subnegotiations dropped as over-long or malformed, since construction.
    size_t DroppedSubnegotiations() const { return dropped_; }
    // Bytes held for an unfinished subnegotiation: never more than the limit
    // plus its option byte.
    size_t BufferedBytes() const { return sb_.size() + (sbHasOption_ ? 1 : 0); }

    // Data with every IAC doubled, appended to out; for large blocks.
    static void AppendData(std::string& out, const char* data, size_t n);
    static std::string EncodeData(const char* data, size_t n);
    // IAC SB option payload IAC SE, IAC doubled inside (the option's too).
    static std::string EncodeSubnegotiation(uint8_t option, const std::string& payload);
    // IAC command, and IAC verb option. Negotiation verbs sent this way bypass
    // the option state: use the Request calls on a live connection.
    static std::string EncodeCommand(uint8_t command);
    static std::string EncodeCommand(uint8_t verb, uint8_t option);

private:
    enum class State : uint8_t { Data, Iac, Verb, Sb, SbIac };
    // RFC 1143's states; `opposite` is its one-entry queue.
    struct Q {
        enum : uint8_t { No, Yes, WantNo, WantYes } state = No;
        bool opposite = false;
    };
    using Table = std::array<Q, 256>;

    const char* deliverData(const char* run, const char* scan, const char* end, Handler& handler);
    void appendSb(const char* data, size_t n);
    void finishSb(Handler& handler);
    void negotiate(uint8_t verb, uint8_t option, Handler& handler);
    void receivedYes(Side side, uint8_t option, Handler& handler);
    void receivedNo(Side side, uint8_t option, Handler& handler);
    void request(Side side, uint8_t option, bool enable);
    void send(uint8_t verb, uint8_t option);
    Table& table(Side side) { return side == Side::Local ? local_ : remote_; }
    bool accepted(Side side, uint8_t option) const {
        return side == Side::Local ? localAccepted_[option] : remoteAccepted_[option];
    }

    const size_t maxSubnegotiation_;
    std::bitset<256> localAccepted_;
    std::bitset<256> remoteAccepted_;
    Table local_{};
    Table remote_{};

    State state_ = State::Data;
    uint8_t verb_ = 0;           // in State::Verb: WILL, WONT, DO or DONT
    uint8_t sbOption_ = 0;
    bool sbHasOption_ = false;   // the option byte of the subnegotiation was read
    bool sbOverflow_ = false;    // its payload passed the limit: it is dropped at its end
    std::string sb_;             // its payload so far
    size_t dropped_ = 0;
    std::string output_;
};
