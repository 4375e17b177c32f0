#include "client/LocalPortOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "client/LocalPort.h"
#include "common/OptionChecks.h"

#ifndef ORVO_VERSION
#define ORVO_VERSION "unknown"
#endif

namespace CPO = ComPortOption;

namespace {

using OptionChecks::allDigits;
using OptionChecks::listed;
using OptionChecks::oneOf;

// "host:port" or "[IPv6]:port" split; false when it is neither.
bool splitEndpoint(const std::string& value, std::string& host, int& port) {
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || !allDigits(value.substr(colon + 1), 5)) return false;
    port = std::stoi(value.substr(colon + 1));
    host = value.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    return !host.empty() && port >= 1 && port <= 65535;
}

CLI::Validator endpoint() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            std::string host;
            int port = 0;
            if (splitEndpoint(value, host, port)) return "";
            return value + " is not HOST:PORT (a name or address, a TCP port from 1 to 65535; [::1]:3001 for IPv6)";
        },
        "");
}

CLI::Validator holdBytes() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            if (allDigits(value, 10) && std::stoll(value) <= (1LL << 30)) return "";
            return value + " is not a number of bytes from 0 to 1073741824 (1 GiB)";
        },
        "BYTES");
}

// The local port exists only where the platform has one to give.
CLI::Validator supported() {
    return CLI::Validator(
        [](std::string&) -> std::string { return LocalPortSupported() ? "" : LocalPortMissing(); }, "");
}

uint8_t parityCode(const std::string& name) {
    if (name == "odd") return CPO::SET_PARITY_ODD;
    if (name == "even") return CPO::SET_PARITY_EVEN;
    if (name == "mark") return CPO::SET_PARITY_MARK;
    if (name == "space") return CPO::SET_PARITY_SPACE;
    return CPO::SET_PARITY_NONE;
}

}  // namespace

std::string LocalPortOptions::Endpoint() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<LocalPortOptions> ParseLocalPortOptions(int argc, const char* const* argv, std::ostream& out,
                                                      std::ostream& err, int* exitStatus) {
    CLI::App app(
        "kestrin: the remote client of an Orvo serial port server. Without options it opens its window.\n"
        "With --pty it runs without a window (and without a display) as a local serial port: a pseudo-terminal,\n"
        "linked as PATH, that is the serial device behind an RFC 2217 server. Programs open PATH as a serial\n"
        "port; the bit rate, stop bits and flow control they set reach the remote line. Linux only.",
        "kestrin");
    app.footer(
        "A pseudo-terminal carries no data size, parity, modem lines or break: give the data size, parity, DTR\n"
        "and RTS here, sent at every connection. If the server goes away the port stays open and kestrin\n"
        "reconnects (every 1 s, backing off to 10 s); what the program writes meanwhile is held up to --hold\n"
        "bytes, the rest dropped and counted. SIGINT, SIGTERM and SIGHUP end it and remove the link. An\n"
        "existing PATH is replaced only when it is a link to a pseudo-terminal that no longer exists.\n");
    std::string link;
    std::string server;
    std::string protocol = "rfc2217";
    std::string dataBits;
    std::string parity;
    std::string dtr;
    std::string rts;
    std::string hold = "65536";
    bool verbose = false;

    CLI::Option* pty = app.add_option("--pty", link, "make the local port: a pseudo-terminal linked as PATH")
                           ->type_name("PATH")
                           ->check(supported());
    CLI::Option* serverOption =
        app.add_option("--server", server, "the RFC 2217 server (orvo --protocol rfc2217) whose line the port is")
            ->type_name("HOST:PORT")
            ->check(endpoint());
    pty->needs(serverOption);
    serverOption->needs(pty);
    app.add_option("--protocol", protocol,
                   "what the server speaks: rfc2217 (the line's settings travel) or raw (orvo --protocol raw: the "
                   "bytes alone)")
        ->check(oneOf({"rfc2217", "raw"}))
        ->capture_default_str()
        ->needs(pty);
    app.add_option("--data-bits", dataBits, "data bits of the remote line, sent at every connection")
        ->check(oneOf({"5", "6", "7", "8"}))
        ->needs(pty);
    app.add_option("--parity", parity, "parity of the remote line, sent at every connection")
        ->check(oneOf({"none", "odd", "even", "mark", "space"}))
        ->needs(pty);
    app.add_option("--dtr", dtr, "DTR of the remote line, sent at every connection")->check(oneOf({"on", "off"}))->needs(pty);
    app.add_option("--rts", rts, "RTS of the remote line, sent at every connection")->check(oneOf({"on", "off"}))->needs(pty);
    app.add_option("--hold", hold, "while the server is away, hold at most this many bytes the program writes; "
                                   "later ones are dropped and counted")
        ->check(holdBytes())
        ->capture_default_str()
        ->needs(pty);
    app.add_flag("--verbose", verbose,
                 "log also the settings as they change and are taken, the modem lines (NOTIFY-MODEMSTATE), flow "
                 "control and every reconnection attempt")
        ->needs(pty);
    app.set_version_flag("--version", std::string("kestrin ") + ORVO_VERSION);

    try {
        app.parse(argc, argv);
        if (pty->count() == 0) {
            throw CLI::ValidationError("--pty PATH --server HOST:PORT are needed with options; without any, "
                                       "kestrin opens its window");
        }
        if (protocol == "raw") {
            for (const char* name : {"--data-bits", "--parity", "--dtr", "--rts"}) {
                if (app.get_option(name)->count() > 0) {
                    throw CLI::ValidationError(std::string(name) + ": --protocol raw carries no settings");
                }
            }
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
        err << "kestrin: " << what << (what.rfind("--", 0) == 0 ? "" : " (see kestrin --help)") << "\n";
        *exitStatus = 2;
        return std::nullopt;
    }

    LocalPortOptions options;
    options.link = link;
    splitEndpoint(server, options.host, options.port);
    options.raw = protocol == "raw";
    if (!dataBits.empty()) options.extras.dataSize = static_cast<uint8_t>(std::stoi(dataBits));
    if (!parity.empty()) options.extras.parity = parityCode(parity);
    if (!dtr.empty()) options.extras.dtr = dtr == "on";
    if (!rts.empty()) options.extras.rts = rts == "on";
    options.holdBytes = static_cast<size_t>(std::stoll(hold));
    options.verbose = verbose;
    return options;
}
