// What a client sends, on its way into the server's log: escaped so that it
// stays one line of printable text, cut short, and kept to a rate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/LimitedLog.h"
#include "server/LogText.h"

using namespace std::chrono_literals;

TEST(LoggableText, ControlBytesNonUtf8AndTurningCharactersAreEscaped) {
    EXPECT_EQ(LoggableText("AT+CSQ"), "AT+CSQ");
    EXPECT_EQ(LoggableText("Grüße ±5 °C"), "Grüße ±5 °C") << "printable UTF-8 passes";
    // A NUL would end the journal's line; what follows would read as a line
    // of the server's own.
    EXPECT_EQ(LoggableText(std::string("AT\0Server stopped by SIGTERM", 28)), "AT\\x00Server stopped by SIGTERM");
    EXPECT_EQ(LoggableText("\x1B[2J\x1B]0;owned\x07"), "\\x1B[2J\\x1B]0;owned\\x07");
    EXPECT_EQ(LoggableText("a\r\nb\tc\x7F"), "a\\x0D\\x0Ab\\x09c\\x7F");
    EXPECT_EQ(LoggableText("\xC2\x9B" "31m"), "\\xC2\\x9B31m") << "C1 CSI, valid UTF-8 but a control";
    EXPECT_EQ(LoggableText("ok\xE2\x80\xAEtxt.exe"), "ok\\xE2\\x80\\xAEtxt.exe") << "right-to-left override";
    EXPECT_EQ(LoggableText("a\xE2\x80\xA8" "b"), "a\\xE2\\x80\\xA8b") << "line separator";
    for (const std::string& bad : {std::string("\xFF"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                                   std::string("\xF4\x90\x80\x80"), std::string("\xE2\x82")}) {
        std::string expected;
        for (const char c : bad) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            expected += hex;
        }
        EXPECT_EQ(LoggableText(bad), expected) << "overlong, surrogate, beyond U+10FFFF, cut short";
    }
    EXPECT_EQ(LoggableText("C:\\x41"), "C:\\\\x41") << "a backslash cannot forge an escape";
}

TEST(LoggableText, LongTextIsCutAtACharactersStartAndSaysSo) {
    EXPECT_EQ(LoggableText(std::string(64, 'A')), std::string(64, 'A')) << "the longest command shows whole";
    EXPECT_EQ(LoggableText(std::string(4096, 'A')), std::string(64, 'A') + "...(4096 bytes, cut)");
    // 63 ASCII bytes and a two-byte character: the character is not split.
    EXPECT_EQ(LoggableText(std::string(63, 'a') + "ü" + "z"), std::string(63, 'a') + "...(66 bytes, cut)");
    EXPECT_EQ(LoggableText(std::string(10, '\x1B'), 4), "\\x1B\\x1B\\x1B\\x1B...(10 bytes, cut)");
}

TEST(LimitedLog, ABurstPassesThenTheRateAndTheSuppressedAreCountedInOrder) {
    auto now = LimitedLog::Clock::time_point{};
    std::vector<std::string> lines;
    LimitedLog log([&](const std::string& line) { lines.push_back(line); }, 3, 2, [&] { return now; });
    for (int i = 0; i < 10; ++i) log.Line("c" + std::to_string(i));
    EXPECT_EQ(lines, (std::vector<std::string>{"c0", "c1", "c2"}));
    now += 500ms;  // one more line's worth
    log.Line("late");
    EXPECT_EQ(lines, (std::vector<std::string>{"c0", "c1", "c2", "Suppressed 7 log lines caused by clients", "late"}));
    log.Line("dropped");
    log.Flush();
    EXPECT_EQ(lines.back(), "Suppressed 1 log line caused by clients");
    log.Flush();
    EXPECT_EQ(lines.size(), 6u) << "nothing more to say";
    now += 1h;
    for (int i = 0; i < 5; ++i) log.Line("again");
    EXPECT_EQ(lines.size(), 9u) << "a quiet hour refills the burst, no more";
}
