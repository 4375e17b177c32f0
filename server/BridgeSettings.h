#pragma once
// What the bridge is started with: the serial line as the setup window offers
// it, the TCP port, and how the bridge treats its clients. The defaults are
// the setup window's own first choices and the bridge as it always was:
// every interface, everyone let in, no idle limit, no exchange log.
#include <chrono>
#include <string>

#include "common/Bytes.h"
#include "server/AllowList.h"
#include "server/SerialLine.h"

struct BridgeSettings : SerialLine {
    int tcpPort = 3001;
    std::string protocol = "line";  // what clients speak: line, raw or rfc2217 (Protocols())

    std::string listen;           // the one local address to listen on; empty: every one
    AllowList allow;              // who may connect; empty: everyone
    std::chrono::seconds idleTimeout{0};  // a client silent this long is closed; 0: never
    bool logExchanges = false;    // one log line per exchange

    int answerWaitMs = 150;       // the most an answer is waited for
    int answerGapMs = 0;          // an answer ends this quiet after its last byte; 0: the whole wait
    Bytes answerEnd;              // an answer ends with these bytes (1 to 4); empty: no end
};
