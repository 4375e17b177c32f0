#include "server/ClientSocket.h"

#include <chrono>

#include "server/LocalCAM.h"
#include "common/NetError.h"
#include "server/Orvo.h"
#include "common/TcpListener.h"

namespace {

// A client that stops reading holds a writer for at most this long.
constexpr int kSendTimeoutMs = 5000;
// A vanished client (no FIN, no RST) is noticed after about 60 + 5 * 10 s.
constexpr int kKeepAliveIdleS = 60;
constexpr int kKeepAliveIntervalS = 10;
constexpr int kKeepAliveProbes = 5;
// Reads that keep failing mean a broken connection, not a bad command.
constexpr int kMaxReadErrors = 3;
// Pause before accepting again after a failed accept.
constexpr int kAcceptRetryMs = 1000;
constexpr size_t kMaxCommand = 32;
// Lines to the client end as the platform's text lines do.
#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

}  // namespace

ClientSocket::ClientSocket(LocalCAM& lc) : scam(lc), ss(lc.listener()) {}

ClientSocket::~ClientSocket() {
    if (!thread_.joinable()) return;
    // The last holder may be the session's own thread; it cannot join itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void ClientSocket::start(const std::function<std::thread(std::function<void()>)>& startThread) {
    thread_ = startThread([this] {
        run();
        finished_ = true;
    });
}

void ClientSocket::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void ClientSocket::run() {
    ShowStat("Awaiting client connection");
    if (!ss) return;
    TcpSocket accepted;
    std::string peer;
    for (;;) {
        try {
            accepted = ss->accept();
            const std::optional<SocketAddress> address = accepted.peer();
            peer = address ? address->text() : std::string("an unknown address");
            if (scam.Admits(address)) break;
            // Closed at once, before any greeting; the next one is awaited.
            accepted = TcpSocket();
            ShowStat("Refused client connection from " + peer);
        } catch (const NetError& e) {
            if (scam.stopping()) return;
            // Without a connection this session would never end and never
            // start its successor: show the failure and keep accepting.
            ShowStat(std::string("Accept failed: ") + e.what());
            Delay(kAcceptRetryMs);
            if (scam.stopping()) return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        cs = std::make_unique<TcpSocket>(std::move(accepted));
        peer_ = peer;
        open_ = true;
        // A shutdown that came between the accept and now found no socket.
        if (scam.stopping()) cs->shutdown();
    }
    scam.SessionBegins();
    scam.localgui().ShowClientStatus("Client connection accepted!", peer);
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
            cs->setReceiveTimeout(scam.options().idleTimeout);
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
            scam.localgui().ShowClientStatus("Idle Close", peer());
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
    HeldUpdates held(scam.localgui());
    if (line.endOfStream()) {
        ShowStat("Client Command: null");
        ShowStat("Null Close");
        return false;
    }
    str = line.text;
    scam.localgui().ShowClientCommand(str, peer());
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
            const Bytes sc = Orvo::S2BS(sercom);
            scam.localgui().ShowTX(str);
            scam.CommandB0(sc, *this, held);
        }
        return true;
    }
    if (str.size() <= kMaxCommand) {
        scam.localgui().ShowTX(str);
        scam.CommandB1(str, *this, held);
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
        if (newerSessionConnected()) return;
        ShowStat("Can't close - no current client.");
        Delay(1000);
        if (!newerSessionConnected()) ShowStat("Awaiting client connection.");
        return;
    }
    ShowStat("Closed client connection!");
    scam.clearConnectthread(this);
    scam.CommandB5();
}

void ClientSocket::ShowStat(const std::string& text) { scam.ShowStat(text); }

bool ClientSocket::newerSessionConnected() const {
    const std::shared_ptr<ClientSocket> current = scam.currentSession();
    return current && current.get() != this && current->connected();
}

void ClientSocket::OutLine(const std::string& s) { Orvo::OutLine(s); }

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
