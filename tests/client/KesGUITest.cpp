// The client window on a real (virtual) display, driven through FLTK's own
// event handling with bounded loops; the controller behind it is the real one.
#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>

#include "client/KesCAM.h"
#include "tests/support/EventLoop.h"
#include "client/ui/KesGUI.h"
#include "tests/client/LineServer.h"
#include "tests/support/NeedsDisplay.h"
#include "tests/support/ViewLog.h"

// Last: it brings in Xlib, whose macros (None, Bool, Status) clash with
// names in the headers above.
#include <FL/fl_draw.H>

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string please = "Please log in - type Host IP# above and hit 'Enter'";

// A key press as FLTK delivers it from the X server: to the focused widget.
void pressKey(Fl_Widget* target, int key, const char* text) {
    ASSERT_TRUE(target->take_focus());
    Fl::e_keysym = key;
    Fl::e_state = 0;
    Fl::e_text = const_cast<char*>(text);
    Fl::e_length = static_cast<int>(std::strlen(text));
    Fl::handle(FL_KEYBOARD, target->window());
}

void pressEnter(Fl_Widget* target) { pressKey(target, FL_Enter, "\r"); }

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_DISPLAY();
        Fl::lock();
        locked_ = true;
    }

    void TearDown() override {
        cam.reset();
        if (locked_) Fl::unlock();
    }

    void start(int sport) {
        cam = std::make_unique<KesCAM>(
            [this, sport](int, KesCAM& controller) {
                auto window = std::make_shared<KesGUI>(sport, controller);
                gui = window.get();
                gui->SetExitAction([this] { ++exits; });
                return window;
            },
            KesTiming{}, [this](const std::string& line) { log->add("console", line); });
    }

    // Enter in the host field, and the server's greeting on the connection
    // that brings; the server's end of it, or nothing when the window did
    // not get to "Connected OK".
    std::unique_ptr<ServerPeer> logInAndGreet(LineServer& server) {
        pressEnter(gui->passwordfield);
        auto peer = std::make_unique<ServerPeer>(server.accept());
        peer->send("OK");
        if (!pumpUntil([&] { return status() == "Connected OK"; })) return nullptr;
        return peer;
    }

    std::string status() const { return gui->statusfield->value(); }
    Strings console() const { return log->texts("console"); }

    std::shared_ptr<ViewLog> log = std::make_shared<ViewLog>();
    std::unique_ptr<KesCAM> cam;
    KesGUI* gui = nullptr;
    int exits = 0;

private:
    bool locked_ = false;
};

struct Place {
    Fl_Widget* widget;
    int x, y, w, h;
};

TEST_F(Window, ShowsItsTitleFieldsAndLayoutInTheClientArea) {
    start(KesCAM::socketport);
    ASSERT_TRUE(gui->shown());
    EXPECT_STREQ(gui->label(), "Kestrin Controls");
    EXPECT_EQ(gui->w(), 320);
    EXPECT_EQ(gui->h(), 272);
    EXPECT_EQ(KesGUI::GUIwidth, 320);
    EXPECT_EQ(KesGUI::GUIheight, 272);

    // x0 = y0 = 5 with no insets; children in this order are also the order
    // of keyboard focus.
    const Place places[] = {
        {gui->prodlabel, 5, 5, 300, 24},       {gui->txlabel, 5, 29, 200, 24},
        {gui->txfield, 5, 53, 300, 24},        {gui->rxlabel, 5, 77, 200, 24},
        {gui->rxfield, 5, 101, 300, 24},       {gui->netlabel, 5, 130, 80, 24},
        {gui->passwordlabel, 5, 154, 60, 24},  {gui->passwordfield, 75, 154, 230, 24},
        {gui->portlabel, 5, 183, 70, 24},      {gui->portfield, 75, 183, 50, 24},
        {gui->bclose, 185, 183, 120, 24},      {gui->statuslabel, 5, 212, 110, 24},
        {gui->statusfield, 5, 236, 300, 24},
    };
    ASSERT_EQ(gui->children(), 13);
    for (int i = 0; i < 13; ++i) {
        const Place& p = places[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(gui->child(i), p.widget);
        EXPECT_EQ(p.widget->x(), p.x);
        EXPECT_EQ(p.widget->y(), p.y);
        EXPECT_EQ(p.widget->w(), p.w);
        EXPECT_EQ(p.widget->h(), p.h);
        EXPECT_LE(p.widget->x() + p.widget->w(), gui->w());
        EXPECT_LE(p.widget->y() + p.widget->h(), gui->h());
        EXPECT_EQ(p.widget->labelfont(), FL_HELVETICA);
        EXPECT_EQ(p.widget->labelsize(), 13);
    }
    EXPECT_EQ(gui->color(), fl_rgb_color(192, 192, 192));

    EXPECT_STREQ(std::string(gui->prodlabel->label()).substr(0, 12).c_str(), "Kestrin v2.1");
    EXPECT_STREQ(gui->txlabel->label(), "Transmit RS232 Data To Host");
    EXPECT_STREQ(gui->rxlabel->label(), "Receive RS232 Data From Host");
    EXPECT_STREQ(gui->netlabel->label(), "Net Controls");
    EXPECT_STREQ(gui->passwordlabel->label(), "Host IP");
    EXPECT_STREQ(gui->portlabel->label(), "Socket Port");
    EXPECT_STREQ(gui->statuslabel->label(), "Status/Results");
    EXPECT_STREQ(gui->bclose->label(), "Close Connection");

    // Nothing is cut off: each label's whole text fits its box at the size
    // it is drawn, whatever face stands in for Helvetica on this machine.
    for (FittedLabel* label : {gui->prodlabel, gui->txlabel, gui->rxlabel, gui->netlabel, gui->passwordlabel,
                            gui->portlabel, gui->statuslabel}) {
        fl_font(label->labelfont(), label->fittedSize());
        EXPECT_LE(fl_width(label->label()), label->w()) << label->label();
        EXPECT_GT(label->fittedSize(), 9) << label->label();
    }
    fl_font(gui->bclose->labelfont(), gui->bclose->labelsize());
    EXPECT_LE(fl_width(gui->bclose->label()) + 2 * Fl::box_dw(gui->bclose->box()), gui->bclose->w());

    EXPECT_STREQ(gui->txfield->value(), "");
    EXPECT_STREQ(gui->rxfield->value(), "");
    EXPECT_STREQ(gui->passwordfield->value(), "127.0.0.1");
    EXPECT_STREQ(gui->portfield->value(), "3001");
    EXPECT_EQ(status(), please);
    EXPECT_EQ(console(), Strings{please});

    // Editable fields act on Enter; the others cannot be typed into.
    for (Fl_Input* field : {gui->txfield, gui->passwordfield}) {
        EXPECT_FALSE(field->readonly());
        EXPECT_EQ(field->when() & FL_WHEN_ENTER_KEY_ALWAYS, FL_WHEN_ENTER_KEY_ALWAYS);
        EXPECT_EQ(field->textfont(), FL_HELVETICA);
        EXPECT_EQ(field->textsize(), 13);
    }
    for (Fl_Output* field : {gui->rxfield, gui->portfield, gui->statusfield}) {
        EXPECT_TRUE(field->readonly());
        EXPECT_EQ(field->textfont(), FL_HELVETICA);
        EXPECT_EQ(field->textsize(), 13);
    }
    pressKey(gui->portfield, '9', "9");
    EXPECT_STREQ(gui->portfield->value(), "3001");
    pressKey(gui->txfield, 'A', "A");
    EXPECT_STREQ(gui->txfield->value(), "A") << "the transmit field takes typing";
}

TEST_F(Window, LabelsShrinkRatherThanBeCutOffWhenTheFaceIsWiderThanHelvetica) {
    start(KesCAM::socketport);
    // A monospaced face is far wider than Helvetica at the same size.
    Fl::set_font(FL_HELVETICA, " Courier");
    fl_font(FL_HELVETICA, 13);
    ASSERT_GT(fl_width("Socket Port"), gui->portlabel->w()) << "the stand-in face is not wider here";
    for (FittedLabel* label : {gui->txlabel, gui->rxlabel, gui->netlabel, gui->portlabel, gui->statuslabel}) {
        const int size = label->fittedSize();
        fl_font(label->labelfont(), size);
        EXPECT_LE(fl_width(label->label()), label->w()) << label->label();
        EXPECT_LE(size, 13);
    }
    EXPECT_LT(gui->portlabel->fittedSize(), 13);
    gui->redraw();
    pumpFor(50ms);  // draws at the fitted sizes without trouble
    Fl::set_font(FL_HELVETICA, " Helvetica");
}

TEST_F(Window, EnterInTheTransmitFieldWithoutAConnectionReportsItAndHoldsTheWindow) {
    start(KesCAM::socketport);
    gui->txfield->value("AT");
    const auto before = std::chrono::steady_clock::now();
    pressEnter(gui->txfield);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1000ms);
    EXPECT_EQ(status(), "Can't Send Command - Not Connected");
    // "TXD = " is for the field only.
    EXPECT_EQ(console(), (Strings{please, "Can't Send Command - Not Connected"}));
    EXPECT_STREQ(gui->txfield->value(), "AT") << "the text stays for sending again";
}

TEST_F(Window, EnterInTheHostFieldConnectsOnceAndTheReceiverFillsTheFields) {
    LineServer server;
    start(server.port());
    EXPECT_STREQ(gui->portfield->value(), std::to_string(server.port()).c_str());
    auto peer = logInAndGreet(server);
    ASSERT_TRUE(peer);
    EXPECT_EQ(console(), (Strings{please, "Attempting LogIn", "Got Socket To Host", "Starting Input Thread",
                                  "Checking Orvo server.  Please wait...", "Connected OK"}));

    // Connected: Enter in the host field does nothing.
    pressEnter(gui->passwordfield);
    pumpFor(300ms);
    EXPECT_EQ(log->count("console", "Attempting LogIn"), 1);

    gui->txfield->value("AT");
    pressEnter(gui->txfield);
    EXPECT_EQ(peer->readLine(), "AT");
    EXPECT_EQ(status(), "Sending AT");
    peer->send("4F4B0D0A");
    ASSERT_TRUE(pumpUntil([&] { return std::string(gui->rxfield->value()) == "4F4B0D0A"; }));
    peer->send("");
    ASSERT_TRUE(pumpUntil([&] { return std::string(gui->rxfield->value()).empty(); }));
    ASSERT_TRUE(pumpUntil([&] { return status() == "No data from device"; }));
    EXPECT_EQ(log->count("console", "4F4B0D0A"), 0);
}

TEST_F(Window, CloseConnectionWithoutAConnectionShowsTheWholeSequenceAndKeepsTheWindow) {
    start(KesCAM::socketport);
    const auto before = std::chrono::steady_clock::now();
    gui->bclose->do_callback();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1000ms + 2 * 150ms);
    EXPECT_EQ(console(), (Strings{please, "Can't Send Command - Not Connected", "FastClose!", please,
                                  "Local I/O and Socket Closed by User", please}));
    EXPECT_EQ(status(), please);
    EXPECT_TRUE(gui->shown());
    EXPECT_EQ(exits, 0);
}

TEST_F(Window, CloseConnectionWhileConnectedSendsKillAndEndsAtThePrompt) {
    LineServer server;
    start(server.port());
    auto peer = logInAndGreet(server);
    ASSERT_TRUE(peer);
    // The server's side: "KILL" is answered with "CLOSE" and the end.
    auto answer = std::async(std::launch::async, [&] {
        auto line = peer->readLine();
        peer->send("CLOSE");
        peer->close();
        return line;
    });
    gui->bclose->do_callback();
    EXPECT_EQ(answer.get(), "KILL");
    // The start's prompt, two from the user's close, one from the receiver's.
    ASSERT_TRUE(pumpUntil([&] { return log->count("console", please) == 4; }));
    ASSERT_TRUE(pumpUntil([&] { return status() == please; }));
    const Strings shown = console();
    EXPECT_TRUE(inOrder(shown, {"Sending KILL", "FastClose!", please, "Local I/O and Socket Closed by User", please}));
    EXPECT_TRUE(inOrder(shown, {"Sending KILL", "Ending input thread", "Local I/O and Socket Closed", please}));
    EXPECT_EQ(log->count("console", "Failed to close connections"), 0);
    EXPECT_EQ(shown.back(), please);
    EXPECT_EQ(status(), please);
    EXPECT_FALSE(cam->HasSocket());
    EXPECT_EQ(exits, 0);

    // Ready for the next connection.
    auto again = logInAndGreet(server);
    ASSERT_TRUE(again);
}

TEST_F(Window, ClosingTheWindowWhileConnectedSendsKillThenEnds) {
    LineServer server;
    start(server.port());
    auto peer = logInAndGreet(server);
    ASSERT_TRUE(peer);
    Fl::handle(FL_CLOSE, gui);  // what the title bar's close button sends
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(peer->readLine(), "KILL");
    EXPECT_TRUE(inOrder(console(), {"Sending KILL", "FastClose!", please, "Local I/O and Socket Closed by User", please}));
    // The receiver has ended before the program would exit.
    EXPECT_FALSE(cam->HasService());
}

TEST_F(Window, EscapeDoesNotCloseTheWindow) {
    start(KesCAM::socketport);
    pressKey(gui->txfield, FL_Escape, "\033");
    pumpFor(100ms);
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(gui->shown());
    EXPECT_EQ(console(), Strings{please});
}

}  // namespace
