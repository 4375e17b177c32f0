#include "client/KesCAM.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <system_error>
#include <thread>
#include <utility>

#include "client/Service.h"

namespace {

constexpr int kSendTimeoutMs = 10000;

// A signed decimal integer as the whole text: an optional sign, then digits
// only, within 32 bits. Anything else is not a port number.
std::optional<int> parseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::atomic<KesCAM*> KesCAM::running_{nullptr};

KesCAM::KesCAM(const KesViewFactory& makeView, KesTiming timing, ConsoleSink console)
    : timing_(timing), console_(std::move(console)) {
    running_ = this;
    kesgui = makeView(socketport, *this);
    ShowStat(please);
}

KesCAM::~KesCAM() {
    EndReceivers();
    KesCAM* self = this;
    running_.compare_exchange_strong(self, nullptr);
}

KesCAM* KesCAM::running() { return running_; }

void KesCAM::ShowStat(const std::string& a) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    kesgui->ShowStatus(a);
    console_(a);
}

void KesCAM::RXShow(const std::string& a) { kesgui->RXShow(a); }

bool KesCAM::GetServerPort() {
    const std::optional<int> port = parseDecimal(kesgui->PortText());
    if (!port) return false;
    SERVPORT = *port;
    return true;
}

void KesCAM::SendCommand(const std::string& commandstring) {
    std::shared_ptr<SocketLineWriter> writer;
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        // A server busy with another client leaves our connection in its
        // queue unanswered and takes it minutes later: a line sent before the
        // greeting would reach the device long after the user gave up.
        if (service != nullptr && service->greeted()) writer = csout;
    }
    if (!writer) {
        ShowStat("Can't Send Command - Not Connected");
        Delay(timing_.notConnectedPauseMs);
        return;
    }
    try {
        writer->writeLine(commandstring);
    } catch (const NetError&) {
        // The line did not go out (or not whole, or the server stopped
        // reading): the connection is no use for the next one either.
        ShowStat("Can't Send Command - Connection Lost");
        try {
            FastClose();
        } catch (const NetError&) {
        }
        return;
    }
    ShowStat("Sending " + commandstring);
}

void KesCAM::ConnectToServer() {
    ShowStat("Attempting LogIn");
    if (!GetServerPort()) {
        // No socket is opened; the client stays ready for the next attempt.
        ShowStat("Socket Port Is Not A Number");
        ShowStat(please);
        return;
    }
    std::shared_ptr<TcpSocket> socket;
    try {
        // Bounded: the event thread waits here, and a host that drops our
        // requests would hold the window for the system's own minutes.
        socket = std::make_shared<TcpSocket>(
            TcpSocket::connect(kesgui->HostText(), SERVPORT, timing_.connectTimeoutMs));
        {
            std::lock_guard<std::mutex> lock(streamsMutex_);
            cs = socket;
        }
        socket->setReceiveTimeout(timing_.greetingTimeoutMs);
        // Sends run on the event thread: a server that stops reading must not
        // hold the window for ever once the socket's buffers are full.
        socket->setSendTimeout(kSendTimeoutMs);
    } catch (const NetError&) {
        ShowStat("Socket Open Failed - No Such Host");
        Delay(timing_.failedOpenPauseMs);
        ShowStat(please);
        return;
    }
    ShowStat("Got Socket To Host");
    try {
        ReapReceivers();
        auto reader = std::make_shared<SocketLineReader>(socket);
        auto writer = std::make_shared<SocketLineWriter>(socket);
        receivers_.push_back(std::make_unique<Service>(*this, socket, reader));
        Service* receiver = receivers_.back().get();
        {
            std::lock_guard<std::mutex> lock(streamsMutex_);
            csin = std::move(reader);
            csout = std::move(writer);
            service = receiver;
        }
        receiver->start();
    } catch (const std::system_error&) {
        ShowStat("Can't Establish I/O");
        try {
            FastClose();
        } catch (const NetError&) {
        }
    }
}

// The event thread's closes (no owner) are always of the current connection.
// A receiver's close comes late when the user has closed and connected again
// meanwhile; the streams are then the next connection's. Checked at each step,
// as that can happen between two of them.
bool KesCAM::Owns(const Service* owner) const { return owner == nullptr || service == owner; }

template <typename Stream>
void KesCAM::CloseAndEmpty(std::shared_ptr<Stream>& field, const Service* owner) {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    if (!field || !Owns(owner)) return;
    field->close();
    field.reset();
}

void KesCAM::CloseStreams(const Service* owner) {
    CloseAndEmpty(csin, owner);
    CloseAndEmpty(csout, owner);
    std::lock_guard<std::mutex> lock(streamsMutex_);
    // Shutting the socket down ends the connection for both threads; the
    // descriptor itself goes with the last reference to it.
    if (cs && Owns(owner)) {
        cs->shutdown();
        cs.reset();
    }
}

void KesCAM::FastClose() {
    CloseStreams(nullptr);
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        if (service) service->stopme();
    }
    ShowStat("FastClose!");
    ShowStat(please);
}

void KesCAM::UserClose() {
    try {
        FastClose();
    } catch (const NetError&) {
        ShowStat("Failed to close connections");
        return;
    }
    ShowStat("Local I/O and Socket Closed by User");
    ShowStat(please);
}

void KesCAM::ServerClose(const Service& closer) {
    try {
        CloseStreams(&closer);
    } catch (const NetError&) {
        ShowStat("Failed to close connections");
        return;
    }
    ShowStat("Local I/O and Socket Closed");
}

void KesCAM::Delay(int t) {
    if (t > 0) std::this_thread::sleep_for(std::chrono::milliseconds(t));
}

bool KesCAM::HasSocket() const {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    return cs != nullptr;
}

bool KesCAM::HasService() const {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    return service != nullptr;
}

void KesCAM::ReceiverEnded(const Service* ended) {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    // A newer connection may already have its own receiver here.
    if (service == ended) service = nullptr;
}

void KesCAM::ReapReceivers() {
    for (auto it = receivers_.begin(); it != receivers_.end();) {
        if ((*it)->finished()) {
            (*it)->join();
            it = receivers_.erase(it);
        } else {
            ++it;
        }
    }
}

void KesCAM::EndReceivers() {
    for (const std::unique_ptr<Service>& receiver : receivers_) receiver->interrupt();
    for (const std::unique_ptr<Service>& receiver : receivers_) receiver->join();
    receivers_.clear();
}
