#include "server/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <istream>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "Serlib/SerialConfig.h"
#include "server/Protocols.h"
#include "server/SettingsTable.h"
#include "common/HexCodec.h"
#include "common/OptionChecks.h"
#include "common/SocketApi.h"

#ifndef ORVO_VERSION
#define ORVO_VERSION "unknown"
#endif

namespace {

using OptionChecks::allDigits;
using OptionChecks::listed;
using OptionChecks::oneOf;

// The setup window's lists, in its order.
const std::vector<std::string> kBauds = SettingsTable::Texts(SettingsTable::BitRates());
const std::vector<std::string> kDataBits = SettingsTable::Texts(SettingsTable::DataBits());
const std::vector<std::string> kStopBits = SettingsTable::Texts(SettingsTable::StopBits());
const std::vector<std::string> kParities = SettingsTable::Texts(SettingsTable::Parities());
const std::vector<std::string> kHandshakes = SettingsTable::Texts(SettingsTable::Handshakes());
const std::vector<std::string>& kDtr = SettingsTable::Dtr();

#ifdef _WIN32
// The most an exact rate's code can carry.
constexpr long long kMostExactRate = Serlib::SerialConfig::BR_EXACT - 1;
#else
// The rates the termios driver can set, from 50 to 4000000.
std::string listedRates() {
    std::vector<std::string> rates;
    for (const int32_t rate : Serlib::SerialConfig::standardRates()) rates.push_back(std::to_string(rate));
    return listed(rates);
}
#endif

#ifdef _WIN32
std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}
#endif

CLI::Validator serialPortName() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
#ifdef _WIN32
            // Windows numbers its ports from COM1 (a USB adapter may get
            // COM12); other devices go by \\.\NAME.
            // The driver takes the letters in any case, as Windows does.
            const bool com = value.size() > 3 && upper(value.substr(0, 3)) == "COM" && value[3] != '0' &&
                             allDigits(value.substr(3), 3);
            if (com || (value.size() > 4 && value.compare(0, 4, "\\\\.\\") == 0)) return "";
            return value + " is not a port name (COM1, COM12, \\\\.\\NAME)";
#else
            const std::vector<std::string>& names = SettingsTable::SerialPorts();
            const bool com = std::find(names.begin(), names.end(), value) != names.end();
            if (com || (value.size() > 1 && value[0] == '/')) return "";
            return value + " is not COM1 to COM8 or a device path (/dev/...)";
#endif
        },
#ifdef _WIN32
        "COMn|\\\\.\\NAME");
#else
        "COM1..COM8|PATH");
#endif
}

// The longest idle limit: thirty days, which every platform's socket time-out
// holds in milliseconds (Windows keeps them in 32 bits, up to 49 days).
constexpr long long kMostIdleSeconds = 30LL * 24 * 3600;

CLI::Validator idleSeconds() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            if (allDigits(value, 9) && std::stoll(value) <= kMostIdleSeconds) return "";
            return value + " is not a whole number of seconds from 0 to " + std::to_string(kMostIdleSeconds) +
                   " (30 days)";
        },
        "SECONDS");
}

// A whole number from lowest to highest.
CLI::Validator wholeNumber(long long lowest, long long highest, const std::string& what) {
    return CLI::Validator(
        [=](std::string& value) -> std::string {
            if (allDigits(value, 10) && std::stoll(value) >= lowest && std::stoll(value) <= highest) return "";
            return value + " is not " + what;
        },
        "N");
}

// The bit rates the platform's driver can set.
CLI::Validator bitRate() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            const long long rate = allDigits(value, 10) ? std::stoll(value) : 0;
#ifdef _WIN32
            // Windows takes the rate itself, whatever the number.
            if (rate > 0 && rate <= kMostExactRate) return "";
            return value + " is not a bit rate (a whole number from 1 to " + std::to_string(kMostExactRate) + ")";
#else
            if (rate > 0 && rate <= INT32_MAX && Serlib::SerialConfig::codeForRate(static_cast<int32_t>(rate))) {
                return "";
            }
            return value + " is not one of " + listedRates();
#endif
        },
        "BAUD");
}

// Whole milliseconds from lowest to 60000.
CLI::Validator milliseconds(int lowest) {
    return CLI::Validator(
        [lowest](std::string& value) -> std::string {
            if (allDigits(value, 5) && std::stoi(value) >= lowest && std::stoi(value) <= 60000) return "";
            return value + " is not a whole number of milliseconds from " + std::to_string(lowest) + " to 60000";
        },
        "MS");
}

// An address to listen on: a numeric IPv4 or IPv6 address (with a zone for
// a link-local one), or a host name. Whether it is this host's is found out
// when the bridge listens: an address that comes later is waited for.
CLI::Validator listenAddress() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            const std::string bad = value + " is not an IPv4 or IPv6 address or a host name";
            in_addr v4{};
            in6_addr v6{};
            if (::inet_pton(AF_INET, value.c_str(), &v4) == 1) return "";
            const std::string unzoned = value.substr(0, value.find('%'));
            if (value.find(':') != std::string::npos) {
                return ::inet_pton(AF_INET6, unzoned.c_str(), &v6) == 1 && unzoned.size() + 1 != value.size() ? ""
                                                                                                                : bad;
            }
            // Digits and dots alone are meant as an IPv4 address, and this is none.
            if (value.find_first_not_of("0123456789.") == std::string::npos) return bad;
            if (value.empty() || value.size() > 253) return bad;
            size_t labelStart = 0;
            for (;;) {
                const size_t dot = value.find('.', labelStart);
                const std::string label = value.substr(labelStart, dot == std::string::npos ? std::string::npos
                                                                                            : dot - labelStart);
                const bool fine = !label.empty() && label.size() <= 63 && label.front() != '-' &&
                                  label.back() != '-' &&
                                  std::all_of(label.begin(), label.end(), [](char c) {
                                      return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
                                  });
                if (!fine) return bad;
                if (dot == std::string::npos) return "";
                labelStart = dot + 1;
            }
        },
        "ADDRESS");
}

// One to four bytes in hexadecimal: an even count of digits, nothing else.
CLI::Validator answerEndBytes() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            const bool hex = std::all_of(value.begin(), value.end(),
                                         [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
            if (!value.empty() && hex && value.size() % 2 == 0 && value.size() <= 8) return "";
            return value + " is not 1 to 4 bytes in hexadecimal (two digits a byte: 0D0A, 0A, 03)";
        },
        "HEX");
}

CLI::Validator networks() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            std::string error;
            return AllowList::parse(value, error) ? "" : error;
        },
        "CIDR[,CIDR...]");
}

// A configuration file is read whole before it is parsed, so that a file that
// cannot be read (a device, a directory, /proc/self/mem) or never ends is
// refused rather than taken as an empty one, which would start a bridge open
// to everyone.
class CheckedConfig : public CLI::ConfigTOML {
public:
    static constexpr size_t kMostBytes = 1 << 20;

    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
        std::string text;
        char chunk[4096];
        errno = 0;
        while (input.read(chunk, sizeof chunk) || input.gcount() > 0) {
            text.append(chunk, static_cast<size_t>(input.gcount()));
            if (text.size() > kMostBytes) throw CLI::FileError("is larger than 1 MiB");
        }
        if (input.bad()) {
            throw CLI::FileError(std::string("cannot be read: ") + std::strerror(errno != 0 ? errno : EIO));
        }
        std::istringstream whole(text);
        return CLI::ConfigTOML::from_config(whole);
    }
};

// The values a flag takes (--log-exchanges=0, log-exchanges = true in a file);
// CLI11 would take any number, "yes" or "on" as true.
bool flagValue(const std::string& value) {
    return value == "true" || value == "false" || value == "1" || value == "0";
}

// Keys of a configuration file that name no option, or sit in a section:
// CLI11 would ignore the ones in sections silently.
std::optional<std::string> unknownKey(const CLI::App& app, const std::string& file) {
    for (const CLI::ConfigItem& item : CheckedConfig().from_file(file)) {
        if (item.name == "++" || item.name == "--") continue;  // where a section begins and ends
        std::string key;
        for (const std::string& parent : item.parents) key += parent + ".";
        key += item.name;
        const CLI::Option* option = item.parents.empty() ? app.get_option_no_throw("--" + item.name) : nullptr;
        std::string value;
        for (const std::string& input : item.inputs) value += (value.empty() ? "" : ",") + input;
        if (option != nullptr && option->get_configurable()) continue;
        return file + ": " + key + " = " + value + ": no such key (keys: port, baud, data-bits, stop-bits, " +
               "parity, handshake, dtr, tcp-port, protocol, listen, allow, idle-timeout, log-exchanges, " +
               "answer-wait, answer-gap, answer-end)";
    }
    return std::nullopt;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                            int* exitStatus) {
    CLI::App app("orvo: makes a serial port usable over TCP/IP. Without options it opens its setup window;\n"
                 "the options preselect the window's choices, or run the bridge without windows (--headless).",
                 "orvo");
    std::string port = "COM1";
    std::string baud = "9600";
    std::string dataBits = "8";
    std::string stopBits = "1";
    std::string parity = "None";
    std::string handshake = "None";
    std::string dtr = "1";
    std::string tcpPort = "3001";
    std::string listen;
    std::string allow;
    std::string idle = "0";
    std::string answerWait = "150";
    std::string answerGap = "0";
    std::string answerEnd;
    bool logExchanges = false;
    bool headless = false;
    std::string protocol = "line";

#ifdef _WIN32
    app.add_option("--port", port, "serial port: COM1 to COM8, or another port name (COM12)")
#else
    app.add_option("--port", port, "serial port: COM1 to COM8, or a device path")
#endif
        ->check(serialPortName())
        ->capture_default_str();
#ifdef _WIN32
    app.add_option("--baud", baud, "bit rate: any; the setup window offers " + listed(kBauds))
#else
    app.add_option("--baud", baud,
                   "bit rate: a termios rate from 50 to 4000000 (a wrong one lists them); the setup window offers " +
                       listed(kBauds))
#endif
        ->check(bitRate())
        ->capture_default_str();
    app.add_option("--data-bits", dataBits, "data bits")->check(oneOf(kDataBits))->capture_default_str();
    app.add_option("--stop-bits", stopBits, "stop bits")->check(oneOf(kStopBits))->capture_default_str();
    app.add_option("--parity", parity, "parity")->check(oneOf(kParities))->capture_default_str();
    app.add_option("--handshake", handshake, "handshake")->check(oneOf(kHandshakes))->capture_default_str();
    app.add_option("--dtr", dtr, "raise DTR once the port is open (1) or leave it (0)")
        ->check(oneOf(kDtr))
        ->capture_default_str();
    app.add_option("--tcp-port", tcpPort, "TCP port to listen on: 1 to 65535; the setup window offers 3001 to 3008")
        ->check(wholeNumber(1, 65535, "a TCP port (1 to 65535)"))
        ->capture_default_str();
    std::vector<std::string> protocols;
    for (const Protocol& p : Protocols()) protocols.push_back(p.name);
    app.add_option("--protocol", protocol,
                   "what clients speak: line (command lines, hex answers), raw (the device's bytes as they are) "
                   "or rfc2217 (raw with RFC 2217's telnet control of the line)")
        ->check(oneOf(protocols))
        ->capture_default_str();
    app.add_option("--listen", listen,
                   "listen on this local address only (default: every interface); one that is not this host's "
                   "yet is waited for")
        ->check(listenAddress());
    app.add_option("--allow", allow, "let in only clients of these networks (default: everyone)")
        ->check(networks());
    app.add_option("--idle-timeout", idle,
                   "close a client that sends nothing for this many seconds (0: never; at most 30 days)")
        ->check(idleSeconds())
        ->capture_default_str();
    app.add_flag("--log-exchanges", logExchanges,
                 "log every exchange: client, command, answer in hex, time taken")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                return flagValue(value) ? "" : value + " is not true or false (1 or 0)";
            },
            ""));
    app.add_option("--answer-wait", answerWait, "the most an answer is waited for, in ms")
        ->check(milliseconds(1))
        ->capture_default_str();
    app.add_option("--answer-gap", answerGap,
                   "an answer is complete once the device is quiet this many ms after its last byte "
                   "(or 32 bytes are in, or --answer-wait passed); 0: always the whole --answer-wait")
        ->check(milliseconds(0))
        ->capture_default_str();
    app.add_option("--answer-end", answerEnd,
                   "an answer is complete as soon as it ends with these bytes, in hex (0D0A for CR LF, 0A, 03): 1 "
                   "to 4 bytes; --answer-wait, --answer-gap and 32 bytes still end it, whichever comes first")
        ->check(answerEndBytes());
    app.add_flag("--headless", headless, "run the bridge without windows, logging to standard error")
        ->configurable(false);
    // Unknown keys are left to unknownKey(), which names the file, the key
    // and its value.
    app.set_config("--config", "", "read options from FILE (INI or TOML: key = value, keys as the options)")
        ->type_name("FILE");
    app.config_formatter(std::make_shared<CheckedConfig>());
    app.set_version_flag("--version", std::string("orvo ") + ORVO_VERSION);

    try {
        app.parse(argc, argv);
        if (const CLI::Option* config = app.get_option("--config"); config->count() > 0) {
            if (std::optional<std::string> unknown = unknownKey(app, config->as<std::string>())) {
                throw CLI::ConfigError(*unknown);
            }
        }
        // A gap shorter than one character would end every answer between
        // two of its characters.
        const int gap = std::stoi(answerGap);
        const double character =
            SerialLine{port, std::stoi(baud), std::stoi(dataBits), std::stoi(stopBits), parity}.CharacterMilliseconds();
        if (gap > 0 && gap < character) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "--answer-gap: %d ms is shorter than one character at %s bit/s (%d bits: %.2f ms)", gap,
                          baud.c_str(), 1 + std::stoi(dataBits) + (parity == "None" ? 0 : 1) + std::stoi(stopBits),
                          character);
            throw CLI::ValidationError(text);
        }
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        *exitStatus = 0;
        return std::nullopt;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << "\n";
        *exitStatus = 0;
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        const std::string what = e.what();
        const bool namesOption = what.rfind("--", 0) == 0 || what.rfind("/", 0) == 0;
        if (e.get_name() == "FileError") {
            // A file that is there but cannot be read is named here.
            const std::string file = app.get_option("--config")->as<std::string>();
            err << "orvo: --config: " << (what.find(file) == std::string::npos ? file + " " : "") << what << "\n";
        } else if (namesOption || e.get_name() == "ConfigError") {
            err << "orvo: " << what << "\n";
        } else {
            err << "orvo: " << what << " (see orvo --help)\n";
        }
        *exitStatus = 2;
        return std::nullopt;
    }

    CommandLine line;
    line.headless = headless;
    BridgeSettings& s = line.settings;
    s.port = port;
    s.baud = std::stoi(baud);
    s.dataBits = std::stoi(dataBits);
    s.stopBits = std::stoi(stopBits);
    s.parity = parity;
    s.handshake = handshake;
    s.dtr = std::stoi(dtr);
    s.tcpPort = std::stoi(tcpPort);
    s.listen = listen;
    s.protocol = protocol;
    std::string error;
    if (!allow.empty()) s.allow = *AllowList::parse(allow, error);
    s.idleTimeout = std::chrono::seconds(std::stoll(idle));
    s.logExchanges = logExchanges;
    s.answerWaitMs = std::stoi(answerWait);
    s.answerGapMs = std::stoi(answerGap);
    if (!answerEnd.empty()) s.answerEnd = HexCodec::S2BS(answerEnd);
    return line;
}
