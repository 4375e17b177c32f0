#include "server/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/AddrInfo.h"
#include "common/SocketApi.h"

#ifndef ORVO_VERSION
#define ORVO_VERSION "unknown"
#endif

namespace {

// The setup window's lists, in its order.
const std::vector<std::string> kBauds = {"2400", "9600", "19200", "38400", "57600", "115200"};
const std::vector<std::string> kDataBits = {"8", "7", "6", "5"};
const std::vector<std::string> kStopBits = {"1", "2"};
const std::vector<std::string> kParities = {"None", "Even", "Odd", "Mark"};
const std::vector<std::string> kHandshakes = {"None",   "CTSRTS", "XONXOFF", "CTSDTR", "DSRDTR",
                                              "HardIn", "HardOut", "SoftIn",  "SoftOut"};
const std::vector<std::string> kDtr = {"1", "0"};
const std::vector<std::string> kTcpPorts = {"3001", "3002", "3003", "3004", "3005", "3006", "3007", "3008"};

std::string listed(const std::vector<std::string>& values) {
    std::string text;
    for (const std::string& v : values) text += (text.empty() ? "" : ", ") + v;
    return text;
}

// A value from one of the window's lists, compared exactly as the window's
// items would be.
CLI::Validator oneOf(const std::vector<std::string>& values) {
    return CLI::Validator(
        [values](std::string& value) -> std::string {
            if (std::find(values.begin(), values.end(), value) != values.end()) return "";
            return value + " is not one of " + listed(values);
        },
        "{" + listed(values) + "}");
}

bool allDigits(const std::string& value, size_t most) {
    return !value.empty() && value.size() <= most &&
           std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

CLI::Validator serialPortName() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
#ifdef _WIN32
            // Windows numbers its ports from COM1 (a USB adapter may get
            // COM12); other devices go by \\.\NAME.
            const bool com = value.size() > 3 && value.compare(0, 3, "COM") == 0 && value[3] != '0' &&
                             allDigits(value.substr(3), 3);
            if (com || (value.size() > 4 && value.compare(0, 4, "\\\\.\\") == 0)) return "";
            return value + " is not a port name (COM1, COM12, \\\\.\\NAME)";
#else
            const bool com = value.size() == 4 && value.compare(0, 3, "COM") == 0 && value[3] >= '1' && value[3] <= '8';
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

CLI::Validator wholeSeconds() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            return allDigits(value, 9) ? "" : value + " is not a whole number of seconds, 0 or more";
        },
        "SECONDS");
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

// Whether a (resolved) address is the wildcard or one of this host's own.
bool isLocal(const sockaddr* address, const IfAddrsList& interfaces) {
    if (address->sa_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        if (in.s_addr == htonl(INADDR_ANY)) return true;
        for (const ifaddrs* i = interfaces.get(); i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == in.s_addr)
                return true;
        }
        return false;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&in6)) return true;
    for (const ifaddrs* i = interfaces.get(); i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET6 &&
            IN6_ARE_ADDR_EQUAL(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, &in6))
            return true;
    }
    return false;
}

// An address of this host the server can listen on, as a number or a name.
CLI::Validator localAddress() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_PASSIVE;
            AddrInfoList found;
            IfAddrsList interfaces;
            if (lookupAddresses(value.c_str(), nullptr, hints, found) == 0 && listInterfaces(interfaces)) {
                for (const addrinfo* ai = found.get(); ai != nullptr; ai = ai->ai_next) {
                    if (isLocal(ai->ai_addr, interfaces)) return "";
                }
            }
            return value + " is not an address of this host (IPv4, IPv6 or a host name)";
        },
        "ADDRESS");
}

CLI::Validator networks() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            std::string error;
            return AllowList::parse(value, error) ? "" : error;
        },
        "CIDR[,CIDR...]");
}

// Keys of a configuration file that name no option, or sit in a section:
// CLI11 would ignore the ones in sections silently.
std::optional<std::string> unknownKey(const CLI::App& app, const std::string& file) {
    for (const CLI::ConfigItem& item : CLI::ConfigTOML().from_file(file)) {
        if (item.name == "++" || item.name == "--") continue;  // where a section begins and ends
        std::string key;
        for (const std::string& parent : item.parents) key += parent + ".";
        key += item.name;
        const CLI::Option* option = item.parents.empty() ? app.get_option_no_throw("--" + item.name) : nullptr;
        if (option != nullptr && option->get_configurable()) continue;
        std::string value;
        for (const std::string& input : item.inputs) value += (value.empty() ? "" : ",") + input;
        return file + ": " + key + " = " + value + ": no such key (keys: port, baud, data-bits, stop-bits, " +
               "parity, handshake, dtr, tcp-port, listen, allow, idle-timeout, log-exchanges, answer-wait, " +
               "answer-gap)";
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
    bool logExchanges = false;
    bool headless = false;

#ifdef _WIN32
    app.add_option("--port", port, "serial port: COM1 to COM8, or another port name (COM12)")
#else
    app.add_option("--port", port, "serial port: COM1 to COM8, or a device path")
#endif
        ->check(serialPortName())
        ->capture_default_str();
    app.add_option("--baud", baud, "bit rate")->check(oneOf(kBauds))->capture_default_str();
    app.add_option("--data-bits", dataBits, "data bits")->check(oneOf(kDataBits))->capture_default_str();
    app.add_option("--stop-bits", stopBits, "stop bits")->check(oneOf(kStopBits))->capture_default_str();
    app.add_option("--parity", parity, "parity")->check(oneOf(kParities))->capture_default_str();
    app.add_option("--handshake", handshake, "handshake")->check(oneOf(kHandshakes))->capture_default_str();
    app.add_option("--dtr", dtr, "raise DTR once the port is open (1) or leave it (0)")
        ->check(oneOf(kDtr))
        ->capture_default_str();
    app.add_option("--tcp-port", tcpPort, "TCP port to listen on")->check(oneOf(kTcpPorts))->capture_default_str();
    app.add_option("--listen", listen, "listen on this local address only (default: every interface)")
        ->check(localAddress());
    app.add_option("--allow", allow, "let in only clients of these networks (default: everyone)")
        ->check(networks());
    app.add_option("--idle-timeout", idle, "close a client that sends nothing for this long (0: never)")
        ->check(wholeSeconds())
        ->capture_default_str();
    app.add_flag("--log-exchanges", logExchanges,
                 "log every exchange: client, command, answer in hex, time taken");
    app.add_option("--answer-wait", answerWait, "the most an answer is waited for, in ms")
        ->check(milliseconds(1))
        ->capture_default_str();
    app.add_option("--answer-gap", answerGap,
                   "an answer is complete once the device is quiet this many ms after its last byte "
                   "(or 32 bytes are in, or --answer-wait passed); 0: always the whole --answer-wait")
        ->check(milliseconds(0))
        ->capture_default_str();
    app.add_flag("--headless", headless, "run the bridge without windows, logging to standard error")
        ->configurable(false);
    // Unknown keys are left to unknownKey(), which names the file, the key
    // and its value.
    app.set_config("--config", "", "read options from FILE (INI or TOML: key = value, keys as the options)")
        ->type_name("FILE");
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
            CharacterMilliseconds(std::stoi(baud), std::stoi(dataBits), std::stoi(stopBits), parity);
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
            err << "orvo: --config: " << what << "\n";
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
    std::string error;
    if (!allow.empty()) s.allow = *AllowList::parse(allow, error);
    s.idleTimeoutSeconds = std::stoi(idle);
    s.logExchanges = logExchanges;
    s.answerWaitMs = std::stoi(answerWait);
    s.answerGapMs = std::stoi(answerGap);
    return line;
}
