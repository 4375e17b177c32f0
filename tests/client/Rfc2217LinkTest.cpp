// The local port's side of RFC 2217 without a socket: what it sends, in
// which order and when, how it checks the server's answers, and what it
// makes of the server's notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Rfc2217Link.h"

namespace CPO = ComPortOption;
using namespace std::chrono_literals;

namespace {

using Clock = ServerLink::Clock;

class FakeProgram : public ServerLink::Listener {
public:
    void FromDevice(const char* data, size_t n) override { device.append(data, n); }
    void LineInUse(const PortSettings& line) override { lines.push_back(line); }
    void Log(const std::string& text) override { log.push_back(text); }

    std::string device;
    std::vector<PortSettings> lines;
    std::vector<std::string> log;
};

// What the link sent since last asked, decoded as the server reads it.
struct Sent : TelnetCodec::Handler {
    void OnData(const char* d, size_t n) override { data.append(d, n); }
    void OnSubnegotiation(uint8_t option, const std::string& payload) override {
        if (option == CPO::OPTION) messages.push_back(payload);
    }
    std::string data;
    std::vector<std::string> messages;  // each a code and its value
};

Sent sent(ServerLink& link) {
    std::string out;
    out.swap(link.Outgoing());
    TelnetCodec codec({}, {});
    Sent heard;
    codec.Receive(out.data(), out.size(), heard);
    return heard;
}

// A message of the server's.
std::string from(uint8_t command, const std::string& value) {
    return TelnetCodec::EncodeSubnegotiation(CPO::OPTION, CPO::Encode(CPO::ServerCode(command), value));
}

void receive(ServerLink& link, const std::string& bytes) { link.Receive(bytes.data(), bytes.size()); }

const std::string kDoComPort = TelnetCodec::EncodeCommand(TelnetCodec::DO, TelnetCodec::OPTION_COM_PORT);
const Clock::time_point t0{};

const PortSettings kProgram{57600, CPO::SET_STOPSIZE_2, CPO::SET_CONTROL_FLOW_XONXOFF};

}  // namespace

TEST(Rfc2217Link, SettingsWaitForTheServersAgreementThenTheExtrasGoFirst) {
    // orvo answers the offer with DO; pySerial's server sends a WILL of its own.
    for (const uint8_t verb : {TelnetCodec::DO, TelnetCodec::WILL}) {
        FakeProgram program;
        LineExtras extras;
        extras.dataSize = 7;
        extras.parity = CPO::SET_PARITY_EVEN;
        extras.dtr = true;
        extras.rts = false;
        Rfc2217Link link(program, extras, false);
        link.Start(t0);
        EXPECT_NE(link.Outgoing().find(TelnetCodec::EncodeCommand(TelnetCodec::WILL, TelnetCodec::OPTION_COM_PORT)),
                  std::string::npos);
        link.Outgoing().clear();
        link.SetPort(kProgram, std::nullopt);
        EXPECT_FALSE(link.Ready());
        EXPECT_TRUE(sent(link).messages.empty()) << "nothing before the server agreed";

        receive(link, TelnetCodec::EncodeCommand(verb, TelnetCodec::OPTION_COM_PORT));
        EXPECT_TRUE(link.Ready());
        EXPECT_TRUE(link.Controls());
        const std::vector<std::string> expected = {
            CPO::EncodeByte(CPO::SET_DATASIZE, 7),
            CPO::EncodeByte(CPO::SET_PARITY, CPO::SET_PARITY_EVEN),
            CPO::EncodeByte(CPO::SET_CONTROL, CPO::SET_CONTROL_DTR_ON),
            CPO::EncodeByte(CPO::SET_CONTROL, CPO::SET_CONTROL_RTS_OFF),
            CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 57600),
            CPO::EncodeByte(CPO::SET_STOPSIZE, CPO::SET_STOPSIZE_2),
            CPO::EncodeByte(CPO::SET_CONTROL, CPO::SET_CONTROL_FLOW_XONXOFF),
        };
        EXPECT_EQ(sent(link).messages, expected);
    }
}

TEST(Rfc2217Link, OnlyWhatChangedIsSentAndEveryAnswerIsChecked) {
    FakeProgram program;
    Rfc2217Link link(program, {}, false);
    link.Start(t0);
    receive(link, kDoComPort);
    sent(link);

    PortSettings faster = kProgram;
    faster.baud = 230400;
    link.SetPort(faster, kProgram);
    EXPECT_EQ(sent(link).messages, std::vector<std::string>{CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 230400)});
    receive(link, from(CPO::SET_BAUDRATE, CPO::EncodeBaudRate(0, 115200).substr(1)));
    ASSERT_EQ(program.log.size(), 1u);
    EXPECT_EQ(program.log[0], "the server refused 230400 bit/s: the line has 115200 bit/s");

    PortSettings oneStop = faster;
    oneStop.stopSize = CPO::SET_STOPSIZE_1;
    oneStop.flow = CPO::SET_CONTROL_FLOW_HARDWARE;
    link.Tick(t0 + 1s);
    link.SetPort(oneStop, faster);
    EXPECT_EQ(sent(link).messages.size(), 2u);
    receive(link, from(CPO::SET_STOPSIZE, std::string(1, CPO::SET_STOPSIZE_1)));
    EXPECT_EQ(program.log.size(), 1u) << "a value taken is not logged without --verbose";
    EXPECT_EQ(link.Deadline(), t0 + 1s + Rfc2217Link::kAnswerTime) << "flow control waits for its answer";
    link.Tick(t0 + 1s + Rfc2217Link::kAnswerTime);
    ASSERT_EQ(program.log.size(), 2u);
    EXPECT_EQ(program.log[1], "no answer from the server to hardware flow control");
    EXPECT_EQ(link.Deadline(), std::nullopt);
}

TEST(Rfc2217Link, TheLinesSettingsComeInOnceAllThreeAnswersHave) {
    FakeProgram program;
    Rfc2217Link link(program, {}, false);
    link.Start(t0);
    receive(link, kDoComPort);
    sent(link);
    link.QueryPort();
    EXPECT_EQ(sent(link).messages, (std::vector<std::string>{CPO::EncodeBaudRate(CPO::SET_BAUDRATE, 0),
                                                             CPO::EncodeByte(CPO::SET_STOPSIZE, 0),
                                                             CPO::EncodeByte(CPO::SET_CONTROL, 0)}));
    // Answers come in the order the server likes, one read holding several.
    receive(link, from(CPO::SET_CONTROL, std::string(1, CPO::SET_CONTROL_FLOW_HARDWARE)) +
                      from(CPO::SET_BAUDRATE, CPO::EncodeBaudRate(0, 19200).substr(1)));
    EXPECT_TRUE(program.lines.empty());
    receive(link, from(CPO::SET_STOPSIZE, std::string(1, CPO::SET_STOPSIZE_2)));
    ASSERT_EQ(program.lines.size(), 1u);
    EXPECT_EQ(program.lines[0], (PortSettings{19200, CPO::SET_STOPSIZE_2, CPO::SET_CONTROL_FLOW_HARDWARE}));
    EXPECT_TRUE(program.log.empty()) << program.log[0];
}

TEST(Rfc2217Link, BytesAreEscapedBothWaysAndTheServersNotificationsTaken) {
    FakeProgram program;
    Rfc2217Link link(program, {}, true);
    link.Start(t0);
    receive(link, kDoComPort);
    sent(link);
    const std::string bytes("a\xFF\xFF" "b", 4);
    link.SendData(bytes.data(), bytes.size());
    EXPECT_EQ(link.Outgoing(), std::string("a\xFF\xFF\xFF\xFF" "b", 6));
    receive(link, std::string("x\xFF\xFFy", 4));
    EXPECT_EQ(program.device, std::string("x\xFFy", 3));

    receive(link, from(CPO::FLOWCONTROL_SUSPEND, ""));
    EXPECT_TRUE(link.Suspended());
    receive(link, from(CPO::FLOWCONTROL_RESUME, ""));
    EXPECT_FALSE(link.Suspended());

    program.log.clear();
    const auto modem = [&](uint8_t state) { receive(link, from(CPO::NOTIFY_MODEMSTATE, std::string(1, state))); };
    modem(CPO::MODEMSTATE_CTS | CPO::MODEMSTATE_DSR);
    modem(CPO::MODEMSTATE_CTS | CPO::MODEMSTATE_DSR | CPO::MODEMSTATE_DELTA_CTS);  // the same lines
    modem(CPO::MODEMSTATE_CD | CPO::MODEMSTATE_DELTA_CD);
    EXPECT_EQ(program.log, (std::vector<std::string>{"modem lines: CTS on, DSR on, RI off, CD off",
                                                     "modem lines: CTS off, DSR off, RI off, CD on"}));
}

TEST(Rfc2217Link, AServerThatNeverAgreesGetsTheBytesWithoutSettings) {
    FakeProgram program;
    Rfc2217Link link(program, {}, false);
    link.Start(t0);
    link.SetPort(kProgram, std::nullopt);
    link.Tick(t0 + Rfc2217Link::kNegotiationTime - 1ms);
    EXPECT_FALSE(link.Ready());
    link.Tick(t0 + Rfc2217Link::kNegotiationTime);
    EXPECT_TRUE(link.Ready());
    EXPECT_FALSE(link.Controls());
    ASSERT_EQ(program.log.size(), 1u);
    EXPECT_NE(program.log[0].find("did not agree"), std::string::npos) << program.log[0];
    link.Outgoing().clear();
    link.QueryPort();
    EXPECT_TRUE(sent(link).messages.empty());
    // One that agrees late still gets the settings asked for meanwhile.
    receive(link, kDoComPort);
    EXPECT_EQ(sent(link).messages.size(), 6u);
}
