// orvo's options and configuration file: what they set, what wins, and that
// every kind of bad input ends with one line naming it and status 2.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "server/CommandLine.h"

namespace {

struct Outcome {
    std::optional<CommandLine> line;
    int status = -1;
    std::string out;
    std::string err;
};

Outcome parse(std::vector<std::string> args) {
    args.insert(args.begin(), "orvo");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out;
    std::ostringstream err;
    Outcome o;
    o.line = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, err, &o.status);
    o.out = out.str();
    o.err = err.str();
    return o;
}

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.path() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(CommandLine, OptionsSetEverythingAndAFileIsOverriddenByTheCommandLine) {
    const Outcome none = parse({});
    ASSERT_TRUE(none.line);
    EXPECT_FALSE(none.line->headless);
    const BridgeSettings& d = none.line->settings;
    EXPECT_EQ(d.port + " " + std::to_string(d.baud) + " " + std::to_string(d.dataBits) + " " +
                  std::to_string(d.stopBits) + " " + d.parity + " " + d.handshake + " " + std::to_string(d.dtr) +
                  " " + std::to_string(d.tcpPort),
              "COM1 9600 8 1 None None 1 3001")
        << "the setup window's own first choices";
    EXPECT_TRUE(d.listen.empty());
    EXPECT_TRUE(d.allow.empty());
    EXPECT_EQ(d.idleTimeout.count(), 0);
    EXPECT_FALSE(d.logExchanges);

    TempDir dir;
    const std::string file = writeFile(dir, "bridge.conf",
                                       "# a comment\nport = \"/dev/ttyUSB0\"\nbaud = 19200\nparity = \"Odd\"\n"
                                       "handshake = XONXOFF\ntcp-port = 3002\nallow = \"127.0.0.0/8\"\n"
                                       "idle-timeout = 30\nlog-exchanges = true\n");
    const Outcome o = parse({"--config", file, "--headless", "--baud", "115200", "--dtr", "0", "--listen", "127.0.0.1"});
    ASSERT_TRUE(o.line) << o.err;
    const BridgeSettings& s = o.line->settings;
    EXPECT_TRUE(o.line->headless);
    EXPECT_EQ(s.port, "/dev/ttyUSB0");
    EXPECT_EQ(s.baud, 115200) << "the command line wins";
    EXPECT_EQ(s.parity, "Odd");
    EXPECT_EQ(s.handshake, "XONXOFF");
    EXPECT_EQ(s.dtr, 0);
    EXPECT_EQ(s.tcpPort, 3002);
    EXPECT_EQ(s.listen, "127.0.0.1");
    EXPECT_EQ(s.allow.text(), "127.0.0.0/8");
    EXPECT_EQ(s.idleTimeout.count(), 30);
    EXPECT_TRUE(s.logExchanges);
    EXPECT_EQ(s.answerWaitMs, 150) << "the fixed window unless asked";
    EXPECT_EQ(s.answerGapMs, 0);
    // A service's values beyond the setup window's lists: any TCP port, any
    // bit rate the driver can set, an idle limit of days, a listen address
    // that is not this host's (yet), given as a number or a name.
    const Outcome wide = parse({"--tcp-port", "2217", "--baud", "230400", "--idle-timeout", "2592000", "--listen",
                                "10.9.9.9", "--protocol", "rfc2217"});
    ASSERT_TRUE(wide.line) << wide.err;
    EXPECT_EQ(wide.line->settings.protocol, "rfc2217");
    EXPECT_EQ(none.line->settings.protocol, "line") << "the line protocol unless asked";
    EXPECT_EQ(wide.line->settings.tcpPort, 2217);
    EXPECT_EQ(wide.line->settings.baud, 230400);
    EXPECT_EQ(wide.line->settings.idleTimeout, std::chrono::hours(30 * 24));
    EXPECT_EQ(wide.line->settings.listen, "10.9.9.9");
    for (const std::vector<std::string>& fine :
         {std::vector<std::string>{"--tcp-port", "1", "--baud", "50"},
          std::vector<std::string>{"--tcp-port", "65535", "--baud", "4000000"},
          std::vector<std::string>{"--listen", "fe80::1%eth0"}, std::vector<std::string>{"--listen", "bridge-1.example"}}) {
        const Outcome o = parse(fine);
        EXPECT_TRUE(o.line) << ::testing::PrintToString(fine) << ": " << o.err;
    }
    const Outcome end = parse({"--answer-end", "0d0A"});
    ASSERT_TRUE(end.line) << end.err;
    EXPECT_EQ(end.line->settings.answerEnd, (Bytes{0x0D, 0x0A}));
    EXPECT_TRUE(none.line->settings.answerEnd.empty()) << "no end unless asked: the fixed window";
    for (const char* fine : {"03", "0A", "0D0A0D0A"}) EXPECT_TRUE(parse({"--answer-end", fine}).line) << fine;
    const Outcome gap = parse({"--answer-gap", "2", "--answer-wait", "500", "--baud", "115200"});
    ASSERT_TRUE(gap.line) << gap.err;
    EXPECT_EQ(gap.line->settings.answerGapMs, 2);
    EXPECT_EQ(gap.line->settings.answerWaitMs, 500);

    // The example the package installs is valid and changes nothing.
    const Outcome example = parse({"--config", ORVO_SOURCE_DIR "/packaging/etc/example.conf"});
    ASSERT_TRUE(example.line) << example.err;
    EXPECT_EQ(example.line->settings.port, "COM1");
    EXPECT_EQ(example.line->settings.tcpPort, 3001);
}

TEST(CommandLine, BadInputIsOneLineNamingItAndStatusTwo) {
    TempDir dir;
    const std::string unknownKey = writeFile(dir, "unknown.conf", "baud = 9600\ncolour = red\n");
    const std::string inSection = writeFile(dir, "section.conf", "[serial]\nbaud = 19200\n");
    const std::string badValue = writeFile(dir, "bad.conf", "stop-bits = 3\n");
    const std::string twoForTrue = writeFile(dir, "flag.conf", "log-exchanges = 2\n");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> named;  // each must be in the message
    };
    const std::vector<Case> cases = {
        {{"--baud", "1234"}, {"--baud", "1234", "50", "9600", "4000000"}},
        {{"--baud", "0"}, {"--baud", "0"}},
        {{"--baud", "99999999999"}, {"--baud", "99999999999"}},
        {{"--parity", "odd"}, {"--parity", "odd", "Odd"}},
        {{"--handshake", "RTSCTS"}, {"--handshake", "RTSCTS", "CTSRTS"}},
        {{"--port", "COM9"}, {"--port", "COM9", "COM1 to COM8"}},
        {{"--tcp-port", "0"}, {"--tcp-port", "0", "1 to 65535"}},
        {{"--protocol", "telnet"}, {"--protocol", "telnet", "line, raw, rfc2217"}},
        {{"--tcp-port", "65536"}, {"--tcp-port", "65536", "1 to 65535"}},
        {{"--dtr", "2"}, {"--dtr", "2", "1, 0"}},
        {{"--idle-timeout", "-3"}, {"--idle-timeout", "-3", "seconds"}},
        // Milliseconds of these overflowed 32 bits: every client closed at
        // once, or after 0.7 s.
        {{"--idle-timeout", "2592001"}, {"--idle-timeout", "2592001", "0 to 2592000"}},
        {{"--idle-timeout", "4294968"}, {"--idle-timeout", "4294968"}},
        {{"--allow", "10.0.0.0/33"}, {"--allow", "10.0.0.0/33", "network"}},
        {{"--listen", "300.1.1.1"}, {"--listen", "300.1.1.1", "IPv4 or IPv6 address or a host name"}},
        {{"--listen", "2001:db8::g"}, {"--listen", "2001:db8::g"}},
        {{"--listen", "bad name"}, {"--listen", "bad name"}},
        {{"--listen", "-lead.example"}, {"--listen", "-lead.example"}},
        {{"--colour"}, {"--colour"}},
        {{"ignored"}, {"ignored"}},
        {{"--config", dir.path() + "/missing.conf"}, {"--config", "missing.conf"}},
        {{"--config", unknownKey}, {"unknown.conf", "colour = red", "keys: port"}},
        {{"--config", inSection}, {"section.conf", "serial.baud = 19200"}},
        {{"--config", badValue}, {"--stop-bits", "3", "1, 2"}},
        {{"--config", twoForTrue}, {"--log-exchanges", "2", "true or false"}},
        {{"--log-exchanges=yes"}, {"--log-exchanges", "yes", "true or false"}},
        // A file that is there but cannot be read must not count as empty:
        // that would start a bridge open to everyone.
        {{"--config", "/proc/self/mem"}, {"--config", "/proc/self/mem", "cannot be read"}},
        {{"--config", dir.path()}, {"--config", dir.path()}},
        {{"--answer-wait", "0"}, {"--answer-wait", "0", "1 to 60000"}},
        {{"--answer-end", "0D0"}, {"--answer-end", "0D0", "1 to 4 bytes"}},
        {{"--answer-end", "ZZ"}, {"--answer-end", "ZZ", "hexadecimal"}},
        {{"--answer-end", ""}, {"--answer-end"}},
        {{"--answer-end", "0102030405"}, {"--answer-end", "0102030405"}},
        {{"--answer-gap", "1"}, {"--answer-gap", "1 ms", "one character at 9600 bit/s", "10 bits"}},
        {{"--answer-gap", "4", "--baud", "2400"}, {"--answer-gap", "4 ms", "2400 bit/s"}},
    };
    for (const Case& c : cases) {
        const Outcome o = parse(c.args);
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_FALSE(o.line) << what;
        EXPECT_EQ(o.status, 2) << what;
        EXPECT_EQ(o.out, "") << what;
        ASSERT_FALSE(o.err.empty()) << what;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << what << ": one line: " << o.err;
        EXPECT_EQ(o.err.rfind("orvo: ", 0), 0u) << o.err;
        for (const std::string& word : c.named) EXPECT_NE(o.err.find(word), std::string::npos) << word << " in " << o.err;
    }

    for (const char* ask : {"--help", "--version"}) {
        const Outcome o = parse({ask});
        EXPECT_FALSE(o.line);
        EXPECT_EQ(o.status, 0) << ask;
        EXPECT_EQ(o.err, "");
        EXPECT_NE(o.out.find(std::string(ask) == "--help" ? "--idle-timeout" : "orvo 1."), std::string::npos) << o.out;
    }
}
