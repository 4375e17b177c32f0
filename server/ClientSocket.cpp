#include "server/ClientSocket.h"

#include <chrono>

#include "common/NetError.h"
#include "common/Console.h"
#include "common/HexCodec.h"

namespace {

// A client that stops reading holds a writer for at most this long.
constexpr int kSendTimeoutMs = 5000;
// A vanished client (no FIN, no RST) is noticed after about 60 + 5 * 10 s.
constexpr int kKeepAliveIdleS = 60;
constexpr int kKeepAliveIntervalS = 10;
constexpr int kKeepAliveProbes = 5;
// Reads that keep failing mean a broken connection, not a bad command.
constexpr int kMaxReadErrors = 3;
constexpr size_t kMaxCommand = 32;
// Lines to the client end as the platform's text lines do.
#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

}  // namespace

ClientSocket::ClientSocket(SessionHost& host) : scam(host) {}

void ClientSocket::run() {
    ShowStat("Awaiting client connection");
    std::optional<SessionHost::AcceptedClient> accepted = scam.AcceptClient([this](int ms) { Delay(ms); });
    if (!accepted) return;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        cs = std::make_unique<TcpSocket>(std::move(accepted->socket));
        peer_ = accepted->peer;
        open_ = true;
        // An interrupt that came between the accept and now found no socket.
        if (!a) cs->shutdown();
    }
    scam.SessionBegins(false);
    scam.ShowAccepted(accepted->peer);
    serve();
    a = false;
    Close();
    // Nothing reads or writes the connection any more: release it.
    std::lock_guard<std::mutex> lock(sessionMutex_);
    csout.reset();
    csin.reset();
    cs.reset();
    open_ = false;
}

void ClientSocket::serve() {
    bool opened = true;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        try {
            cs->enableKeepAlive(kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
            cs->setSendTimeout(kSendTimeoutMs);
            // A read that waits this long means the client sent nothing.
            cs->setReceiveTimeout(scam.idleTimeout());
            csin = std::make_unique<LineReader>(*cs);
            csout = std::make_unique<LineWriter>(*cs, kLineEnd);
        } catch (const NetError&) {
            opened = false;
        }
        if (opened && open_) {
            // In the same step as making the writer, so no answer line can
            // reach the client before its greeting.
            try {
                csout->writeLine("OK");
            } catch (const NetError&) {
                // A client gone already is found by the first read.
            }
        }
    }
    if (!opened) {
        ShowStat("I/O Open Unsuccessful");
        return;
    }
    int readErrors = 0;
    while (a) {
        str.clear();
        LineReader::Result line;
        try {
            line = csin->readLine();
            readErrors = 0;
        } catch (const NetTimeout&) {
            // Only set with an idle limit: a forgotten client must not hold
            // the port from the ones queued behind it.
            scam.view().ShowClientStatus("Idle Close", peer());
            return;
        } catch (const NetError&) {
            ShowStat("Bad Incoming Client Command");
            if (++readErrors >= kMaxReadErrors) {
                ShowStat("Null Close");
                return;
            }
            continue;
        }
        if (!handle(line)) return;
    }
}

bool ClientSocket::handle(const LineReader::Result& line) {
    // The window's updates wait while the command goes to the serial line
    // and while its answer goes to the client; the exchange lets them
    // through in between, when nothing waits on the window.
    HeldUpdates held(scam.view());
    if (line.endOfStream()) {
        ShowStat("Client Command: null");
        ShowStat("Null Close");
        return false;
    }
    str = line.text;
    scam.view().ShowClientCommand(str, peer());
    // Kept only in part by the reader, and far too long anyway: dropped.
    if (line.status == LineReader::Status::TooLong) return true;
    if (str.empty()) {
        ShowStat("Len=0 Close");
        return false;
    }
    if (str == "Close" || str == "KILL") {
        ShowStat("Client Closed Connection!");
        return false;
    }
    if (str.size() > 2 && str.compare(0, 2, "0x") == 0) {
        sercom = str.substr(2);
        if (sercom.size() <= kMaxCommand) {
            const Bytes sc = HexCodec::S2BS(sercom);
            scam.view().ShowTX(str);
            scam.Exchange(sc, *this, held);
        }
        return true;
    }
    if (str.size() <= kMaxCommand) {
        scam.view().ShowTX(str);
        scam.Exchange(str, *this, held);
    }
    return true;
}

void ClientSocket::ToClient(const std::string& s) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (!open_ || !csout) return;
    try {
        csout->writeLine(s);
    } catch (const NetError&) {
        // Not reported: the line is lost. A client that stopped reading (the
        // send time-out ran out) or has gone is cut off like after a failed
        // read, rather than costing a time-out for every queued command.
        a = false;
        cs->shutdown();
    }
}

void ClientSocket::stopme() { a = false; }

std::string ClientSocket::peer() const {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return peer_;
}

bool ClientSocket::connected() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return open_;
}

void ClientSocket::Close() {
    bool hadConnection = false;
    {
        // Two overlapping calls: the first closes, the second finds nothing.
        std::lock_guard<std::mutex> lock(sessionMutex_);
        hadConnection = open_;
        if (open_) {
            if (csout) {
                try {
                    csout->writeLine("CLOSE");
                } catch (const NetError&) {
                    // Written to a connection the client has closed already.
                }
            }
            // Ends the connection and any read blocked on it; the session
            // thread releases the descriptor once it no longer reads.
            cs->shutdown();
            open_ = false;
            a = false;
        }
    }
    if (!hadConnection) {
        // Typically this session's own thread, after the operator closed its
        // client: by now the next session may be serving someone.
        if (!scam.ShowUnlessSuperseded(*this, "Can't close - no current client.")) return;
        Delay(1000);
        scam.ShowUnlessSuperseded(*this, "Awaiting client connection.");
        return;
    }
    ShowStat("Closed client connection!");
    scam.SessionEnds(*this);
}

void ClientSocket::ShowStat(const std::string& text) { scam.view().ShowStatus(text); }

void ClientSocket::OutLine(const std::string& s) { WriteConsoleLine(s); }

void ClientSocket::Delay(int t) {
    std::unique_lock<std::mutex> lock(delayMutex_);
    delayWake_.wait_for(lock, std::chrono::milliseconds(t), [this] { return interrupted_; });
}

void ClientSocket::interrupt() {
    a = false;
    {
        std::lock_guard<std::mutex> lock(delayMutex_);
        interrupted_ = true;
    }
    delayWake_.notify_all();
    std::lock_guard<std::mutex> lock(sessionMutex_);
    // The server is going away: the client hears it as from any close.
    if (open_ && csout) {
        try {
            csout->writeLine("CLOSE");
        } catch (const NetError&) {
            // The client is gone already.
        }
    }
    open_ = false;
    if (cs) cs->shutdown();
}
