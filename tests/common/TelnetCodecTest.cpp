#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/TelnetCodec.h"

namespace {

using T = TelnetCodec;

// Everything decoding delivers, in order; data runs joined.
struct Recorder : TelnetCodec::Handler {
    std::string data;
    size_t dataCalls = 0;
    std::vector<std::pair<uint8_t, std::string>> subnegotiations;
    std::vector<uint8_t> commands;
    std::vector<std::string> changes;  // "local 3 on"
    std::string events;                // kinds in order: d s c o

    void OnData(const char* p, size_t n) override {
        data.append(p, n);
        ++dataCalls;
        if (events.empty() || events.back() != 'd') events += 'd';
    }
    void OnSubnegotiation(uint8_t option, const std::string& payload) override {
        subnegotiations.emplace_back(option, payload);
        events += 's';
    }
    void OnCommand(uint8_t command) override {
        commands.push_back(command);
        events += 'c';
    }
    void OnOptionChange(T::Side side, uint8_t option, bool enabled) override {
        changes.push_back(std::string(side == T::Side::Local ? "local " : "remote ") + std::to_string(option) +
                          (enabled ? " on" : " off"));
        events += 'o';
    }
    bool sameAs(const Recorder& o) const {
        return data == o.data && subnegotiations == o.subnegotiations && commands == o.commands &&
               changes == o.changes && events == o.events;
    }
};

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string cmd(uint8_t verb, uint8_t option) { return T::EncodeCommand(verb, option); }

const std::vector<uint8_t> kOffered{T::OPTION_BINARY, T::OPTION_SGA};
const std::vector<uint8_t> kOfferedRemote{T::OPTION_BINARY, T::OPTION_SGA, T::OPTION_COM_PORT};

// What one codec of the usual configuration makes of the given pieces.
struct Decoded {
    Recorder rec;
    std::string output;
};
Decoded feed(const std::vector<std::string>& pieces) {
    TelnetCodec codec(kOffered, kOfferedRemote);
    Decoded run;
    for (const std::string& piece : pieces) {
        codec.Receive(piece.data(), piece.size(), run.rec);
        run.output += codec.TakeOutput();
    }
    return run;
}

}  // namespace

TEST(TelnetCodecDecode, EverySplitDecodesLikeOnePiece) {
    const std::string stream = "ab\r\n" + bytes({255, 255}) + "c\r" + bytes({0}) + cmd(T::DO, T::OPTION_BINARY) +
                               bytes({255, 241}) + "d" + bytes({255, 250, 44, 1, 255, 255, 0, 37, 255, 240}) +
                               cmd(T::WILL, 99) + bytes({255, 255, 255, 255}) + "e" +
                               bytes({255, 250, 255, 255, 7, 255, 240}) + "f";
    const Decoded whole = feed({stream});
    EXPECT_EQ(whole.rec.data, "ab\r\n" + bytes({255}) + "c\r" + bytes({0}) + "d" + bytes({255, 255}) + "ef");
    using Sub = std::vector<std::pair<uint8_t, std::string>>;
    EXPECT_EQ(whole.rec.subnegotiations, (Sub{{44, bytes({1, 255, 0, 37})}, {255, bytes({7})}}));
    EXPECT_EQ(whole.rec.commands, std::vector<uint8_t>{T::NOP});
    EXPECT_EQ(whole.rec.changes, std::vector<std::string>{"local 0 on"});
    EXPECT_EQ(whole.rec.events, "docdsdsd");
    EXPECT_EQ(whole.output, cmd(T::WILL, T::OPTION_BINARY) + cmd(T::DONT, 99));

    for (size_t cut = 1; cut < stream.size(); ++cut) {
        const Decoded two = feed({stream.substr(0, cut), stream.substr(cut)});
        EXPECT_TRUE(two.rec.sameAs(whole.rec)) << "cut at " << cut;
        EXPECT_EQ(two.output, whole.output) << "cut at " << cut;
    }
    std::vector<std::string> single;
    for (char c : stream) single.emplace_back(1, c);
    const Decoded bytewise = feed(single);
    EXPECT_TRUE(bytewise.rec.sameAs(whole.rec));
    EXPECT_EQ(bytewise.output, whole.output);
}

TEST(TelnetCodecDecode, CrLfAndNulPassUntouchedWhateverBinary) {
    const std::string text = std::string("a\r\0b\r\nc\r", 8) + "\n\n\r";
    for (bool binary : {false, true}) {
        TelnetCodec codec(kOffered, kOfferedRemote);
        Recorder rec;
        if (binary) {
            const std::string enable = cmd(T::DO, T::OPTION_BINARY) + cmd(T::WILL, T::OPTION_BINARY);
            codec.Receive(enable.data(), enable.size(), rec);
            ASSERT_TRUE(codec.LocalEnabled(T::OPTION_BINARY) && codec.RemoteEnabled(T::OPTION_BINARY));
        }
        codec.Receive(text.data(), text.size(), rec);
        EXPECT_EQ(rec.data, text) << "binary " << binary;
        EXPECT_EQ(T::EncodeData(text.data(), text.size()), text);
    }
}

TEST(TelnetCodecDecode, ARunWithoutIacIsOneCallAndAnEscapeOneMore) {
    TelnetCodec codec({}, {});
    Recorder rec;
    std::string block(64 * 1024, 'x');
    codec.Receive(block.data(), block.size(), rec);
    EXPECT_EQ(rec.dataCalls, 1u);
    block[1000] = static_cast<char>(255);
    block.insert(1000, 1, static_cast<char>(255));
    codec.Receive(block.data(), block.size(), rec);
    EXPECT_EQ(rec.dataCalls, 3u);
    EXPECT_EQ(rec.data.size(), 2 * 64 * 1024u);
}

TEST(TelnetCodecDecode, MalformedInputResynchronisesAndKeepsWhatFollows) {
    struct Case {
        const char* what;
        std::string stream;
        std::string data;
        size_t subnegotiations;
        size_t dropped;
        std::string output;
    };
    const std::vector<Case> cases{
        {"IAC SE outside a subnegotiation", "a" + bytes({255, 240}) + "b", "ab", 0, 0, ""},
        {"IAC and an undefined code", "a" + bytes({255, 65}) + "b", "ab", 0, 0, ""},
        {"a negotiation inside a subnegotiation",
         bytes({255, 250, 44, 1, 2}) + cmd(T::WILL, T::OPTION_SGA) + "data", "data", 0, 1,
         cmd(T::DO, T::OPTION_SGA)},
        {"a new subnegotiation before the end of one",
         bytes({255, 250, 44, 1, 255, 250, 44, 2, 255, 240}) + "x", "x", 1, 1, ""},
        {"a subnegotiation without option", bytes({255, 250, 255, 240}) + "y", "y", 0, 1, ""},
        {"a command inside a subnegotiation", bytes({255, 250, 44, 9, 255, 241}) + "z", "z", 0, 1, ""},
    };
    for (const Case& c : cases) {
        TelnetCodec codec(kOffered, kOfferedRemote);
        Recorder rec;
        codec.Receive(c.stream.data(), c.stream.size(), rec);
        EXPECT_EQ(rec.data, c.data) << c.what;
        EXPECT_EQ(rec.subnegotiations.size(), c.subnegotiations) << c.what;
        EXPECT_EQ(codec.DroppedSubnegotiations(), c.dropped) << c.what;
        EXPECT_EQ(codec.TakeOutput(), c.output) << c.what;
        EXPECT_EQ(codec.BufferedBytes(), 0u) << c.what;
    }
}

TEST(TelnetCodecDecode, SubnegotiationsAreBounded) {
    const size_t limit = 16;
    TelnetCodec codec({}, {}, limit);
    Recorder rec;
    const std::string fits = T::EncodeSubnegotiation(44, std::string(limit, static_cast<char>(255)));
    codec.Receive(fits.data(), fits.size(), rec);
    ASSERT_EQ(rec.subnegotiations.size(), 1u);
    EXPECT_EQ(rec.subnegotiations[0].second, std::string(limit, static_cast<char>(255)));

    const std::string over = T::EncodeSubnegotiation(44, std::string(limit + 1, 'o'));
    codec.Receive(over.data(), over.size(), rec);
    EXPECT_EQ(rec.subnegotiations.size(), 1u);
    EXPECT_EQ(codec.DroppedSubnegotiations(), 1u);

    // A megabyte of payload in pieces: never more than the limit held.
    const std::string open = bytes({255, 250, 44});
    codec.Receive(open.data(), open.size(), rec);
    const std::string piece(4096, 'p');
    for (int i = 0; i < 256; ++i) {
        codec.Receive(piece.data(), piece.size(), rec);
        ASSERT_LE(codec.BufferedBytes(), limit + 1);
    }
    const std::string close = bytes({255, 240}) + "after";
    codec.Receive(close.data(), close.size(), rec);
    EXPECT_EQ(codec.DroppedSubnegotiations(), 2u);
    EXPECT_EQ(rec.data, "after");
}

TEST(TelnetCodecEncode, EscapesIacAndDecodesBackExactly) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    all += bytes({255, 255, 255, 250, 240});
    const std::string encoded = T::EncodeData(all.data(), all.size());
    EXPECT_EQ(encoded.size(), all.size() + 4);

    std::string appended = "head";
    T::AppendData(appended, all.data(), all.size());
    EXPECT_EQ(appended, "head" + encoded);

    const std::string sb = T::EncodeSubnegotiation(44, bytes({1, 0, 255, 0, 255}));
    EXPECT_EQ(sb, bytes({255, 250, 44, 1, 0, 255, 255, 0, 255, 255, 255, 240}));
    EXPECT_EQ(T::EncodeCommand(T::BRK), bytes({255, 243}));

    TelnetCodec codec({}, {});
    Recorder rec;
    const std::string stream = encoded + sb + encoded;
    codec.Receive(stream.data(), stream.size(), rec);
    EXPECT_EQ(rec.data, all + all);
    ASSERT_EQ(rec.subnegotiations.size(), 1u);
    EXPECT_EQ(rec.subnegotiations[0], std::make_pair(uint8_t{44}, bytes({1, 0, 255, 0, 255})));
    EXPECT_EQ(codec.TakeOutput(), "");
}

namespace {

void offer(TelnetCodec& server) {
    server.RequestLocal(T::OPTION_BINARY, true);
    server.RequestLocal(T::OPTION_SGA, true);
    server.RequestRemote(T::OPTION_BINARY, true);
    server.RequestRemote(T::OPTION_SGA, true);
    server.RequestRemote(T::OPTION_COM_PORT, true);
}

}  // namespace

TEST(TelnetCodecNegotiation, PySerialOpeningExchangeEndsEnabledWithoutRepeats) {
    TelnetCodec server(kOffered, kOfferedRemote);
    Recorder rec;
    auto receive = [&](const std::string& s) {
        server.Receive(s.data(), s.size(), rec);
        return server.TakeOutput();
    };
    offer(server);
    EXPECT_EQ(server.TakeOutput(), cmd(T::WILL, 0) + cmd(T::WILL, 3) + cmd(T::DO, 0) + cmd(T::DO, 3) + cmd(T::DO, 44));
    // pySerial 3.5's rfc2217:// client asks at once, crossing the offers;
    // what the server does not do is refused, once.
    EXPECT_EQ(receive(cmd(T::DO, T::OPTION_ECHO) + cmd(T::WILL, 3) + cmd(T::DO, 3) + cmd(T::DO, 44) + cmd(T::WILL, 44)),
              cmd(T::WONT, T::OPTION_ECHO) + cmd(T::WONT, T::OPTION_COM_PORT));
    // It takes the SGA and COM-PORT offers as answers to its own requests
    // and grants BINARY, which it had not asked for: nothing is answered.
    EXPECT_EQ(receive(cmd(T::DO, 0) + cmd(T::WILL, 0)), "");
    for (uint8_t option : {T::OPTION_BINARY, T::OPTION_SGA}) {
        EXPECT_TRUE(server.LocalEnabled(option) && server.RemoteEnabled(option)) << int(option);
    }
    EXPECT_TRUE(server.RemoteEnabled(T::OPTION_COM_PORT));
    EXPECT_FALSE(server.LocalEnabled(T::OPTION_COM_PORT));
    EXPECT_FALSE(server.LocalEnabled(T::OPTION_ECHO));
    // A peer repeating its requests draws no second answer.
    EXPECT_EQ(receive(cmd(T::DO, 0) + cmd(T::WILL, 0) + cmd(T::DO, 3) + cmd(T::WILL, 3) + cmd(T::WILL, 44)), "");
    EXPECT_EQ(rec.changes.size(), 5u);
}

TEST(TelnetCodecNegotiation, CrossingOffersOfTwoCodecsAreNeverAnswered) {
    // The client's requests cross the server's offers on the wire.
    TelnetCodec server(kOffered, kOfferedRemote);
    TelnetCodec client(kOfferedRemote, kOffered);
    Recorder serverRec;
    Recorder clientRec;
    offer(server);
    client.RequestLocal(T::OPTION_COM_PORT, true);
    client.RequestLocal(T::OPTION_BINARY, true);
    client.RequestRemote(T::OPTION_BINARY, true);
    client.RequestLocal(T::OPTION_SGA, true);
    client.RequestRemote(T::OPTION_SGA, true);
    const std::string toClient = server.TakeOutput();
    const std::string toServer = client.TakeOutput();
    EXPECT_EQ(toServer.size(), 15u);
    server.Receive(toServer.data(), toServer.size(), serverRec);
    client.Receive(toClient.data(), toClient.size(), clientRec);
    EXPECT_EQ(server.TakeOutput(), "");
    EXPECT_EQ(client.TakeOutput(), "");
    for (uint8_t option : {T::OPTION_BINARY, T::OPTION_SGA}) {
        EXPECT_TRUE(server.LocalEnabled(option) && server.RemoteEnabled(option)) << int(option);
        EXPECT_TRUE(client.LocalEnabled(option) && client.RemoteEnabled(option)) << int(option);
    }
    EXPECT_TRUE(server.RemoteEnabled(T::OPTION_COM_PORT));
    EXPECT_TRUE(client.LocalEnabled(T::OPTION_COM_PORT));
    EXPECT_EQ(serverRec.changes.size(), 5u);
}

TEST(TelnetCodecNegotiation, RequestsInTheCurrentStateAreNotAnswered) {
    TelnetCodec codec(kOffered, kOfferedRemote);
    Recorder rec;
    auto receive = [&](const std::string& s) {
        codec.Receive(s.data(), s.size(), rec);
        return codec.TakeOutput();
    };
    EXPECT_EQ(receive(cmd(T::DONT, T::OPTION_SGA)), "");  // already off
    EXPECT_EQ(receive(cmd(T::WONT, T::OPTION_SGA)), "");
    EXPECT_EQ(receive(cmd(T::DO, T::OPTION_SGA)), cmd(T::WILL, T::OPTION_SGA));
    EXPECT_EQ(receive(cmd(T::DO, T::OPTION_SGA)), "");  // already on
    EXPECT_EQ(receive(cmd(T::WILL, T::OPTION_COM_PORT)), cmd(T::DO, T::OPTION_COM_PORT));
    EXPECT_EQ(receive(cmd(T::WILL, T::OPTION_COM_PORT)), "");
    // Unknown options: refused each time asked, a refusal never answered.
    EXPECT_EQ(receive(cmd(T::DO, 200)), cmd(T::WONT, 200));
    EXPECT_EQ(receive(cmd(T::WILL, T::OPTION_ECHO)), cmd(T::DONT, T::OPTION_ECHO));
    EXPECT_EQ(receive(cmd(T::DONT, 200) + cmd(T::WONT, T::OPTION_ECHO)), "");
    EXPECT_FALSE(codec.LocalEnabled(200));
    EXPECT_FALSE(codec.RemoteEnabled(T::OPTION_ECHO));
    // The peer withdraws: acknowledged once, reported.
    EXPECT_EQ(receive(cmd(T::DONT, T::OPTION_SGA)), cmd(T::WONT, T::OPTION_SGA));
    EXPECT_EQ(receive(cmd(T::DONT, T::OPTION_SGA)), "");
    EXPECT_FALSE(codec.LocalEnabled(T::OPTION_SGA));
    EXPECT_EQ(rec.changes, (std::vector<std::string>{"local 3 on", "remote 44 on", "local 3 off"}));
}

TEST(TelnetCodecNegotiation, OwnRequestsAreSentOnceAndQueuedWhilePending) {
    TelnetCodec codec(kOffered, kOfferedRemote);
    Recorder rec;
    auto receive = [&](const std::string& s) {
        codec.Receive(s.data(), s.size(), rec);
        return codec.TakeOutput();
    };
    codec.RequestRemote(T::OPTION_COM_PORT, true);
    codec.RequestRemote(T::OPTION_COM_PORT, true);  // pending: nothing more
    codec.RequestLocal(T::OPTION_ECHO, true);      // not accepted: nothing
    EXPECT_EQ(codec.TakeOutput(), cmd(T::DO, T::OPTION_COM_PORT));
    EXPECT_FALSE(codec.RemoteEnabled(T::OPTION_COM_PORT));
    EXPECT_EQ(receive(cmd(T::WILL, T::OPTION_COM_PORT)), "");
    EXPECT_TRUE(codec.RemoteEnabled(T::OPTION_COM_PORT));
    codec.RequestRemote(T::OPTION_COM_PORT, true);  // already on
    EXPECT_EQ(codec.TakeOutput(), "");

    // Disable, then enable again before the answer: the enable waits for it.
    codec.RequestRemote(T::OPTION_COM_PORT, false);
    EXPECT_FALSE(codec.RemoteEnabled(T::OPTION_COM_PORT));
    codec.RequestRemote(T::OPTION_COM_PORT, true);
    EXPECT_EQ(codec.TakeOutput(), cmd(T::DONT, T::OPTION_COM_PORT));
    EXPECT_EQ(receive(cmd(T::WONT, T::OPTION_COM_PORT)), cmd(T::DO, T::OPTION_COM_PORT));
    EXPECT_EQ(receive(cmd(T::WILL, T::OPTION_COM_PORT)), "");
    EXPECT_TRUE(codec.RemoteEnabled(T::OPTION_COM_PORT));

    // Enable, then disable before the answer: granted, then withdrawn once.
    codec.RequestLocal(T::OPTION_BINARY, true);
    codec.RequestLocal(T::OPTION_BINARY, false);
    EXPECT_EQ(codec.TakeOutput(), cmd(T::WILL, T::OPTION_BINARY));
    EXPECT_EQ(receive(cmd(T::DO, T::OPTION_BINARY)), cmd(T::WONT, T::OPTION_BINARY));
    EXPECT_EQ(receive(cmd(T::DONT, T::OPTION_BINARY)), "");
    EXPECT_FALSE(codec.LocalEnabled(T::OPTION_BINARY));

    // A refused request stays off and is not asked again by itself.
    codec.RequestLocal(T::OPTION_SGA, true);
    EXPECT_EQ(codec.TakeOutput(), cmd(T::WILL, T::OPTION_SGA));
    EXPECT_EQ(receive(cmd(T::DONT, T::OPTION_SGA)), "");
    EXPECT_FALSE(codec.LocalEnabled(T::OPTION_SGA));
}
