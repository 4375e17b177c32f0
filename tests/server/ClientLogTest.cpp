// What a client sends, on its way into the server's log: escaped so that it
// stays one line of printable text, cut short, and kept to a rate; and the
// time stamp each line of the log gets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "server/LimitedLog.h"
#include "server/LogText.h"
#include "server/ServiceLog.h"

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

// A server started today may well still run when a 32-bit time_t runs out,
// on 19 January 2038.
TEST(ServiceLogStamp, LocalTimeToTheMillisecondAlsoPast2038) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    using Time = std::chrono::system_clock::time_point;
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(ServiceLog::Stamp(Time(seconds(1700000000)) + milliseconds(42)), "2023-11-14 22:13:20.042 ");
    EXPECT_EQ(ServiceLog::Stamp(Time(seconds(2147483647)) + milliseconds(999)), "2038-01-19 03:14:07.999 ");
    EXPECT_EQ(ServiceLog::Stamp(Time(seconds(2147483648))), "2038-01-19 03:14:08.000 ");
    EXPECT_EQ(ServiceLog::Stamp(Time(seconds(2214131696)) + milliseconds(789)), "2040-02-29 12:34:56.789 ");
    // Local time: nine hours east of UTC is the next day's morning.
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    EXPECT_EQ(ServiceLog::Stamp(Time(seconds(2214160496))), "2040-03-01 05:34:56.000 ");
    if (zone)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
