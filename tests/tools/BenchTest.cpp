#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/TcpListener.h"

using namespace std::chrono_literals;

namespace {

// A relay on loopback for orvo_bench to measure, one connection at a time:
// either the bridge's line protocol (a greeting, "AT" answered in hex, "KILL"
// answered "CLOSE" and the connection closed) or raw bytes from a modem that
// answers "AT" with "OK" CR LF.
class FakeRelay {
public:
    explicit FakeRelay(bool bridge, std::string greeting = "OK")
        : bridge_(bridge), greeting_(std::move(greeting)), listener_(TcpListener::listen(0)),
          thread_([this] { run(); }) {}
    ~FakeRelay() {
        listener_.shutdown();
        thread_.join();
    }
    int port() const { return listener_.port(); }

private:
    void run() {
        for (;;) {
            TcpSocket client;
            try {
                client = listener_.accept();
            } catch (const NetError&) {
                return;
            }
            try {
                serve(client);
            } catch (const NetError&) {
            }
        }
    }

    void serve(TcpSocket& client) {
        LineReader reader(client);
        LineWriter writer(client, "\r\n");
        if (bridge_) writer.writeLine(greeting_);
        for (;;) {
            const LineReader::Result line = reader.readLine();
            if (line.endOfStream()) return;
            if (line.text == "AT") writer.writeLine(bridge_ ? "4F4B0D0A" : "OK");
            if (bridge_ && line.text == "KILL") {
                writer.writeLine("CLOSE");
                return;
            }
        }
    }

    const bool bridge_;
    const std::string greeting_;
    TcpListener listener_;
    std::thread thread_;
};

struct BenchRun {
    std::optional<int> status;
    std::vector<std::pair<std::string, double>> figures;  // in the order printed

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& figure : figures) out.push_back(figure.first);
        return out;
    }
    double value(const std::string& name) const {
        for (const auto& [key, v] : figures) {
            if (key == name) return v;
        }
        ADD_FAILURE() << "no figure " << name;
        return 0;
    }
};

BenchRun runBench(std::vector<std::string> args) {
    args.insert(args.begin(), programPath("orvo_bench"));
    ChildProcess bench(args);
    BenchRun run;
    while (std::optional<std::string> line = bench.readLine(30s)) {
        std::istringstream fields(*line);
        std::string name;
        double value = 0;
        fields >> name >> value;
        run.figures.emplace_back(name, value);
    }
    run.status = bench.wait(5s);
    return run;
}

}  // namespace

TEST(Bench, MeasuresTheBridgeExchangesSessionsAndIdleCostInOrder) {
    FakeRelay relay(true);
    // This test's own process stands in for the relay's for the idle figures.
    const BenchRun run = runBench({"--port", std::to_string(relay.port()), "--protocol", "bridge", "--pid",
                              std::to_string(::getpid()), "--exchanges", "5", "--sessions", "3", "--idle", "1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{
                               "exchange_ms_median", "exchange_ms_p99", "exchange_ms_max", "overhead_ms_median",
                               "overhead_ms_p99", "overhead_ms_max", "sessions_per_s", "greeting_ms_median",
                               "greeting_ms_p99", "idle_cpu_s", "idle_cpu_percent", "peak_rss_kib"}));
    EXPECT_NEAR(run.value("exchange_ms_median") - run.value("overhead_ms_median"), 150.0, 0.01);
    EXPECT_GT(run.value("sessions_per_s"), 0);
    EXPECT_GT(run.value("peak_rss_kib"), 0);
}

TEST(Bench, MeasuresARawRelayWithoutTheBridgeFigures) {
    FakeRelay relay(false);
    const BenchRun run = runBench(
        {"--port", std::to_string(relay.port()), "--protocol", "raw", "--exchanges", "5", "--sessions", "3"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"exchange_ms_median", "exchange_ms_p99", "exchange_ms_max",
                                                     "sessions_per_s"}));
}

TEST(Bench, MeasuresLateSleepsWithoutARelay) {
    const BenchRun run = runBench({"--sleeps", "2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"sleep_late_ms_median", "sleep_late_ms_p99", "sleep_late_ms_max"}));
    EXPECT_GE(run.value("sleep_late_ms_median"), 0);
}

TEST(Bench, FailsOnAWrongGreetingAndOnWrongOptions) {
    FakeRelay relay(true, "BUSY");
    const BenchRun wrongGreeting = runBench({"--port", std::to_string(relay.port()), "--protocol", "bridge"});
    EXPECT_EQ(wrongGreeting.status, 1);
    EXPECT_TRUE(wrongGreeting.figures.empty());

    EXPECT_EQ(runBench({"--protocol", "raw"}).status, 2);                               // no port
    EXPECT_EQ(runBench({"--port", "1", "--protocol", "telnet"}).status, 2);             // unknown protocol
    EXPECT_EQ(runBench({"--port", "1", "--protocol", "raw", "--exchanges"}).status, 2);  // no value
}
