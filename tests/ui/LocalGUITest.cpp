// The status window with the real controller behind it: a virtual modem
// (vdev) on a pseudo-terminal as the device, real TCP clients on loopback.
#include "server/ui/LocalGUI.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LineClient.h"
#include "server/ClientSocket.h"
#include "server/LocalCAM.h"
#include "tests/support/NeedsDisplay.h"
#include "tests/support/PtyDevice.h"
#include "common/TcpListener.h"

// Last: it brings in Xlib, whose macros (Status, None) clash with names above.
#include <FL/fl_draw.H>

using namespace std::chrono_literals;

namespace {

// Records the status texts as they are issued, from any thread.
class RecordingLocalGUI : public LocalGUI {
public:
    using LocalGUI::LocalGUI;
    void ShowStatus(const std::string& a) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            statuses_.push_back(a);
        }
        LocalGUI::ShowStatus(a);
    }
    std::vector<std::string> statuses()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }
    void clearStatuses()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> statuses_;
};

std::optional<InetAddress> fakeLookup(const std::string& name)
{
    if (name.empty()) return InetAddress{"testhost", "10.1.2.3"};
    if (name == "localhost") return InetAddress{"localhost", "127.0.0.1"};
    return std::nullopt;
}

int freePort()
{
    return TcpListener::listen(0).port();
}

class LocalGUITest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_DISPLAY();
        Fl::lock();
    }
    void TearDown() override
    {
        if (IsSkipped()) return;
        controller.reset();
        pumpFor(50ms);
        Fl::unlock();
    }

    void start(const std::string& cpname, int socketport, const std::string& handshake = "None")
    {
        LocalCAM::Dependencies dependencies;
        dependencies.makeView = [this](int port, LocalCAM& lc) -> std::unique_ptr<StatusView> {
            auto view = std::make_unique<RecordingLocalGUI>(port, lc, [this](int status) { exitStatus = status; });
            window = view.get();
            return view;
        };
        dependencies.lookup = fakeLookup;
        controller = std::make_unique<LocalCAM>(cpname, socketport, 9600, 8, 1, "None", handshake, 1,
                                                std::move(dependencies));
        pumpFor(50ms);
    }

    // Types text into the transmit field and presses Enter.
    void transmit(const std::string& text)
    {
        window->txfield->value(text.c_str());
        window->txfield->do_callback();
    }

    std::unique_ptr<LocalCAM> controller;
    RecordingLocalGUI* window = nullptr;
    std::optional<int> exitStatus;
};

TEST_F(LocalGUITest, PlacesEveryComponentInTheClientArea)
{
    const int port = freePort();
    start("/nonexistent/tty", port);
    EXPECT_EQ(std::string(window->label()).rfind("Orvo Server", 0), 0u) << window->label();
    EXPECT_EQ(window->w(), 340);
    EXPECT_EQ(window->h(), 299);
    EXPECT_EQ(window->color(), fl_rgb_color(192, 192, 192));

    struct Placement {
        Fl_Widget* widget;
        int x, y, w;
        const char* label;
    };
    const Placement placements[] = {
        {window->seriallabel, 5, 0, 300, "Serial Port Configuration"},
        {window->serialfield, 10, 24, 310, nullptr},
        {window->txlabel, 5, 53, 150, "Data From Net/To COM"},
        {window->txfield, 10, 77, 310, nullptr},
        {window->rxlabel, 5, 106, 150, "Data From COM/To Net"},
        {window->rxfield, 10, 130, 310, nullptr},
        {window->ipfieldlabel, 5, 159, 120, "TCP/IP Info/Lookup"},
        {window->ipfield, 10, 183, 310, nullptr},
        {window->portlabel, 5, 212, 70, "Socket Port"},
        {window->portfield, 90, 212, 50, nullptr},
        {window->bclose, 185, 212, 120, "Close Connection"},
        {window->statuslabel, 5, 241, 100, "Status/Results"},
        {window->statusfield, 10, 265, 310, nullptr},
    };
    int index = 0;
    for (const Placement& p : placements) {
        SCOPED_TRACE(index);
        EXPECT_EQ(p.widget->parent(), window);
        EXPECT_EQ(window->find(p.widget), index++) << "placed in order";
        EXPECT_EQ(p.widget->x(), p.x);
        EXPECT_EQ(p.widget->y(), p.y);
        EXPECT_EQ(p.widget->w(), p.w);
        EXPECT_EQ(p.widget->h(), 24);
        if (p.label) {
            EXPECT_STREQ(p.widget->label(), p.label);
        }
    }
    EXPECT_EQ(window->children(), 13);
    for (FittedLabel* label : {window->seriallabel, window->txlabel, window->rxlabel, window->ipfieldlabel,
                               window->portlabel, window->statuslabel}) {
        fl_font(label->labelfont(), label->fittedSize());
        EXPECT_LE(fl_width(label->label()), label->w()) << label->label();
    }
    EXPECT_EQ(window->passwordfield->parent(), nullptr);
    EXPECT_EQ(window->passwordlabel->parent(), nullptr);
    EXPECT_EQ(window->statusfield->textsize(), 13);

    EXPECT_FALSE(window->txfield->readonly());
    EXPECT_FALSE(window->ipfield->readonly());
    for (Fl_Input_* field : {static_cast<Fl_Input_*>(window->rxfield), static_cast<Fl_Input_*>(window->portfield),
                             static_cast<Fl_Input_*>(window->statusfield),
                             static_cast<Fl_Input_*>(window->serialfield)})
        EXPECT_TRUE(field->readonly());

    EXPECT_STREQ(window->portfield->value(), std::to_string(port).c_str());
    EXPECT_STREQ(window->serialfield->value(), "Serial Port /nonexistent/tty Could Not Open");
    EXPECT_STREQ(window->ipfield->value(), "testhost/10.1.2.3");
}

TEST_F(LocalGUITest, ShowOperationsFromAnotherThreadArriveInTheOrderIssued)
{
    start("/nonexistent/tty", freePort());
    std::thread worker([this] {
        for (int i = 1; i <= 300; ++i) window->LocalGUI::ShowStatus("status " + std::to_string(i));
        window->ShowRX("0D0A");
        window->ShowTX("AT");
        window->ShowSerial("2:115200 Data:7 Stop:2 Parity:E HS:X DTR:0");
        window->ShowIP(std::nullopt);
    });
    worker.join();
    EXPECT_TRUE(pumpUntil([this] { return std::string(window->ipfield->value()) == "null"; }));
    EXPECT_STREQ(window->statusfield->value(), "status 300");
    EXPECT_STREQ(window->rxfield->value(), "0D0A");
    EXPECT_STREQ(window->txfield->value(), "AT");
    EXPECT_STREQ(window->serialfield->value(), "2:115200 Data:7 Stop:2 Parity:E HS:X DTR:0");

    // A later call from the event thread is not overtaken by an earlier
    // queued one.
    std::thread late([this] { window->LocalGUI::ShowStatus("from the session thread"); });
    late.join();
    window->LocalGUI::ShowStatus("from the window");
    EXPECT_STREQ(window->statusfield->value(), "from the window");
    pumpFor(100ms);
    EXPECT_STREQ(window->statusfield->value(), "from the window");
}

TEST_F(LocalGUITest, TransmitFieldSendsHexBytesOrTextWithALineFeed)
{
    // A device that echoes every byte at once, and keeps what reached it.
    PtyDevice device(PtyDevice::echo());
    start(device.path(), freePort());
    ASSERT_TRUE(controller->serialOpen());

    struct Case {
        std::string typed;
        std::string status;  // "TXD = ..."
        std::string line;    // what reaches the serial line
        std::string echoed;  // the answer, as hex
    };
    const std::string digits32(32, '7');
    const Case cases[] = {
        {"0x41", "TXD = 41", "A", "41"},
        {"0x", "TXD = 0x", "0x\n", "30780A"},
        {"0X41", "TXD = 0X41", "0X41\n", "305834310A"},
        {"", "TXD = ", "\n", "0A"},
        {"0x" + digits32, "TXD = " + digits32, std::string(16, '\x77'), digits32},
    };
    std::string expectedLine;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        window->clearStatuses();
        transmit(c.typed);
        expectedLine += c.line;
        EXPECT_EQ(device.received(), expectedLine);
        EXPECT_EQ(window->statuses(), (std::vector<std::string>{c.status, "RXD = " + c.echoed}));
        EXPECT_STREQ(window->rxfield->value(), c.echoed.c_str());
        EXPECT_STREQ(window->txfield->value(), c.typed.c_str()) << "the typed text stays";
    }
    EXPECT_EQ(controller->sent, digits32);

    // 33 digits would become one stray zero byte: nothing is sent.
    window->clearStatuses();
    transmit("0x" + std::string(33, '7'));
    EXPECT_EQ(window->statuses(),
              (std::vector<std::string>{"TXD = " + std::string(33, '7'), "Hex command too long (max 32 digits)"}));
    EXPECT_STREQ(window->statusfield->value(), "Hex command too long (max 32 digits)");
    EXPECT_EQ(device.received(), expectedLine) << "no byte of the refused command reached the line";
}

TEST_F(LocalGUITest, AnswerToTheOperatorsTransmissionGoesToTheConnectedClient)
{
    ChildProcess device({programPath("vdev")});
    const std::optional<std::string> path = device.readLine(5s);
    ASSERT_TRUE(path.has_value());
    start(*path, 0);
    LineClient client(controller->listeningPort());
    EXPECT_EQ(client.readLine(), "OK");
    transmit("AT");
    EXPECT_EQ(client.readLine(), "4F4B0D0A");
    EXPECT_STREQ(window->rxfield->value(), "4F4B0D0A");
}

TEST_F(LocalGUITest, LookupFieldShowsTheAddressOrNull)
{
    start("/nonexistent/tty", freePort());
    window->ipfield->value("localhost");
    window->ipfield->do_callback();
    EXPECT_STREQ(window->ipfield->value(), "localhost/127.0.0.1");

    window->clearStatuses();
    window->ipfield->value("no.such.host");
    window->ipfield->do_callback();
    EXPECT_STREQ(window->ipfield->value(), "null");
    EXPECT_EQ(window->statuses(), std::vector<std::string>{"Unknown Host Can't Get IP"});
}

TEST_F(LocalGUITest, CloseConnectionWithoutASessionSaysSoAtOnce)
{
    TcpListener taken = TcpListener::listen(0);  // the port is in use: no session starts
    start("/nonexistent/tty", taken.port());
    ASSERT_EQ(LocalCAM::connectthread(), nullptr);
    EXPECT_STREQ(window->statusfield->value(),
                 ("Can't Get ServerSocket at Port " + std::to_string(taken.port())).c_str());
    const auto before = std::chrono::steady_clock::now();
    window->bclose->do_callback();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_STREQ(window->statusfield->value(), "No Connection to Close");
}

TEST_F(LocalGUITest, CloseConnectionClosesTheClientAfterTwoSeconds)
{
    start("/nonexistent/tty", 0);
    LineClient client(controller->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    ASSERT_TRUE(pumpUntil([this] {
        const auto s = window->statuses();
        return !s.empty() && s.back() == "Client connection accepted!";
    }));
    window->clearStatuses();
    const auto before = std::chrono::steady_clock::now();
    window->bclose->do_callback();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, 1900ms);
    EXPECT_EQ(client.readLine(), "CLOSE");
    EXPECT_EQ(client.readLine(), std::nullopt);
    const std::vector<std::string> statuses = window->statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "Attempting to close connection.");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Closed client connection!"), statuses.end());
    // The next session waits for the next client. The old session's own
    // texts ("Can't close - no current client.", then "Awaiting client
    // connection." with a full stop) may come later and, while the window
    // is busy, replace the new session's text before it is drawn.
    EXPECT_TRUE(pumpUntil([this] {
        return std::string(window->statusfield->value()).rfind("Awaiting client connection", 0) == 0;
    }));
    EXPECT_TRUE(controller->currentSession() && !controller->currentSession()->connected());
}

TEST_F(LocalGUITest, ClosingTheWindowClosesTheClientThenEndsWithStatusZero)
{
    start("/nonexistent/tty", 0);
    LineClient client(controller->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    window->windowClosing();
    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(client.readLine(), "CLOSE");
}

}  // namespace

TEST_F(LocalGUITest, ALineHeldByTheDevicesXoffCostsTheWindowOneBoundedWaitAndClosingStillWorks)
{
    // The device answers STOP with XOFF: the port's output stops.
    PtyDevice device(PtyDevice::lines([](const std::string& line) {
        return line == "STOP" ? std::string("\x13") : std::string("OK\r\n");
    }));
    start(device.path(), 0, "XONXOFF");
    ASSERT_TRUE(controller->serialOpen());
    LineClient client(controller->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    transmit("STOP");
    ASSERT_TRUE(device.waitReplied(1));
    const auto before = std::chrono::steady_clock::now();
    transmit("AT");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4000ms) << "the event thread was held";
    EXPECT_EQ(window->statuses().back(), "Serial write timed out");
    window->windowClosing();
    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(client.readLine(), "");      // the answer to STOP
    EXPECT_EQ(client.readLine(), "");      // the held AT's
    EXPECT_EQ(client.readLine(), "CLOSE");
}
