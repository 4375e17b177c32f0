// bridge_bench: how long an "AT" takes from the client's send to its answer
// line, against the virtual modem, and what the server costs while a client
// sits connected and idle. The fixed 150 ms wait of every exchange is part
// of each round trip; what matters is what lies above it.
//
//   server_bench [ROUND_TRIPS] [IDLE_SECONDS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/LineClient.h"
#include "server/LocalCAM.h"
#include "tests/support/RecordingStatusView.h"
#include "tests/support/VirtualModem.h"

namespace {

class QuietView : public StatusView {
public:
    void ShowStatus(const std::string&) override {}
    void ShowTX(const std::string&) override {}
    void ShowRX(const std::string&) override {}
    void ShowSerial(const std::string&) override {}
    void ShowIP(const std::optional<InetAddress>&) override {}
};

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;

    std::unique_ptr<VirtualModem> modem;
    try {
        modem = std::make_unique<VirtualModem>();
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    LocalCAM::Dependencies quiet;
    quiet.makeView = [](int, LocalCAM&) -> std::unique_ptr<StatusView> { return std::make_unique<QuietView>(); };
    quiet.lookup = testHost;
    LocalCAM cam(modem->link(), 0, 115200, 8, 1, "None", "None", 0, std::move(quiet));
    LineClient client(cam.listeningPort());
    if (client.readLine() != std::optional<std::string>("OK")) {
        std::fprintf(stderr, "no greeting\n");
        return 1;
    }

    std::vector<double> ms;
    ms.reserve(static_cast<size_t>(trips));
    for (int i = 0; i < trips; ++i) {
        const auto start = std::chrono::steady_clock::now();
        client.send("AT");
        const std::optional<std::string> answer = client.readLine();
        const auto took = std::chrono::steady_clock::now() - start;
        if (answer != std::optional<std::string>("4F4B0D0A")) {
            std::fprintf(stderr, "unexpected answer at round trip %d\n", i);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, (ms.size() * 99) / 100)];
    std::printf("AT round trips: %d, median %.2f ms (%.2f above the 150 ms wait), p99 %.2f ms (%.2f above), max %.2f ms\n",
                trips, median, median - 150.0, p99, p99 - 150.0, ms.back());

    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("CPU time while a client sat connected and idle for %d s: %.3f ms\n", idleSeconds, cpu * 1000.0);
    client.send("KILL");
    return 0;
}
