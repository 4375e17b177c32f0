#include "client/ui/KesGUI.h"

#include <FL/Fl.H>

#include <cassert>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "client/KesCAM.h"
#include "client/Kestrin.h"

const Fl_Color KesGUI::blackcol = fl_rgb_color(0, 0, 0);
const Fl_Color KesGUI::backcol = fl_rgb_color(192, 192, 192);

KesCAM* KesGUI::kescam() { return KesCAM::running(); }

namespace {
const char* const kTitle = "Kestrin Controls";
}

KesGUI::KesGUI(int sport, KesCAM& rc)
    : Fl_Window(GUIwidth, Kestrin::h, kTitle), controller_(rc), exitAction_([] { std::exit(0); }) {
    // The layout's widths are made for Helvetica's metrics.
    FittedLabel::useHelveticaByName();
    color(backcol);
    labelcolor(blackcol);
    labelfont(FL_HELVETICA);
    labelsize(Kestrin::fontheight);

    // FLTK places children in the client area, so the insets are 0 and the
    // layout starts 5 pixels in; children are added in focus order.
    const int x0 = 5;
    const int x1 = x0 + componentwidth;
    const int x3 = x0 + 3 * componentwidth;
    const int y0 = 5;
    y = y0;
    begin();
    prodlabel = MakeLabel(x0, y, 300, componentheight, "Kestrin v2.1  Remote RS232 over TCP/IP");
    y += componentheight;
    txlabel = MakeLabel(x0, y, 200, componentheight, "Transmit RS232 Data To Host");
    y += componentheight;
    txfield = MakeField<Fl_Input>(x0, y, 300, componentheight);
    y += componentheight;
    rxlabel = MakeLabel(x0, y, 200, componentheight, "Receive RS232 Data From Host");
    y += componentheight;
    rxfield = MakeField<Fl_Output>(x0, y, 300, componentheight);
    y += componentheight + 5;
    netlabel = MakeLabel(x0, y, componentwidth + 20, componentheight, "Net Controls");
    y += componentheight;
    passwordlabel = MakeLabel(x0, y, componentwidth, componentheight, "Host IP");
    passwordfield = MakeField<Fl_Input>(x1 + 10, y, 230, componentheight);
    y += componentheight + 5;
    portlabel = MakeLabel(x0, y, componentwidth + 10, componentheight, "Socket Port");
    portfield = MakeField<Fl_Output>(x1 + 10, y, componentwidth - 10, componentheight);
    bclose = new Fl_Button(x3, y, 2 * componentwidth, componentheight, "Close Connection");
    bclose->color(backcol);
    bclose->labelcolor(blackcol);
    bclose->labelfont(FL_HELVETICA);
    bclose->labelsize(Kestrin::fontheight);
    y += componentheight + 5;
    statuslabel = MakeLabel(x0, y, componentwidth + 50, componentheight, "Status/Results");
    y += componentheight;
    statusfield = MakeField<Fl_Output>(x0, y, 300, componentheight);
    end();

    passwordfield->value("127.0.0.1");
    portfield->value(std::to_string(sport).c_str());

    txfield->when(FL_WHEN_ENTER_KEY_ALWAYS);
    txfield->callback(&KesGUI::Dispatch<TXA>, &txa_);
    passwordfield->when(FL_WHEN_ENTER_KEY_ALWAYS);
    passwordfield->callback(&KesGUI::Dispatch<BLogin>, &blogin_);
    bclose->callback(&KesGUI::Dispatch<BClose>, &bclose_);
    callback(&KesGUI::WindowClosing);

    assert(y + componentheight + 12 == GUIheight && "the rows changed: GUIheight must follow");
    size(GUIwidth, GUIheight);
    show();
}

FittedLabel* KesGUI::MakeLabel(int x, int y, int w, int h, const char* text) {
    auto* label = new FittedLabel(x, y, w, h, text);
    label->labelcolor(blackcol);
    label->labelfont(FL_HELVETICA);
    label->labelsize(Kestrin::fontheight);
    return label;
}

template <typename Field>
Field* KesGUI::MakeField(int x, int y, int w, int h) {
    auto* field = new Field(x, y, w, h);
    field->color(backcol);
    field->textcolor(blackcol);
    field->textfont(FL_HELVETICA);
    field->textsize(Kestrin::fontheight);
    field->labelfont(FL_HELVETICA);
    field->labelsize(Kestrin::fontheight);
    return field;
}

void KesGUI::ShowStatus(const std::string& a) {
    updates_.post(statusfield, [this, a] { statusfield->value(a.c_str()); });
    // The event thread may pause next (a failed login, a send without a
    // connection): draw now so the text is seen during the pause.
    if (updates_.onEventThread()) Fl::flush();
}

void KesGUI::RXShow(const std::string& a) {
    updates_.post(rxfield, [this, a] { rxfield->value(a.c_str()); });
    if (updates_.onEventThread()) Fl::flush();
}

std::string KesGUI::HostText() const { return passwordfield->value(); }

std::string KesGUI::PortText() const { return portfield->value(); }

void KesGUI::COM(const std::string& s) { controller_.SendCommand(s); }

void KesGUI::CloseConnection() {
    COM("KILL");
    Pause(controller_.timing().closePauseMs);
    controller_.UserClose();
    Pause(controller_.timing().closePauseMs);
}

void KesGUI::Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void KesGUI::TXA::actionPerformed() {
    const std::string s = window.txfield->value();
    // Status field only: the console gets the controller's texts.
    window.ShowStatus("TXD = " + s);
    window.controller_.SendCommand(s);
}

void KesGUI::BLogin::actionPerformed() {
    if (!window.controller_.HasSocket()) window.controller_.ConnectToServer();
}

void KesGUI::BClose::actionPerformed() { window.CloseConnection(); }

void KesGUI::WindowClosing(Fl_Widget* widget, void*) {
    // FLTK also calls a window's callback for Escape; only a real close
    // request (the title bar's close, WM_DELETE_WINDOW) ends the program.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    auto* window = static_cast<KesGUI*>(widget);
    window->CloseConnection();
    // The receiver may still be ending; finish it so nothing prints while
    // the process exits.
    window->controller_.EndReceivers();
    window->exitAction_();
}
