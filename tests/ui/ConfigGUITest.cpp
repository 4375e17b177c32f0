#include "server/ui/ConfigGUI.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/EventLoop.h"
#include "tests/support/NeedsDisplay.h"

// Last: it brings in Xlib, whose macros (Status, None) clash with names above.
#include <FL/fl_draw.H>

namespace {

struct Settings {
    std::string cpname;
    int socketport;
    int baudrate;
    int dbits;
    int sbits;
    std::string parity;
    std::string handshake;
    int dtr;
    bool operator==(const Settings& o) const
    {
        return cpname == o.cpname && socketport == o.socketport && baudrate == o.baudrate && dbits == o.dbits &&
               sbits == o.sbits && parity == o.parity && handshake == o.handshake && dtr == o.dtr;
    }
};

std::ostream& operator<<(std::ostream& out, const Settings& s)
{
    return out << s.cpname << "," << s.socketport << "," << s.baudrate << "," << s.dbits << "," << s.sbits << ","
               << s.parity << "," << s.handshake << "," << s.dtr;
}

std::vector<std::string> items(const Fl_Choice* choice)
{
    std::vector<std::string> texts;
    for (int i = 0; i < choice->size(); ++i)
        if (const char* text = choice->text(i)) texts.emplace_back(text);
    return texts;
}

void select(Fl_Choice* choice, const std::string& text)
{
    const int index = choice->find_index(text.c_str());
    ASSERT_GE(index, 0) << text;
    choice->value(index);
}

class ConfigGUITest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_DISPLAY();
        window = new ConfigGUI(
            [this](const BridgeSettings& chosen) { record(chosen); },
            [this](int status) { exitStatus = status; });
        pumpFor(std::chrono::milliseconds(200));
    }
    void TearDown() override
    {
        if (created.empty() && Fl::first_window() == window) delete window;
        pumpFor(std::chrono::milliseconds(200));
    }

    // What "Start" handed on: the serial line and TCP port in the window's
    // order, and the settings as a whole.
    void record(const BridgeSettings& chosen)
    {
        created.push_back({chosen.port, chosen.tcpPort, chosen.baud, chosen.dataBits, chosen.stopBits, chosen.parity,
                           chosen.handshake, chosen.dtr});
        lastChosen = chosen;
    }

    ConfigGUI* window = nullptr;
    BridgeSettings lastChosen;
    std::vector<Settings> created;
    std::optional<int> exitStatus;
};

TEST_F(ConfigGUITest, OpensTitledWithTheListsInOrderAndTheDefaultsSelected)
{
    EXPECT_STREQ(window->label(), "Orvo Setup");
    EXPECT_TRUE(window->shown());
    EXPECT_EQ(window->w(), 250);
    EXPECT_EQ(window->h(), 260);
    EXPECT_EQ(window->color(), fl_rgb_color(192, 192, 192));

    using V = std::vector<std::string>;
    EXPECT_EQ(items(window->choiceSerialPort), (V{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
    EXPECT_EQ(items(window->choiceSocketPort), (V{"3001", "3002", "3003", "3004", "3005", "3006", "3007", "3008"}));
    EXPECT_EQ(items(window->choiceBaudRate), (V{"2400", "9600", "19200", "38400", "57600", "115200"}));
    EXPECT_EQ(items(window->choiceDataBits), (V{"8", "7", "6", "5"}));
    EXPECT_EQ(items(window->choiceStopBits), (V{"1", "2"}));
    EXPECT_EQ(items(window->choiceParity), (V{"None", "Even", "Odd", "Mark"}));
    EXPECT_EQ(items(window->choiceHandShake),
              (V{"None", "CTSRTS", "XONXOFF", "CTSDTR", "DSRDTR", "HardIn", "HardOut", "SoftIn", "SoftOut"}));
    EXPECT_EQ(items(window->choiceDTR), (V{"1", "0"}));

    window->buttonOK->do_callback();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0], (Settings{"COM1", 3001, 9600, 8, 1, "None", "None", 1}));
    EXPECT_FALSE(window->shown());
    EXPECT_FALSE(exitStatus.has_value());
}

TEST_F(ConfigGUITest, StartPassesTheChosenValuesInTheControllersOrder)
{
    select(window->choiceBaudRate, "115200");
    select(window->choiceDataBits, "5");
    select(window->choiceStopBits, "2");
    select(window->choiceParity, "Mark");
    select(window->choiceHandShake, "SoftOut");
    select(window->choiceDTR, "0");
    select(window->choiceSerialPort, "COM8");
    select(window->choiceSocketPort, "3008");
    window->buttonOK->do_callback();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0], (Settings{"COM8", 3008, 115200, 5, 2, "Mark", "SoftOut", 0}));
}

TEST_F(ConfigGUITest, OptionsPreselectTheChoicesAndADevicePathJoinsThePortList)
{
    delete window;
    BridgeSettings options;
    options.port = "/dev/serial/by-id/usb-FTDI_A5-if00-port0";
    options.tcpPort = 3005;
    options.baud = 19200;
    options.dataBits = 7;
    options.stopBits = 2;
    options.parity = "Even";
    options.handshake = "XONXOFF";
    options.dtr = 0;
    options.listen = "127.0.0.1";
    options.answerGapMs = 2;
    window = new ConfigGUI(
        [this](const BridgeSettings& chosen) { record(chosen); },
        [this](int status) { exitStatus = status; }, options);
    // The path is one item, its slashes no submenus.
    EXPECT_EQ(items(window->choiceSerialPort).size(), 9u);
    EXPECT_STREQ(window->choiceSerialPort->text(), options.port.c_str());
    window->buttonOK->do_callback();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0], (Settings{options.port, 3005, 19200, 7, 2, "Even", "XONXOFF", 0}));
    EXPECT_EQ(lastChosen.listen, "127.0.0.1") << "what the window does not show goes on as the options gave it";
    EXPECT_EQ(lastChosen.answerGapMs, 2);
}

TEST_F(ConfigGUITest, TenEqualRowsWithLabelsLeftAndQuitBeforeStart)
{
    struct Row {
        Fl_Widget* left;
        Fl_Widget* right;
        const char* leftText;
    };
    const Row rows[] = {
        {window->serialportlabel, window->choiceSerialPort, "   Serial Port"},
        {window->baudratelabel, window->choiceBaudRate, "   Baud Rate"},
        {window->databitslabel, window->choiceDataBits, "   Data Bits"},
        {window->stopbitslabel, window->choiceStopBits, "   Stop Bits"},
        {window->paritylabel, window->choiceParity, "   Parity"},
        {window->handshakelabel, window->choiceHandShake, "   Handshake"},
        {window->dtrlabel, window->choiceDTR, "   Set DTR"},
        {window->socketportlabel, window->choiceSocketPort, "   Network Socket"},
        {window->blanklabel1, window->blanklabel2, "   "},
        {window->buttonQuit, window->buttonOK, "Quit"},
    };
    for (int r = 0; r < 10; ++r) {
        SCOPED_TRACE(r);
        EXPECT_STREQ(rows[r].left->label(), rows[r].leftText);
        EXPECT_EQ(rows[r].left->x(), 0);
        EXPECT_EQ(rows[r].right->x(), 125);
        EXPECT_EQ(rows[r].left->y(), r * 26);
        EXPECT_EQ(rows[r].right->y(), r * 26);
        for (Fl_Widget* cell : {rows[r].left, rows[r].right}) {
            EXPECT_EQ(cell->w(), 125);
            EXPECT_EQ(cell->h(), 26);
            EXPECT_EQ(cell->parent(), window);
            EXPECT_EQ(cell->labelsize(), 15);
        }
    }
    // No label loses its end, whatever face stands in for Helvetica.
    for (FittedLabel* label : {window->serialportlabel, window->baudratelabel, window->databitslabel,
                               window->stopbitslabel, window->paritylabel, window->handshakelabel, window->dtrlabel,
                               window->socketportlabel}) {
        fl_font(label->labelfont(), label->fittedSize());
        EXPECT_LE(fl_width(label->label()), label->w()) << label->label();
    }
    EXPECT_STREQ(window->buttonOK->label(), "Start");
    EXPECT_STREQ(window->blanklabel2->label(), "   ");
    EXPECT_EQ(window->buttonOK->actionCommand(), "OK");
    EXPECT_EQ(window->buttonQuit->actionCommand(), "Quit");
    // Tab moves through the rows in reading order.
    EXPECT_EQ(window->find(window->choiceSerialPort) + 2, window->find(window->choiceBaudRate));
    EXPECT_EQ(window->find(window->buttonQuit) + 1, window->find(window->buttonOK));
}

TEST_F(ConfigGUITest, UnknownCommandsAndTitleBarCloseChangeNothing)
{
    window->buttonHandler().actionPerformed("ok");
    window->buttonHandler().actionPerformed("QUIT");
    window->buttonHandler().actionPerformed("");
    window->do_callback();  // what a close request from the title bar runs
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(window->shown());
    EXPECT_TRUE(created.empty());
    EXPECT_FALSE(exitStatus.has_value());
}

TEST_F(ConfigGUITest, QuitEndsWithStatusZeroAndCreatesNothing)
{
    window->buttonQuit->do_callback();
    EXPECT_EQ(exitStatus, 0);
    EXPECT_TRUE(created.empty());
    EXPECT_FALSE(window->shown());
}

}  // namespace
