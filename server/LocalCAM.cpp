#include "server/LocalCAM.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "server/ClientSocket.h"
#include "common/NetError.h"
#include "server/Orvo.h"
#include "server/SerOutPort.h"
#include "server/BridgeSettings.h"
#include "server/LimitedLog.h"
#include "server/LogText.h"
#include "server/ServiceLog.h"
#include "common/SocketAddress.h"
#include "common/TcpListener.h"

std::atomic<LocalCAM*> LocalCAM::running_{nullptr};

namespace {

std::string firstChar(const std::string& s) { return s.empty() ? std::string() : s.substr(0, 1); }

// Pause before trying again to start a session the system had no thread for.
constexpr int kSessionRetryMs = 1000;

}  // namespace

LocalCAM::LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
                   const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies,
                   Options options)
    : lookup_(std::move(dependencies.lookup)),
      startThread_(std::move(dependencies.startThread)),
      log_(std::move(dependencies.log)),
      clientLog_(std::move(dependencies.clientLog)),
      socketport_(socketport),
      options_(std::move(options)),
      SerIn(SerOutPort::kRxBufferSize, 0) {
    if (!log_) log_ = [log = ServiceLog::ForStandardError()](const std::string& line) { log.Line(line); };
    if (!clientLog_) {
        clientLog_ = [limited = std::make_shared<LimitedLog>(log_)](const std::string& line) { limited->Line(line); };
    }
    running_ = this;
    sop = std::make_unique<SerOutPort>(cpname, baudrate, dbits, sbits, parity, handshake, dtr, dependencies.openPort);
    // A gap shorter than one character would end answers between their
    // characters; the setup window may pick a slower rate than the options
    // were checked against.
    const double character = CharacterMilliseconds(baudrate, dbits, sbits, parity);
    int gap = options_.answerGapMs;
    if (gap > 0 && gap < character) gap = static_cast<int>(std::ceil(character));
    sop->SetAnswerTiming(options_.answerWaitMs, gap);
    localgui_ = dependencies.makeView(socketport, *this);
    if (!localgui_) throw std::invalid_argument("LocalCAM: the view factory made no view");

    // A COMn name shows as its number ("1:9600 ..."), a device path whole.
    const bool comName = cpname.size() > 3 && (cpname.compare(0, 3, "COM") == 0 || cpname.compare(0, 3, "com") == 0);
    serstring_ = (comName ? cpname.substr(3) : cpname) + ":" +
                                  std::to_string(baudrate) + " Data:" + std::to_string(dbits) +
                                  " Stop:" + std::to_string(sbits) + " Parity:" + firstChar(parity) +
                                  " HS:" + firstChar(handshake) + " DTR:" + std::to_string(dtr);
    if (sop->PortOpen()) {
        localgui_->ShowSerial(serstring_);
    } else {
        localgui_->ShowSerial("Serial Port " + cpname + " Could Not Open");
    }
    portAbsent_ = !sop->PortOpen() && sop->CanOpen() && options_.reopenEveryMs > 0;
    CommandB4("");
    try {
        housekeeper_ = std::thread([this] { housekeeping(); });
    } catch (const std::system_error&) {
        // Without it a session that cannot start is not tried again; the
        // first one below most likely fails too, and says so.
    }
    if (OpenServerSocket(socketport)) {
        ServeOn();
    } else if (listenPending_) {
        ShowStat("Trying again every " + std::to_string(options_.relistenEveryMs / 1000) + " s until " +
                 options_.listenAddress + " is an address of this host");
    }
}

LocalCAM::LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
                   const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies)
    : LocalCAM(cpname, socketport, baudrate, dbits, sbits, parity, handshake, dtr, std::move(dependencies),
               Options()) {}

LocalCAM::~LocalCAM() {
    Shutdown();
    LocalCAM* self = this;
    running_.compare_exchange_strong(self, nullptr);
}

LocalCAM* LocalCAM::running() { return running_; }

std::thread LocalCAM::StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

std::shared_ptr<ClientSocket> LocalCAM::connectthread() {
    LocalCAM* controller = running_;
    return controller ? controller->currentSession() : nullptr;
}

std::shared_ptr<ClientSocket> LocalCAM::currentSession() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    return currentSession_;
}

std::shared_ptr<TcpListener> LocalCAM::listener() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    return listeningSocket_;
}

void LocalCAM::clearConnectthread(const ClientSocket* session) {
    std::lock_guard<std::mutex> lock(connectMutex_);
    if (currentSession_.get() == session) currentSession_.reset();
}

int LocalCAM::listeningPort() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    return listeningSocket_ ? listeningSocket_->port() : -1;
}

bool LocalCAM::serialOpen() const { return sop->PortOpen(); }

void LocalCAM::ShowStat(const std::string& a) { localgui_->ShowStatus(a); }

bool LocalCAM::OpenServerSocket(int port, bool report) {
    try {
        auto opened = std::make_shared<TcpListener>(TcpListener::listen(port, options_.listenAddress));
        const int bound = opened->port();
        {
            std::lock_guard<std::mutex> lock(connectMutex_);
            listeningSocket_ = std::move(opened);
        }
        listenPending_ = false;
        // The bound port, which differs from the one asked for only for 0.
        ShowStat("Server Socket Opened OK at Port " + std::to_string(bound));
        return true;
    } catch (const NetError& e) {
        // An address that comes later (DHCP, an interface up late at boot)
        // is waited for as a serial device is.
        const bool missing = dynamic_cast<const NetAddressMissing*>(&e) != nullptr;
        if (missing && options_.relistenEveryMs > 0) {
            {
                // Under the retry lock, so the retry thread cannot miss it.
                std::lock_guard<std::mutex> lock(retryMutex_);
                listenPending_ = true;
            }
            retryWake_.notify_all();
        }
        if (report) {
            ShowStat("Can't Get ServerSocket at Port " + std::to_string(port));
            log_(e.what());
        }
        return false;
    }
}

void LocalCAM::ServeOn() {
    if (!options_.allow.empty()) {
        if (std::shared_ptr<TcpListener> listening = listener()) {
            const TcpListener::Families families = listening->clientFamilies();
            if (!options_.allow.canAdmit(families.v4, families.v6)) {
                log_("Warning: --allow " + options_.allow.text() + " can never admit a client of --listen " +
                     options_.listenAddress + ", which takes IPv" + (families.v4 ? "4" : "6") + " clients only");
            }
        }
    }
    CommandB5();
}

void LocalCAM::relisten() {
    if (OpenServerSocket(socketport_, false)) ServeOn();
}

namespace {
// A command as the exchange log shows it: text quoted, bytes as 0x and hex.
std::string loggedCommand(const std::string& text) { return "\"" + LoggableText(text) + "\""; }
std::string loggedCommand(const Bytes& bytes) { return "0x" + Orvo::BS2S(bytes, static_cast<int>(bytes.size())); }
}  // namespace

template <typename Command>
void LocalCAM::Exchange(const Command& command, ClientSocket* asker, HeldUpdates& held) {
    std::string answer;
    std::string deviceChange;
    std::chrono::duration<double, std::milli> took{};
    {
        // The whole exchange and the reading of its result, so an exchange
        // from the other thread cannot clear the buffer in between.
        std::lock_guard<std::timed_mutex> lock(exchangeMutex_);
        const auto started = std::chrono::steady_clock::now();
        const bool written = sop->WriteCommand(command);
        // The command is on the line: the window catches up while the
        // device answers, when nothing waits on it.
        held.release();
        if (written) sop->CollectAnswer();
        took = std::chrono::steady_clock::now() - started;
        SerIn = sop->Buffer();
        answer = Orvo::BS2S(SerIn, sop->numBytes);
        if (sop->WriteTimedOut()) {
            // The device is there but holds the line; its pending bytes are
            // dropped and the line runs again for the next exchange.
            deviceChange = "Serial write timed out";
        } else if (sop->PortOpen()) {
            const bool failed = sop->SerError != 0;
            if (failed && !deviceLost_) {
                deviceLost_ = true;
                deviceChange = "Serial device lost";
            } else if (!failed && deviceLost_) {
                deviceLost_ = false;
                deviceChange = "Serial device back";
            }
        }
    }
    // Shown once the answer is on its way to the client.
    held.renew();
    ShowAndSendResult(answer, deviceChange, asker);
    if (options_.logExchanges) LogExchange(asker, loggedCommand(command), answer, took.count());
}

namespace {
// The client an operator's exchange answers: the one connected as it starts.
std::shared_ptr<ClientSocket> connectedClient(LocalCAM& controller) {
    std::shared_ptr<ClientSocket> session = controller.currentSession();
    return session && session->connected() ? session : nullptr;
}
}  // namespace

void LocalCAM::CommandB0(const Bytes& bytestring) {
    HeldUpdates held(*localgui_);
    Exchange(bytestring, connectedClient(*this).get(), held);
}

void LocalCAM::CommandB1(const std::string& command) {
    HeldUpdates held(*localgui_);
    Exchange(command, connectedClient(*this).get(), held);
}

void LocalCAM::CommandB0(const Bytes& bytestring, ClientSocket& asker, HeldUpdates& held) {
    Exchange(bytestring, &asker, held);
}

void LocalCAM::CommandB1(const std::string& command, ClientSocket& asker, HeldUpdates& held) {
    Exchange(command, &asker, held);
}

void LocalCAM::SessionBegins() {
    int discarded = 0;
    {
        std::lock_guard<std::timed_mutex> lock(exchangeMutex_);
        discarded = sop->DiscardPending();
    }
    if (discarded > 0) {
        OutLine("Discarded " + std::to_string(discarded) + " bytes the device sent before this client");
    }
}

void LocalCAM::ReleaseSerialPort() {
    std::lock_guard<std::timed_mutex> lock(exchangeMutex_);
    portReleased_ = true;
    sop->ClosePort();
}

bool LocalCAM::ReleaseSerialPortWithin(std::chrono::milliseconds most) {
    sop->Abandon();
    std::unique_lock<std::timed_mutex> lock(exchangeMutex_, most);
    if (!lock.owns_lock()) return false;
    portReleased_ = true;
    sop->ClosePort();
    return true;
}

void LocalCAM::StopServing() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    stopping_ = true;
}

bool LocalCAM::Admits(const std::optional<SocketAddress>& peer) const {
    if (options_.allow.empty()) return true;
    return peer && options_.allow.allows(*peer);
}

void LocalCAM::LogExchange(const ClientSocket* asker, const std::string& command, const std::string& answer,
                           double milliseconds) {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", milliseconds);
    clientLog_((asker ? asker->peer() : std::string("operator")) + " " + command + " -> " +
         (answer.empty() ? std::string("(nothing)") : answer) + " in " + took + " ms");
}

void LocalCAM::ShowAndSendResult(const std::string& s, const std::string& deviceChange, ClientSocket* asker) {
    ShowStat("RXD = " + s);
    localgui_->ShowRX(s);
    // After the answer, so the status field keeps saying it.
    if (!deviceChange.empty()) ShowStat(deviceChange);
    // A session the operator closed meanwhile has no connection, and its
    // answer is lost rather than given to the client served next.
    if (asker) asker->ToClient(s);
}

void LocalCAM::CommandB4(const std::string& s) {
    std::optional<InetAddress> a = lookup_ ? lookup_(s) : std::nullopt;
    if (!a) ShowStat("Unknown Host Can't Get IP");
    localgui_->ShowIP(a);
}

void LocalCAM::CommandB5() {
    reapFinishedSessions();
    bool started = false;
    bool noThread = false;
    // Made before the lock: the session copies the listening socket, which
    // takes the same lock.
    auto session = std::make_shared<ClientSocket>(*this);
    {
        // Held while the thread starts: it reads connectthread first thing.
        std::lock_guard<std::mutex> lock(connectMutex_);
        if (stopping_) return;
        if (!currentSession_ && listeningSocket_) {
            try {
                session->start(startThread_);
                currentSession_ = session;
                std::lock_guard<std::mutex> sessionsLock(sessionsMutex_);
                sessions_.push_back(session);
                started = true;
            } catch (const std::system_error&) {
                // No session is current, so the next try can start one.
                noThread = true;
            }
        }
    }
    if (noThread) {
        ShowStat("Can't start client session");
        {
            std::lock_guard<std::mutex> lock(retryMutex_);
            retryWanted_ = true;
        }
        retryWake_.notify_all();
        return;
    }
    if (!started) ShowStat("Client socket is already in use");
}

void LocalCAM::housekeeping() {
    const auto stopped = [this] { return stopping_.load(); };
    std::unique_lock<std::mutex> lock(retryMutex_);
    for (;;) {
        if (stopping_) return;
        if (retryWanted_) {
            // A second's pause first, as after a failed accept: the limit
            // that refused the thread may have passed by then.
            if (retryWake_.wait_for(lock, std::chrono::milliseconds(kSessionRetryMs), stopped)) return;
            retryWanted_ = false;
            lock.unlock();
            CommandB5();
            lock.lock();
        } else if (portAbsent_ || listenPending_) {
            // Both wait for something outside to appear; the shorter period
            // of the two asks often enough for either.
            const int every = portAbsent_ && listenPending_
                                  ? std::min(options_.reopenEveryMs, options_.relistenEveryMs)
                                  : portAbsent_ ? options_.reopenEveryMs : options_.relistenEveryMs;
            if (retryWake_.wait_for(lock, std::chrono::milliseconds(every),
                                    [this] { return stopping_ || retryWanted_; })) {
                continue;
            }
            lock.unlock();
            if (portAbsent_) reopenPort();
            if (listenPending_) relisten();
            lock.lock();
        } else {
            retryWake_.wait(lock, [this] { return stopping_ || retryWanted_ || listenPending_; });
        }
    }
}

void LocalCAM::reopenPort() {
    {
        std::lock_guard<std::timed_mutex> lock(exchangeMutex_);
        if (portReleased_ || !sop->OpenPort()) return;
        portAbsent_ = false;
        deviceLost_ = false;
    }
    localgui_->ShowSerial(serstring_);
    ShowStat("Serial device back");
}

void LocalCAM::CommandB6() {
    auto session = currentSession();
    if (!session) {
        localgui_->ShowStatus("No Connection to Close");
        return;
    }
    if (session->connected()) {
        OutLine("Button close");
        session->Close();
    }
}

void LocalCAM::OutLine(const std::string& s) { Orvo::OutLine(s); }

// Sessions whose thread has ended are joined here, so a long-running server
// keeps no more than the current one and the one that just closed.
void LocalCAM::reapFinishedSessions() {
    std::vector<std::shared_ptr<ClientSocket>> done;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if ((*it)->finished()) {
                done.push_back(std::move(*it));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : done) session->join();
}

void LocalCAM::Shutdown() {
    std::shared_ptr<TcpListener> listening;
    {
        // Under the lock CommandB5 starts sessions with: after this, none starts.
        std::lock_guard<std::mutex> lock(connectMutex_);
        stopping_ = true;
        listening = listeningSocket_;
    }
    {
        // Under the retry lock, so the retry thread cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(retryMutex_);
    }
    retryWake_.notify_all();
    if (housekeeper_.joinable()) housekeeper_.join();
    if (listening) listening->shutdown();
    std::vector<std::shared_ptr<ClientSocket>> sessions;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        sessions.swap(sessions_);
    }
    for (auto& session : sessions) session->interrupt();
    for (auto& session : sessions) session->join();
    std::lock_guard<std::mutex> lock(connectMutex_);
    currentSession_.reset();
    if (listeningSocket_ == listening) listeningSocket_.reset();
}
