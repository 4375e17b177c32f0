#include "server/ui/LocalGUI.h"

#include <FL/Fl.H>

#include <chrono>
#include <thread>

#include "server/ClientSession.h"
#include "server/LocalCAM.h"
#include "server/Orvo.h"

const Fl_Color LocalGUI::blackcol = fl_rgb_color(0, 0, 0);
const Fl_Color LocalGUI::graycol = fl_rgb_color(192, 192, 192);

LocalCAM* LocalGUI::scam() { return LocalCAM::running(); }

namespace {

// Hex texts longer than this would not fit the device's 16-byte commands;
// the codec would turn them into a single stray zero byte.
constexpr std::size_t maxHexDigits = 32;

FittedLabel* makeLabel(const char* text)
{
    auto* label = new FittedLabel(0, 0, 0, 0, text);
    label->labelfont(FL_HELVETICA);
    label->labelsize(Orvo::fontheight);
    label->labelcolor(LocalGUI::blackcol);
    return label;
}

template <typename Field>
Field* makeField(bool editable)
{
    auto* field = new Field(0, 0, 0, 0);
    field->textfont(FL_HELVETICA);
    field->textsize(Orvo::fontheight);
    field->textcolor(LocalGUI::blackcol);
    // Read-only fields are shaded like the window so the two editable ones
    // stand out as the places to type.
    field->color(editable ? FL_WHITE : fl_rgb_color(224, 224, 224));
    return field;
}

void pressed(Fl_Widget*, void* handler) { static_cast<LocalGUI::Bclose*>(handler)->actionPerformed(); }
void lookupEntered(Fl_Widget*, void* handler) { static_cast<LocalGUI::LNA*>(handler)->actionPerformed(); }
void transmitEntered(Fl_Widget*, void* handler) { static_cast<LocalGUI::TXA*>(handler)->actionPerformed(); }

void closeRequested(Fl_Widget*, void* window)
{
    // FLTK also calls the window's callback for Escape; only a real close
    // request from the window manager ends the server.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    static_cast<LocalGUI*>(window)->windowClosing();
}

}  // namespace

LocalGUI::LocalGUI(int sport, LocalCAM& lc, ProcessExit exitProcess)
    : Fl_Window(Orvo::appwidth, 299), controller_(lc), exitProcess_(std::move(exitProcess)), bcloseHandler_(*this),
      lnaHandler_(*this), txaHandler_(*this)
{
    FittedLabel::useHelveticaByName();
    bclose = new Fl_Button(0, 0, 0, 0);
    bclose->copy_label("Close Connection");
    bclose->labelfont(FL_HELVETICA);
    bclose->labelsize(Orvo::fontheight);
    bclose->color(graycol);
    seriallabel = makeLabel("Serial Port Configuration");
    ipfieldlabel = makeLabel("TCP/IP Info/Lookup");
    txlabel = makeLabel("Data From Net/To COM");
    rxlabel = makeLabel("Data From COM/To Net");
    portlabel = makeLabel("Socket Port");
    statuslabel = makeLabel("Status/Results");
    ipfield = makeField<Fl_Input>(true);
    txfield = makeField<Fl_Input>(true);
    rxfield = makeField<Fl_Output>(false);
    portfield = makeField<Fl_Output>(false);
    portfield->value("3001");
    statusfield = makeField<Fl_Output>(false);
    serialfield = makeField<Fl_Output>(false);
    {
        // The password row is part of the window's make-up but never shown.
        Fl_Group* const building = Fl_Group::current();
        Fl_Group::current(nullptr);
        passwordlabel.reset(makeLabel("Password"));
        passwordfield.reset(makeField<Fl_Input>(true));
        Fl_Group::current(building);
    }

    componentheight = 24;
    componentwidth = 60;
    portfield->value(std::to_string(sport).c_str());
    copy_label(("Orvo Server - Port " + std::to_string(sport)).c_str());
    labelfont(FL_HELVETICA);
    labelsize(Orvo::fontheight);
    color(graycol);
    labelcolor(blackcol);

    // Offsets within the client area: no insets there.
    const int y0 = 0;
    const int x0 = 5;
    const int w = componentwidth;
    const int x1 = x0 + w;
    const int x3 = x1 + 2 * w;
    const int h = componentheight;
    const int v = h + 5;
    const int fieldWidth = 5 * w + 10;
    int y = y0;
    auto place = [this, h](Fl_Widget* widget, int x, int y, int width) {
        add(widget);  // placement order is the Tab order
        widget->resize(x, y, width, h);
    };
    place(seriallabel, x0, y, 300);
    y += h;
    place(serialfield, x0 + 5, y, fieldWidth);
    y += v;
    place(txlabel, x0, y, 150);
    y += h;
    txfield->when(FL_WHEN_ENTER_KEY_ALWAYS);
    txfield->callback(transmitEntered, &txaHandler_);
    place(txfield, x0 + 5, y, fieldWidth);
    y += v;
    place(rxlabel, x0, y, 150);
    y += h;
    place(rxfield, x0 + 5, y, fieldWidth);
    y += v;
    place(ipfieldlabel, x0, y, 120);
    y += h;
    ipfield->when(FL_WHEN_ENTER_KEY_ALWAYS);
    ipfield->callback(lookupEntered, &lnaHandler_);
    place(ipfield, x0 + 5, y, fieldWidth);
    y += v;
    place(portlabel, x0, y, 70);
    place(portfield, x1 + 25, y, w - 10);
    bclose->callback(pressed, &bcloseHandler_);
    place(bclose, x3, y, 2 * w);
    y += v;
    place(statuslabel, x0, y, 100);
    y += h;
    place(statusfield, x0 + 5, y, fieldWidth);

    callback(closeRequested, this);
    size(Orvo::appwidth, y + h + 10);
    end();
    show();
}

LocalGUI::~LocalGUI() = default;

void LocalGUI::replaceText(Fl_Input_* field, std::string text)
{
    updates_.post(field, [field, text = std::move(text)] { field->value(text.c_str()); });
}

void LocalGUI::ShowIP(const std::optional<InetAddress>& a) { replaceText(ipfield, InetAddressText(a)); }
void LocalGUI::ShowStatus(const std::string& a) { replaceText(statusfield, a); }
void LocalGUI::ShowTX(const std::string& a) { replaceText(txfield, a); }
void LocalGUI::ShowRX(const std::string& a) { replaceText(rxfield, a); }
void LocalGUI::HoldUpdates() { updates_.hold(); }
void LocalGUI::ResumeUpdates() { updates_.resume(); }
void LocalGUI::ShowSerial(const std::string& a) { replaceText(serialfield, a); }

void LocalGUI::Delay(int t) { std::this_thread::sleep_for(std::chrono::milliseconds(t)); }

void LocalGUI::Bclose::actionPerformed()
{
    if (!window_.controller().currentSession()) {
        window_.ShowStatus("No Connection to Close");
        return;
    }
    window_.ShowStatus("Attempting to close connection.");
    Fl::flush();  // the operator sees the text before the pause
    Delay(2000);
    if (std::shared_ptr<ClientSession> session = window_.controller().currentSession()) session->Close();
}

void LocalGUI::LNA::actionPerformed() { window_.controller().CommandB4(window_.ipfield->value()); }

void LocalGUI::TXA::actionPerformed()
{
    const std::string s = window_.txfield->value();
    if (s.size() > 2 && s.compare(0, 2, "0x") == 0) {
        const std::string sercom = s.substr(2);
        window_.ShowStatus("TXD = " + sercom);
        if (sercom.size() > maxHexDigits) {
            window_.ShowStatus("Hex command too long (max 32 digits)");
            return;
        }
        const Bytes sc = Orvo::S2BS(sercom);
        window_.controller().sent = sercom;
        window_.controller().CommandB0(sc);
    } else {
        window_.ShowStatus("TXD = " + s);
        window_.controller().CommandB1(s);
    }
}

void LocalGUI::windowClosing()
{
    if (std::shared_ptr<ClientSession> session = controller_.currentSession()) session->Close();
    exitProcess_(0);
}
