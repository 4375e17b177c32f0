#include <algorithm>
#include <string>
#include <vector>

#include "common/TelnetCodec.h"
#include "tests/fuzz/FuzzChecks.h"

namespace {

using T = TelnetCodec;

const std::vector<uint8_t> kLocal{T::OPTION_BINARY, T::OPTION_SGA};
const std::vector<uint8_t> kRemote{T::OPTION_BINARY, T::OPTION_SGA, T::OPTION_COM_PORT};

bool in(const std::vector<uint8_t>& set, uint8_t option) {
    return std::find(set.begin(), set.end(), option) != set.end();
}

// What decoding delivered, one entry per event, consecutive data joined;
// the first thing a handler saw against the limits is kept in `broken`.
struct Recorder : T::Handler {
    size_t limit = 0;
    std::vector<std::string> events;
    std::string broken;

    void OnData(const char* p, size_t n) override {
        if (n == 0) broken = "an empty data call";
        if (!events.empty() && events.back()[0] == 'd') {
            events.back().append(p, n);
        } else {
            events.push_back("d" + std::string(p, n));
        }
    }
    void OnSubnegotiation(uint8_t option, const std::string& payload) override {
        if (payload.size() > limit) broken = "a subnegotiation over the limit was delivered";
        events.push_back("s" + std::string(1, static_cast<char>(option)) + payload);
    }
    void OnCommand(uint8_t command) override { events.push_back("c" + std::string(1, static_cast<char>(command))); }
    void OnOptionChange(T::Side side, uint8_t option, bool enabled) override {
        events.push_back(std::string("o") + (side == T::Side::Local ? 'l' : 'r') + static_cast<char>(option) +
                         (enabled ? '1' : '0'));
    }
};

struct Result {
    Recorder rec;
    std::string output;
    size_t dropped = 0;
    std::string enabled;  // per option: local and remote
};

// A small deterministic generator, seeded from the input.
struct Rng {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
};

// Decodes `stream` cut at the given points; checks the bounds on the way.
std::string decode(const std::string& stream, const std::vector<size_t>& cuts, size_t limit, Result& r) {
    T codec(kLocal, kRemote, limit);
    r.rec.limit = limit;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : stream.size();
        codec.Receive(stream.data() + from, to - from, r.rec);
        if (codec.BufferedBytes() > limit + 1) return "more than the limit held";
        r.output += codec.TakeOutput();
        from = to;
    }
    if (!r.rec.broken.empty()) return r.rec.broken;
    // Each reply answers one three-byte negotiation received.
    if (r.output.size() > stream.size()) return "more replies than negotiations";
    for (size_t i = 0; i + 2 < r.output.size(); i += 3) {
        const uint8_t verb = static_cast<uint8_t>(r.output[i + 1]);
        const uint8_t option = static_cast<uint8_t>(r.output[i + 2]);
        if ((verb == T::WILL && !in(kLocal, option)) || (verb == T::DO && !in(kRemote, option))) {
            return "agreed to an option not accepted";
        }
    }
    for (int option = 0; option < 256; ++option) {
        const bool local = codec.LocalEnabled(static_cast<uint8_t>(option));
        const bool remote = codec.RemoteEnabled(static_cast<uint8_t>(option));
        if ((local && !in(kLocal, static_cast<uint8_t>(option))) ||
            (remote && !in(kRemote, static_cast<uint8_t>(option)))) {
            return "an option not accepted is enabled";
        }
        r.enabled += static_cast<char>('0' + local + 2 * remote);
    }
    r.dropped = codec.DroppedSubnegotiations();
    // Asked for the state an option is already in, the codec says nothing
    // (none is pending: it made no requests of its own). First back to data
    // from wherever the stream ended: option 200 is never accepted, so a
    // negotiation of it changes nothing, and IAC SE ends a subnegotiation.
    Recorder ignored;
    ignored.limit = limit;
    const std::string sync{static_cast<char>(200), static_cast<char>(T::IAC), static_cast<char>(T::SE)};
    codec.Receive(sync.data(), sync.size(), ignored);
    codec.TakeOutput();
    std::string current;
    for (int option = 0; option < 256; ++option) {
        const uint8_t o = static_cast<uint8_t>(option);
        current += T::EncodeCommand(codec.LocalEnabled(o) ? T::DO : T::DONT, o);
        current += T::EncodeCommand(codec.RemoteEnabled(o) ? T::WILL : T::WONT, o);
    }
    codec.Receive(current.data(), current.size(), ignored);
    if (!codec.TakeOutput().empty()) return "a request for an option's current state was answered";
    return {};
}

bool same(const Result& a, const Result& b) {
    return a.rec.events == b.rec.events && a.output == b.output && a.dropped == b.dropped && a.enabled == b.enabled;
}

std::vector<size_t> randomCuts(size_t size, Rng& rng) {
    std::vector<size_t> cuts;
    for (size_t at = 0; at < size;) {
        at += 1 + rng.next() % 24;
        if (at < size) cuts.push_back(at);
    }
    return cuts;
}

// Takes what each codec sent and delivers it to the other until neither has
// more to say; false if they keep talking.
bool settle(T& a, T& b, Recorder& ra, Recorder& rb) {
    for (int round = 0; round < 32; ++round) {
        const std::string toB = a.TakeOutput();
        const std::string toA = b.TakeOutput();
        if (toA.empty() && toB.empty()) return true;
        a.Receive(toA.data(), toA.size(), ra);
        b.Receive(toB.data(), toB.size(), rb);
    }
    return false;
}

// Two codecs asking for options as the input says, their messages sometimes
// crossing: they always settle, agree on every option, and enable only what
// both sides accept.
std::string negotiate(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> aLocal{0, 3, 44}, aRemote{0, 1, 3};
    const std::vector<uint8_t> bLocal{0, 3}, bRemote{0, 3, 44};
    const uint8_t options[4] = {0, 1, 3, 44};
    T a(aLocal, aRemote);
    T b(bLocal, bRemote);
    Recorder ra, rb;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t op = data[i];
        T& who = (op & 1) ? b : a;
        const uint8_t option = options[(op >> 3) & 3];
        const bool enable = (op >> 2) & 1;
        if (op & 2) {
            who.RequestRemote(option, enable);
        } else {
            who.RequestLocal(option, enable);
        }
        // Otherwise left in flight, to cross the next requests.
        if ((op >> 5) < 4 && !settle(a, b, ra, rb)) return "the codecs keep negotiating";
    }
    if (!settle(a, b, ra, rb)) return "the codecs keep negotiating";
    for (uint8_t option : options) {
        if (a.LocalEnabled(option) != b.RemoteEnabled(option) || a.RemoteEnabled(option) != b.LocalEnabled(option)) {
            return "the two sides disagree on option " + std::to_string(option);
        }
        if ((a.LocalEnabled(option) && !(in(aLocal, option) && in(bRemote, option))) ||
            (b.LocalEnabled(option) && !(in(bLocal, option) && in(aRemote, option)))) {
            return "option " + std::to_string(option) + " enabled though one side does not accept it";
        }
        // Settled: nothing is pending, so asking for the current state sends nothing.
        a.RequestLocal(option, a.LocalEnabled(option));
        a.RequestRemote(option, a.RemoteEnabled(option));
        if (!a.TakeOutput().empty()) return "a request for the current state was sent";
    }
    return {};
}

}  // namespace

std::string checkTelnetCodec(const uint8_t* data, size_t size) {
    const std::string stream(reinterpret_cast<const char*>(data), size);
    // Small limits reach the over-long path often.
    const size_t limit = size > 0 ? data[0] % 24 : 0;
    Rng rng{14695981039346656037ULL};
    for (uint8_t c : stream) rng.state = (rng.state ^ c) * 1099511628211ULL;

    // Any input: bounded, and the same whole, cut at random and byte by byte.
    Result whole;
    std::string broken = decode(stream, {}, limit, whole);
    if (!broken.empty()) return "whole: " + broken;
    Result cut;
    broken = decode(stream, randomCuts(size, rng), limit, cut);
    if (!broken.empty()) return "cut: " + broken;
    if (!same(whole, cut)) return "cut at random, the stream decodes differently";
    if (size <= 4096) {
        std::vector<size_t> every;
        for (size_t i = 1; i < size; ++i) every.push_back(i);
        Result bytewise;
        broken = decode(stream, every, limit, bytewise);
        if (!broken.empty()) return "byte by byte: " + broken;
        if (!same(whole, bytewise)) return "byte by byte, the stream decodes differently";
    }

    // The input as data, encoded then decoded, cut at random: itself exactly.
    const std::string encoded = T::EncodeData(stream.data(), stream.size());
    Result plain;
    broken = decode(encoded, randomCuts(encoded.size(), rng), limit, plain);
    if (!broken.empty()) return "encoded data: " + broken;
    if (stream.empty() ? !plain.rec.events.empty() : plain.rec.events != std::vector<std::string>{"d" + stream}) {
        return "encoded data does not decode to itself alone";
    }
    if (!plain.output.empty()) return "encoded data drew a reply";

    // The input as a subnegotiation within the limit: itself exactly.
    if (size > 0) {
        const std::string payload = stream.substr(1, limit);
        const std::string sb = T::EncodeSubnegotiation(data[0], payload);
        Result sub;
        broken = decode(sb, randomCuts(sb.size(), rng), limit, sub);
        if (!broken.empty()) return "encoded subnegotiation: " + broken;
        if (sub.rec.events != std::vector<std::string>{"s" + std::string(1, stream[0]) + payload}) {
            return "an encoded subnegotiation does not decode to itself";
        }
    }

    return negotiate(data, size);
}
