#include "SoakSupport.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// Memory is what some of these tests measure: freed blocks that the address
// sanitizer holds back to catch late uses (256 MB of them by default) would
// count as the server's own.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

void TimedLog::add(const std::string& field, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({SteadyClock::now(), field, text});
    }
    changed_.notify_all();
}

std::vector<TimedEvent> TimedLog::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t TimedLog::count(const std::string& field, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const TimedEvent& e : events_) n += (e.field == field && e.text == text) ? 1 : 0;
    return n;
}

bool TimedLog::waitForCount(const std::string& field, const std::string& text, size_t n,
                            std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const TimedEvent& e : events_) seen += (e.field == field && e.text == text) ? 1 : 0;
        return seen >= n;
    });
}

std::unique_ptr<LocalCAM> startController(const std::string& serialPort, const std::shared_ptr<TimedLog>& log,
                                          SerOutPort::PortFactory openPort) {
    return std::make_unique<LocalCAM>(
        serialPort, 0, 115200, 8, 1, "None", "None", 0,
        LocalCAM::Dependencies{
            [log](int, LocalCAM&) { return std::make_unique<TimedView>(log); },
            [](const std::string&) { return std::optional<InetAddress>(InetAddress{"localhost", "127.0.0.1"}); },
            std::move(openPort)});
}

namespace {

TcpSocket connectWithBuffer(int port, int receiveBuffer) {
    if (receiveBuffer <= 0) return TcpSocket::connect("127.0.0.1", port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw NetError(errnoText("socket", errno));
    TcpSocket socket(fd);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) < 0) {
        throw NetError(errnoText("setsockopt SO_RCVBUF", errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throw NetError(errnoText("connect", errno));
    return socket;
}

}  // namespace

Client::Client(int port, std::chrono::milliseconds receiveTimeout, int receiveBuffer)
    : socket_(connectWithBuffer(port, receiveBuffer)), reader_(socket_, 1 << 20) {
    socket_.setReceiveTimeout(static_cast<int>(receiveTimeout.count()));
    socket_.setSendTimeout(20000);
}

std::optional<std::string> Client::readLine() {
    try {
        const LineReader::Result r = reader_.readLine();
        if (r.endOfStream()) return std::nullopt;
        return r.text;
    } catch (const NetTimeout&) {
        throw;
    } catch (const NetError&) {
        return std::nullopt;
    }
}

bool Client::hasInput() {
    pollfd p{socket_.fd(), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

VirtualModem::VirtualModem(const std::vector<std::string>& options) : link_(dir_.path() + "/modem") {
    std::vector<std::string> argv{programPath("vdev"), "--link", link_};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv);
    // The device path is announced once the link is in place.
    if (!process_->readLine(10s)) throw std::runtime_error("vdev did not start");
}

void VirtualModem::vanish() { process_->signal(SIGUSR1); }

void VirtualModem::comeBack() {
    process_->signal(SIGUSR2);
    if (!process_->readLine(10s)) throw std::runtime_error("vdev did not come back");
}

namespace {

size_t countEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) return 0;
    size_t n = 0;
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    ::closedir(d);
    return n;
}

long statusKiB(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word) {
        if (word == key) {
            long kib = 0;
            in >> kib;
            return kib;
        }
    }
    return -1;
}

}  // namespace

size_t threadCount() { return countEntries("/proc/self/task"); }

size_t descriptorCount() { return countEntries("/proc/self/fd"); }

long residentKiB() { return statusKiB("VmRSS:"); }

long peakResidentKiB() { return statusKiB("VmHWM:"); }

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (!cond()) {
        if (SteadyClock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}
