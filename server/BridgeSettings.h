#pragma once
// What the bridge is started with: the serial line as the setup window offers
// it, and how it treats its clients. The defaults are the setup window's own
// first choices and the bridge as it always was: every interface, everyone
// let in, no idle limit, no exchange log.
#include <chrono>
#include <string>

#include "server/AllowList.h"

struct BridgeSettings {
    std::string port = "COM1";  // COM1 to COM8, or a device path
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    std::string parity = "None";
    std::string handshake = "None";
    int dtr = 1;
    int tcpPort = 3001;

    std::string listen;           // the one local address to listen on; empty: every one
    AllowList allow;              // who may connect; empty: everyone
    std::chrono::seconds idleTimeout{0};  // a client silent this long is closed; 0: never
    bool logExchanges = false;    // one log line per exchange

    int answerWaitMs = 150;       // the most an answer is waited for
    int answerGapMs = 0;          // an answer ends this quiet after its last byte; 0: the whole wait
};

// How long one character takes on the line, in milliseconds: a start bit,
// the data bits, a parity bit unless parity is "None", the stop bits.
inline double CharacterMilliseconds(int baud, int dataBits, int stopBits, const std::string& parity) {
    const int bits = 1 + dataBits + (parity == "None" ? 0 : 1) + stopBits;
    return baud > 0 ? bits * 1000.0 / baud : 0.0;
}
