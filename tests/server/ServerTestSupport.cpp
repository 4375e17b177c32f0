#include "ServerTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

// ---- ViewLog

void ViewLog::add(const std::string& field, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({field, text});
    }
    changed_.notify_all();
}

std::vector<ViewEvent> ViewLog::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> ViewLog::texts(const std::string& field) {
    std::vector<std::string> out;
    for (const ViewEvent& e : events()) {
        if (e.field == field) out.push_back(e.text);
    }
    return out;
}

size_t ViewLog::count(const std::string& field, const std::string& text) {
    size_t n = 0;
    for (const ViewEvent& e : events()) n += (e.field == field && e.text == text) ? 1 : 0;
    return n;
}

size_t ViewLog::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::optional<size_t> ViewLog::waitFor(const std::string& field, const std::string& text, size_t from,
                                       std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < events_.size(); ++i) {
            if (events_[i].field == field && events_[i].text == text) {
                found = i;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool ViewLog::waitForCount(const std::string& field, const std::string& text, size_t n,
                           std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const ViewEvent& e : events_) seen += (e.field == field && e.text == text) ? 1 : 0;
        return seen >= n;
    });
}

std::vector<std::string> ViewLog::statusesFrom(size_t from) {
    std::vector<std::string> out;
    const std::vector<ViewEvent> all = events();
    for (size_t i = from; i < all.size(); ++i) {
        if (all[i].field == "status") out.push_back(all[i].text);
    }
    return out;
}

LocalCAM::ViewFactory recordingViewFactory(const std::shared_ptr<ViewLog>& log) {
    return [log](int, LocalCAM&) -> std::unique_ptr<StatusView> { return std::make_unique<RecordingView>(log); };
}

// ---- PtyDevice

namespace {

// Takes one complete line (ended by LF or CR, a CR LF pair counting as one
// end) off the front of pending.
std::optional<std::string> takeLine(std::string& pending) {
    const size_t end = pending.find_first_of("\r\n");
    if (end == std::string::npos) return std::nullopt;
    std::string line = pending.substr(0, end);
    size_t skip = end + 1;
    if (pending[end] == '\r' && skip < pending.size() && pending[skip] == '\n') ++skip;
    pending.erase(0, skip);
    return line;
}

}  // namespace

PtyDevice::Responder PtyDevice::modem() {
    return lines([](const std::string& line) { return line.rfind("AT", 0) == 0 ? std::string("OK\r\n") : std::string(); });
}

PtyDevice::Responder PtyDevice::lines(std::function<std::string(const std::string&)> replyFor) {
    return [replyFor](std::string& pending) {
        std::string reply;
        while (auto line = takeLine(pending)) reply += replyFor(*line);
        return reply;
    };
}

PtyDevice::PtyDevice(Responder responder, std::chrono::milliseconds replyDelay)
    : responder_(std::move(responder)), replyDelay_(replyDelay) {
    char name[256] = {0};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) < 0) throw std::runtime_error("openpty failed");
    path_ = name;
    termios tio{};
    if (::tcgetattr(slave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (::pipe2(stop_, O_CLOEXEC) < 0) throw std::runtime_error("pipe2 failed");
    thread_ = std::thread([this] { loop(); });
}

PtyDevice::~PtyDevice() {
    const char c = 'x';
    while (::write(stop_[1], &c, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

void PtyDevice::loop() {
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
        }
        changed_.notify_all();
        const std::string reply = responder_(pending);
        if (reply.empty()) continue;
        if (replyDelay_.count() > 0) {
            pollfd stop{stop_[0], POLLIN, 0};
            if (::poll(&stop, 1, static_cast<int>(replyDelay_.count())) > 0) return;
        }
        size_t done = 0;
        while (done < reply.size()) {
            const ssize_t w = ::write(master_, reply.data() + done, reply.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            done += static_cast<size_t>(w);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++replies_;
        }
        changed_.notify_all();
    }
}

std::string PtyDevice::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool PtyDevice::waitReceived(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

bool PtyDevice::waitReplied(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return replies_ >= n; });
}

bool PtyDevice::attributes(termios& tio) const { return ::tcgetattr(slave_, &tio) == 0; }

// ---- LineClient

LineClient::LineClient(int port, std::chrono::milliseconds receiveTimeout)
    : socket_(TcpSocket::connect("127.0.0.1", port)), reader_(socket_) {
    socket_.setReceiveTimeout(static_cast<int>(receiveTimeout.count()));
}

void LineClient::send(const std::string& line) { sendRaw(line + "\n"); }

void LineClient::sendRaw(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }

std::optional<std::string> LineClient::readLine() {
    LineReader::Result r = reader_.readLine();
    if (r.endOfStream()) return std::nullopt;
    return r.text;
}

bool LineClient::endsWithin() {
    try {
        return !readLine().has_value();
    } catch (const NetError&) {
        return false;
    }
}

// ---- process state

namespace {

size_t countEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) return 0;
    size_t n = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n;
}

}  // namespace

size_t threadCount() { return countEntries("/proc/self/task"); }

// The directory stream's own descriptor is counted too, the same every time.
size_t openDescriptorCount() { return countEntries("/proc/self/fd"); }

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}
