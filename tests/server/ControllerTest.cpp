// The controller's start-up and failure paths, and host look-up.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "server/ClientSocket.h"
#include "server/Housekeeper.h"
#include "tests/support/Eventually.h"
#include "tests/support/LineClient.h"
#include "server/LocalCAM.h"
#include "common/NetError.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/RecordingStatusView.h"
#include "tests/support/Terminal.h"
#include "common/TcpListener.h"

using namespace std::chrono_literals;

namespace {

std::string driverPortsLink(const std::string& name) {
    // Where the driver looks for a "COMn" port before the /dev/ttyS device.
    return std::string(ORVO_DRIVER_DIR) + "/ports/" + name;
}

}  // namespace

TEST(Controller, ASerialPortThatDoesNotOpenIsShownAndEveryCommandIsStillAnswered) {
    if (std::filesystem::exists(driverPortsLink("COM3")) || std::filesystem::exists("/dev/ttyS2")) {
        GTEST_SKIP() << "this machine has a COM3 device";
    }
    auto log = std::make_shared<ViewLog>();
    LocalCAM cam("COM3", 0, 9600, 8, 1, "None", "None", 1, recordingDependencies(log));
    EXPECT_FALSE(cam.serialOpen());
    EXPECT_EQ(log->texts("serial"), std::vector<std::string>{"Serial Port COM3 Could Not Open"});
    ASSERT_TRUE(log->waitFor("status", "Awaiting client connection"));

    LineClient client(cam.listeningPort());
    EXPECT_EQ(client.readLine(), std::optional<std::string>("OK"));
    for (const std::string command : {"AT", "0x0d0a", "hello"}) {
        const auto start = std::chrono::steady_clock::now();
        client.send(command);
        EXPECT_EQ(client.readLine(), std::optional<std::string>("")) << command;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
    EXPECT_EQ(log->count("status", "RXD = "), 3u);
    EXPECT_EQ(log->count("status", "Serial device lost"), 0u) << "a port never opened was not lost";
    client.send("KILL");
    EXPECT_EQ(client.readLine(), std::optional<std::string>("CLOSE"));
}

TEST(Controller, ATcpPortInUseIsShownAndTheWindowKeepsWorking) {
    PtyDevice device(PtyDevice::modem());
    TcpListener other = TcpListener::listen(0);
    auto log = std::make_shared<ViewLog>();
    LocalCAM cam(device.path(), other.port(), 9600, 8, 1, "None", "None", 0, recordingDependencies(log));
    EXPECT_EQ(log->texts("status"),
              std::vector<std::string>{"Can't Get ServerSocket at Port " + std::to_string(other.port())});
    EXPECT_FALSE(LocalCAM::connectthread());
    EXPECT_EQ(cam.listeningPort(), -1);

    cam.CommandB5();
    EXPECT_EQ(log->texts("status").back(), "Client socket is already in use");
    cam.CommandB6();
    EXPECT_EQ(log->texts("status").back(), "No Connection to Close");
    cam.CommandB1("AT");
    EXPECT_EQ(log->texts("rx"), std::vector<std::string>{"4F4B0D0A"});
    EXPECT_EQ(log->texts("status").back(), "RXD = 4F4B0D0A");
}

TEST(Controller, ShowsTheConfigurationLineOfAnOpenedPort) {
    PtyDevice device(PtyDevice::modem());
    TempDir dir;
    // A name of the setup window's form, as a link to the device.
    const std::string name = dir.path() + "/COM8";
    std::filesystem::create_symlink(device.path(), name);
    const std::string shown = name;  // whole: only a COMn name shows as its number
    struct Case {
        int baud, dbits, sbits;
        const char* parity;
        const char* handshake;
        int dtr;
        std::string line;
    };
    const std::vector<Case> cases = {
        {115200, 7, 2, "Even", "XONXOFF", 0, shown + ":115200 Data:7 Stop:2 Parity:E HS:X DTR:0"},
        {9600, 8, 1, "None", "CTSDTR", 1, shown + ":9600 Data:8 Stop:1 Parity:N HS:C DTR:1"},
        {2400, 8, 1, "Odd", "HardOut", 0, shown + ":2400 Data:8 Stop:1 Parity:O HS:H DTR:0"},
        {38400, 8, 1, "Mark", "SoftIn", 0, shown + ":38400 Data:8 Stop:1 Parity:M HS:S DTR:0"},
    };
    for (const Case& c : cases) {
        if (c.parity == std::string("Mark") && !terminalsKeepMarkParity()) continue;
        auto log = std::make_shared<ViewLog>();
        LocalCAM cam(name, 0, c.baud, c.dbits, c.sbits, c.parity, c.handshake, c.dtr, recordingDependencies(log));
        EXPECT_TRUE(cam.serialOpen());
        EXPECT_EQ(log->texts("serial"), std::vector<std::string>{c.line});
    }
}

TEST(Controller, LooksUpHostNamesAndReportsUnknownOnes) {
    PtyDevice device(PtyDevice::modem());
    auto log = std::make_shared<ViewLog>();
    LocalCAM cam(device.path(), 0, 9600, 8, 1, "None", "None", 0, recordingDependencies(log));
    EXPECT_EQ(log->texts("ip"), std::vector<std::string>{"testhost/192.0.2.7"});
    ASSERT_TRUE(log->waitFor("status", "Awaiting client connection"));
    const size_t from = log->size();
    cam.CommandB4("nowhere");
    std::vector<ViewEvent> after = log->events();
    ASSERT_EQ(after.size(), from + 2);
    EXPECT_EQ(after[from].field + "|" + after[from].text, "status|Unknown Host Can't Get IP");
    EXPECT_EQ(after[from + 1].field + "|" + after[from + 1].text, "ip|null");
    cam.CommandB4("printer");
    EXPECT_EQ(log->texts("ip").back(), "printer/192.0.2.7");
}

TEST(HostLookup, ResolvesNamesNumbersAndThisHost) {
    EXPECT_EQ(InetAddressText(std::nullopt), "null");
    EXPECT_EQ(InetAddressText(InetAddress{"a", "10.0.0.1"}), "a/10.0.0.1");

    std::optional<InetAddress> local = LookupHost("localhost");
    ASSERT_TRUE(local);
    EXPECT_EQ(InetAddressText(local), "localhost/127.0.0.1");
    EXPECT_EQ(InetAddressText(LookupHost("127.0.0.1")), "/127.0.0.1");
    EXPECT_FALSE(LookupHost("no-such-host.invalid"));

    std::optional<InetAddress> self = LookupHost("");
    ASSERT_TRUE(self);
    char host[256] = {0};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(self->hostName, host);
    EXPECT_FALSE(self->address.empty());
}

// The controller's retries: a chore runs once it has been due for its
// period, again a period later while it stays due, and not at all when it
// is not; stopping does not wait for a period to pass.
TEST(Housekeeper, RunsAChoreAPeriodAfterItBecomesDueAndWhileItStaysDue) {
    std::atomic<bool> due{false};
    std::atomic<int> runs{0};
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> at;
    Housekeeper keeper;
    keeper.Start({{200ms, [&] { return due.load(); }, [&] {
                       std::lock_guard<std::mutex> lock(mutex);
                       at.push_back(std::chrono::steady_clock::now());
                       if (++runs == 3) due = false;
                   }}});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(runs, 0) << "never due";
    const auto dueSince = std::chrono::steady_clock::now();
    due = true;
    keeper.Wake();
    ASSERT_TRUE(eventually([&] { return runs == 3; }, 10s));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_GE(at[0] - dueSince, 190ms);
        EXPECT_GE(at[2] - at[1], 190ms) << "a period between runs";
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(runs, 3) << "no longer due";
    keeper.Stop();

    Housekeeper slow;
    slow.Start({{10s, [] { return true; }, [&] { ++runs; }}});
    const auto stopping = std::chrono::steady_clock::now();
    slow.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s) << "stopping does not wait for the period";
    EXPECT_EQ(runs, 3);
}
