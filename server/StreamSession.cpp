#include "server/StreamSession.h"

#include <system_error>
#include <utility>

#include "common/NetError.h"
#include "common/SocketApi.h"

namespace {

using Clock = std::chrono::steady_clock;

// A vanished client (no FIN, no RST) is noticed after about 60 + 5 * 10 s.
constexpr int kKeepAliveIdleS = 60;
constexpr int kKeepAliveIntervalS = 10;
constexpr int kKeepAliveProbes = 5;
// How long the pump rests while the device is away before it asks again.
constexpr int kDeviceAwayPauseMs = 200;
// How long the device may stay quiet after the client's end of its stream
// before the session ends.
constexpr auto kLinger = std::chrono::seconds(1);
constexpr int kLingerRoundMs = 5;
// The status window's byte counts are brought up to date this often.
constexpr auto kShowTrafficEvery = std::chrono::milliseconds(250);

Clock::rep now() { return Clock::now().time_since_epoch().count(); }

std::string bytes(unsigned long long n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

}  // namespace

StreamSession::StreamSession(SessionHost& host, std::string protocol)
    : host_(host), protocol_(std::move(protocol)) {}

StreamSession::~StreamSession() {
    // run() joins it; a session destroyed without having run has none.
    if (pump_.joinable()) pump_.join();
}

void StreamSession::run() {
    ShowStat("Awaiting client connection");
    std::optional<SessionHost::AcceptedClient> accepted = host_.AcceptClient([this](int ms) { pause(ms); });
    if (!accepted) return;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        socket_ = std::make_unique<TcpSocket>(std::move(accepted->socket));
        peer_ = accepted->peer;
        open_ = true;
        // An interrupt that came between the accept and now found no socket.
        if (!running_) socket_->shutdown();
    }
    toDeviceLog_ = std::make_unique<TrafficLog>(peer_ + " -> device",
                                                [this](const std::string& line) { host_.LogExchange(line); });
    fromDeviceLog_ = std::make_unique<TrafficLog>("device -> " + peer_,
                                                  [this](const std::string& line) { host_.LogExchange(line); });
    host_.SessionBegins(true);
    host_.ShowAccepted(peer_);
    serve();
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(pauseMutex_);
    }
    pauseWake_.notify_all();
    {
        // A pump held in a send to a client that does not read is woken.
        std::lock_guard<std::mutex> lock(sessionMutex_);
        if (socket_) socket_->shutdown();
    }
    if (pump_.joinable()) pump_.join();
    End();
    toDeviceLog_->Flush();
    fromDeviceLog_->Flush();
    showTraffic(true);
    host_.Log(protocol_ + " session of " + peer_ + " ended: " + bytes(toDevice_) + " to the device, " +
              bytes(fromDevice_) + " from it" +
              (dropped_ > 0 ? ", " + bytes(dropped_) + " from the client dropped while the device was away" : ""));
    Close();
    std::lock_guard<std::mutex> lock(sessionMutex_);
    socket_.reset();
    open_ = false;
}

void StreamSession::serve() {
    TcpSocket& socket = *socket_;
    const std::chrono::seconds idle = host_.idleTimeout();
    try {
        socket.enableKeepAlive(kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
        // Each byte as it comes: a device's answer is not held back to be
        // sent with the next one.
        const int on = 1;
        if (SocketApi::setOption(socket.fd(), IPPROTO_TCP, TCP_NODELAY, on) != 0) {
            throw NetError(socketErrorText("setsockopt TCP_NODELAY", SocketApi::lastError()));
        }
        socket.setReceiveTimeout(idle);
    } catch (const NetError&) {
        ShowStat("I/O Open Unsuccessful");
        return;
    }
    lastActivity_ = now();
    Begin();
    try {
        pump_ = std::thread([this] { pump(); });
    } catch (const std::system_error&) {
        ShowStat("Can't start client session");
        return;
    }
    Bytes buffer(kChunk);
    while (running_) {
        size_t n = 0;
        try {
            n = socket.receive(reinterpret_cast<char*>(buffer.data()), buffer.size());
        } catch (const NetTimeout&) {
            // Only set with an idle limit, which counts bytes either way.
            const Clock::duration quiet = Clock::now() - Clock::time_point(Clock::duration(lastActivity_.load()));
            if (quiet >= idle) {
                host_.view().ShowClientStatus("Idle Close", peer_);
                return;
            }
            try {
                socket.setReceiveTimeout(std::chrono::duration_cast<std::chrono::milliseconds>(idle - quiet) +
                                         std::chrono::milliseconds(1));
            } catch (const NetError&) {
                return;
            }
            continue;
        } catch (const NetError&) {
            return;  // reset, or shut down by Close()
        }
        if (n == 0) {
            // The client has said all it will (a half-close, as `nc` does
            // at the end of its input), but may still read: what the device
            // sends goes on to it until the device has been quiet a while.
            lingerForTheDevice();
            return;
        }
        FromClient(buffer, static_cast<int>(n));
    }
}

void StreamSession::lingerForTheDevice() {
    while (running_) {
        const Clock::duration quiet = Clock::now() - Clock::time_point(Clock::duration(lastActivity_.load()));
        // The next client does not wait for a client that has gone.
        if (quiet >= kLinger || host_.ClientWaiting()) return;
        pause(kLingerRoundMs);
    }
}

void StreamSession::pump() {
    Bytes buffer(kChunk);
    while (running_) {
        if (waitWhileSuspended()) continue;
        const int n = host_.device().Read(buffer, kChunk, kPumpRoundMs);
        Tick();
        showTraffic(false);
        if (n < 0) {
            pause(kDeviceAwayPauseMs);
            continue;
        }
        if (n == 0) {
            // A quiet round: the bursts so far are over.
            fromDeviceLog_->Flush();
            toDeviceLog_->Flush();
            continue;
        }
        // A suspend that came while the read waited holds what it read too.
        while (running_ && waitWhileSuspended()) {
        }
        fromDevice_ += static_cast<unsigned long long>(n);
        lastActivity_ = now();
        fromDeviceLog_->Saw(buffer.data(), static_cast<size_t>(n));
        FromDevice(buffer, n);
    }
}

bool StreamSession::waitWhileSuspended() {
    if (!suspended_) return false;
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(kPumpRoundMs), [this] { return !running_ || !suspended_; });
    lock.unlock();
    Tick();
    return true;
}

void StreamSession::FromClient(const Bytes& data, int n) { ToDevice(data, n); }

void StreamSession::FromDevice(const Bytes& data, int n) {
    SendToClient(reinterpret_cast<const char*>(data.data()), static_cast<size_t>(n));
}

bool StreamSession::ToDevice(const Bytes& data, int n) {
    if (n <= 0) return true;
    toDeviceLog_->Saw(data.data(), static_cast<size_t>(n));
    lastActivity_ = now();
    if (!host_.device().Write(data, n, [this] { return running_.load(); })) {
        dropped_ += static_cast<unsigned long long>(n);
        return false;
    }
    toDevice_ += static_cast<unsigned long long>(n);
    return true;
}

bool StreamSession::SendToClient(const char* data, size_t n) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    try {
        socket_->sendAll(data, n);
        return true;
    } catch (const NetError&) {
        // The client is gone: the session ends.
        running_ = false;
        std::lock_guard<std::mutex> sessionLock(sessionMutex_);
        if (socket_) socket_->shutdown();
        return false;
    }
}

void StreamSession::SuspendDevice(bool suspended) {
    suspended_ = suspended;
    std::lock_guard<std::mutex> lock(pauseMutex_);
    pauseWake_.notify_all();
}

void StreamSession::showTraffic(bool now) {
    const Clock::time_point at = Clock::now();
    if (!now && at - shownAt_ < kShowTrafficEvery) return;
    shownAt_ = at;
    host_.view().ShowTX(bytes(toDevice_));
    host_.view().ShowRX(bytes(fromDevice_));
}

bool StreamSession::connected() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return open_;
}

std::string StreamSession::peer() const {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return peer_;
}

bool StreamSession::endConnection() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (!open_) return false;
    // Ends the connection and any read or send blocked on it; the session
    // thread releases the descriptor once nothing uses it.
    socket_->shutdown();
    open_ = false;
    running_ = false;
    return true;
}

void StreamSession::Close() {
    if (!endConnection()) return;
    ShowStat("Closed client connection!");
    host_.SessionEnds(*this);
}

void StreamSession::interrupt() {
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(pauseMutex_);
    }
    pauseWake_.notify_all();
    std::lock_guard<std::mutex> lock(sessionMutex_);
    open_ = false;
    if (socket_) socket_->shutdown();
}

void StreamSession::ShowStat(const std::string& text) { host_.view().ShowStatus(text); }

void StreamSession::pause(int t) {
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(t), [this] { return !running_; });
}
