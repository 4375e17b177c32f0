#pragma once
// What the bridge is started with: the serial line as the setup window offers
// it, and how it treats its clients. The defaults are the setup window's own
// first choices and the bridge as it always was: every interface, everyone
// let in, no idle limit, no exchange log.
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
    int idleTimeoutSeconds = 0;   // a client silent this long is closed; 0: never
    bool logExchanges = false;    // one log line per exchange
};
