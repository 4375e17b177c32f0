#include "server/LocalCAM.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "common/Console.h"
#include "common/HexCodec.h"
#include "common/NetError.h"
#include "common/SocketAddress.h"
#include "common/TcpListener.h"
#include "server/ClientSession.h"
#include "server/LimitedLog.h"
#include "server/LogText.h"
#include "server/Protocols.h"
#include "server/SerOutPort.h"
#include "server/ServiceLog.h"

std::atomic<LocalCAM*> LocalCAM::running_{nullptr};

namespace {

std::string firstChar(const std::string& s) { return s.empty() ? std::string() : s.substr(0, 1); }

// Pause before trying again to start a session the system had no thread for.
constexpr auto kSessionRetry = std::chrono::milliseconds(1000);
// Pause before accepting again after a failed accept.
constexpr int kAcceptRetryMs = 1000;

}  // namespace

LocalCAM::LocalCAM(const SerialLine& line, int socketport, Dependencies dependencies, Options options)
    : lookup_(std::move(dependencies.lookup)),
      log_(std::move(dependencies.log)),
      clientLog_(std::move(dependencies.clientLog)),
      socketport_(socketport),
      options_(std::move(options)) {
    if (!log_) log_ = [log = ServiceLog::ForStandardError()](const std::string& text) { log.Line(text); };
    if (!clientLog_) {
        clientLog_ = [limited = std::make_shared<LimitedLog>(log_)](const std::string& text) { limited->Line(text); };
    }
    SessionFactory makeSession = dependencies.makeSession ? std::move(dependencies.makeSession) : LineProtocol;
    registry_ = std::make_unique<SessionRegistry>([this, makeSession] { return makeSession(*this); },
                                                  std::move(dependencies.startThread));
    running_ = this;
    device_ = std::make_unique<SerialDevice>(line, dependencies.openPort,
                                             SerialDevice::AnswerEnds{options_.answerWaitMs, options_.answerGapMs,
                                                                      options_.answerEnd},
                                             [this](const std::string& status) { ShowStat(status); });
    localgui_ = dependencies.makeView(socketport, *this);
    if (!localgui_) throw std::invalid_argument("LocalCAM: the view factory made no view");

    // A COMn name shows as its number ("1:9600 ..."), a device path whole.
    const std::string& cpname = line.port;
    const bool comName = cpname.size() > 3 && (cpname.compare(0, 3, "COM") == 0 || cpname.compare(0, 3, "com") == 0);
    serstring_ = (comName ? cpname.substr(3) : cpname) + ":" + std::to_string(line.baud) +
                 " Data:" + std::to_string(line.dataBits) + " Stop:" + std::to_string(line.stopBits) +
                 " Parity:" + firstChar(line.parity) + " HS:" + firstChar(line.handshake) +
                 " DTR:" + std::to_string(line.dtr);
    if (device_->Open()) {
        localgui_->ShowSerial(serstring_);
    } else {
        localgui_->ShowSerial("Serial Port " + cpname + " Could Not Open");
    }
    portAbsent_ = !device_->Open() && device_->CanOpen() && options_.reopenEveryMs > 0;
    CommandB4("");
    try {
        housekeeper_.Start({
            // A second's pause first, as after a failed accept: the limit
            // that refused the thread may have passed by then.
            {kSessionRetry, [this] { return sessionWanted_.load(); },
             [this] {
                 sessionWanted_ = false;
                 CommandB5();
             }},
            {std::chrono::milliseconds(options_.reopenEveryMs), [this] { return portAbsent_.load(); },
             [this] { reopenPort(); }},
            {std::chrono::milliseconds(options_.relistenEveryMs), [this] { return listenPending_.load(); },
             [this] { relisten(); }},
        });
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
                   const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies,
                   Options options)
    : LocalCAM(SerialLine{cpname, baudrate, dbits, sbits, parity, handshake, dtr}, socketport,
               std::move(dependencies), std::move(options)) {}

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

std::shared_ptr<ClientSession> LocalCAM::connectthread() {
    LocalCAM* controller = running_;
    return controller ? controller->currentSession() : nullptr;
}

std::shared_ptr<ClientSession> LocalCAM::currentSession() { return registry_->Current(); }

std::shared_ptr<TcpListener> LocalCAM::listener() {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    return listeningSocket_;
}

int LocalCAM::listeningPort() {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    return listeningSocket_ ? listeningSocket_->port() : -1;
}

bool LocalCAM::serialOpen() const { return device_->Open(); }

void LocalCAM::ShowStat(const std::string& a) { localgui_->ShowStatus(a); }

bool LocalCAM::OpenServerSocket(int port, bool report) {
    try {
        auto opened = std::make_shared<TcpListener>(TcpListener::listen(port, options_.listenAddress));
        const int bound = opened->port();
        {
            std::lock_guard<std::mutex> lock(listenerMutex_);
            listeningSocket_ = std::move(opened);
        }
        listenPending_ = false;
        // The bound port, which differs from the one asked for only for 0.
        ShowStat("Server Socket Opened OK at Port " + std::to_string(bound) +
                 (options_.protocol == "line" ? std::string() : " (" + options_.protocol + ")"));
        return true;
    } catch (const NetError& e) {
        // An address that comes later (DHCP, an interface up late at boot)
        // is waited for as a serial device is.
        const bool missing = dynamic_cast<const NetAddressMissing*>(&e) != nullptr;
        if (missing && options_.relistenEveryMs > 0) {
            listenPending_ = true;
            housekeeper_.Wake();
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
std::string loggedCommand(const Bytes& bytes) { return "0x" + HexCodec::BS2S(bytes, static_cast<int>(bytes.size())); }
}  // namespace

template <typename Command>
void LocalCAM::exchange(const Command& command, ClientSession* asker, HeldUpdates& held) {
    const SerialDevice::Answer answer = device_->Exchange(command, held);
    // Shown once the answer is on its way to the client.
    held.renew();
    ShowAndSendResult(answer.hex, answer.deviceChange, asker);
    if (options_.logExchanges) {
        LogExchange(asker, loggedCommand(command), answer.hex,
                    answer.milliseconds, answer.endedAtDelimiter);
    }
}

namespace {
// The client an operator's exchange answers: the one connected as it starts.
std::shared_ptr<ClientSession> connectedClient(LocalCAM& controller) {
    std::shared_ptr<ClientSession> session = controller.currentSession();
    return session && session->connected() ? session : nullptr;
}
}  // namespace

void LocalCAM::CommandB0(const Bytes& bytestring) {
    HeldUpdates held(*localgui_);
    const std::shared_ptr<ClientSession> client = connectedClient(*this);
    exchange(bytestring, client.get(), held);
}

void LocalCAM::CommandB1(const std::string& command) {
    HeldUpdates held(*localgui_);
    const std::shared_ptr<ClientSession> client = connectedClient(*this);
    exchange(command, client.get(), held);
}

void LocalCAM::Exchange(const Bytes& command, ClientSession& asker, HeldUpdates& held) {
    exchange(command, &asker, held);
}

void LocalCAM::Exchange(const std::string& command, ClientSession& asker, HeldUpdates& held) {
    exchange(command, &asker, held);
}

void LocalCAM::SessionBegins(bool untilQuiet) {
    const int discarded = device_->DiscardPending(untilQuiet);
    if (discarded > 0) {
        OutLine("Discarded " + std::to_string(discarded) + " bytes the device sent before this client");
    }
}

void LocalCAM::ReleaseSerialPort() { device_->Release(); }

bool LocalCAM::ReleaseSerialPortWithin(std::chrono::milliseconds most) { return device_->ReleaseWithin(most); }

void LocalCAM::StopServing() {
    stopping_ = true;
    registry_->StopStarting();
}

bool LocalCAM::Admits(const std::optional<SocketAddress>& peer) const {
    if (options_.allow.empty()) return true;
    return peer && options_.allow.allows(*peer);
}

void LocalCAM::LogExchange(const ClientSession* asker, const std::string& command, const std::string& answer,
                           double milliseconds, bool endedAtDelimiter) {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", milliseconds);
    clientLog_((asker ? asker->peer() : std::string("operator")) + " " + command + " -> " +
               (answer.empty() ? std::string("(nothing)") : answer) + " in " + took + " ms" +
               (endedAtDelimiter ? ", ended at " + HexCodec::BS2S(options_.answerEnd, static_cast<int>(options_.answerEnd.size()))
                                 : std::string()));
}

void LocalCAM::LogExchange(const std::string& line) {
    if (options_.logExchanges) clientLog_(line);
}

void LocalCAM::ShowAndSendResult(const std::string& s, const std::string& deviceChange, ClientSession* asker) {
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
    if (!listener()) {
        if (!stopping_) ShowStat("Client socket is already in use");
        return;
    }
    switch (registry_->StartNext()) {
        case SessionRegistry::Start::Started:
        case SessionRegistry::Start::Stopped:
            break;
        case SessionRegistry::Start::AlreadyCurrent:
            ShowStat("Client socket is already in use");
            break;
        case SessionRegistry::Start::NoThread:
            ShowStat("Can't start client session");
            sessionWanted_ = true;
            housekeeper_.Wake();
            break;
    }
}

std::optional<SessionHost::AcceptedClient> LocalCAM::AcceptClient(const std::function<void(int ms)>& pause) {
    const std::shared_ptr<TcpListener> listening = listener();
    if (!listening) return std::nullopt;
    for (;;) {
        try {
            TcpSocket accepted = listening->accept();
            const std::optional<SocketAddress> address = accepted.peer();
            const std::string peer = address ? address->text() : std::string("an unknown address");
            if (Admits(address)) {
                // A shutdown that came while this was being accepted found no
                // connection to end: the session's first read ends it.
                if (stopping_) accepted.shutdown();
                return AcceptedClient{std::move(accepted), peer};
            }
            // Closed at once, before any greeting; the next one is awaited.
            accepted = TcpSocket();
            ShowStat("Refused client connection from " + peer);
        } catch (const NetError& e) {
            if (stopping_) return std::nullopt;
            // Without a connection the session would never end and never
            // start its successor: show the failure and keep accepting.
            ShowStat(std::string("Accept failed: ") + e.what());
            pause(kAcceptRetryMs);
            if (stopping_) return std::nullopt;
        }
    }
}

void LocalCAM::SessionEnds(const ClientSession& session) {
    registry_->Ended(session);
    CommandB5();
}

bool LocalCAM::ClientWaiting() {
    const std::shared_ptr<TcpListener> listening = listener();
    return listening && listening->clientWaiting();
}

bool LocalCAM::newerSessionConnected(const ClientSession& session) {
    const std::shared_ptr<ClientSession> current = currentSession();
    return current && current.get() != &session && current->connected();
}

bool LocalCAM::ShowUnlessSuperseded(const ClientSession& session, const std::string& text) {
    std::lock_guard<std::mutex> lock(sessionStatusMutex_);
    if (newerSessionConnected(session)) return false;
    localgui_->ShowStatus(text);
    return true;
}

void LocalCAM::ShowAccepted(const std::string& peer) {
    // A session counts as connected before it gets here, so an old
    // session's check under the same lock either sees it or shows first.
    std::lock_guard<std::mutex> lock(sessionStatusMutex_);
    localgui_->ShowClientStatus("Client connection accepted!", peer);
}

void LocalCAM::reopenPort() {
    if (!device_->OpenAgain()) return;
    portAbsent_ = false;
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

void LocalCAM::OutLine(const std::string& s) { WriteConsoleLine(s); }

void LocalCAM::Shutdown() {
    stopping_ = true;
    registry_->StopStarting();
    housekeeper_.Stop();
    std::shared_ptr<TcpListener> listening = listener();
    if (listening) listening->shutdown();
    registry_->StopAll();
    std::lock_guard<std::mutex> lock(listenerMutex_);
    if (listeningSocket_ == listening) listeningSocket_.reset();
}
