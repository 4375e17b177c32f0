#include "server/ui/ConfigGUI.h"

#include <FL/Fl.H>

#include <initializer_list>
#include <string>
#include <vector>

#include "server/SettingsTable.h"

const Fl_Color ConfigGUI::whitecol = fl_rgb_color(255, 255, 255);
const Fl_Color ConfigGUI::blackcol = fl_rgb_color(0, 0, 0);
const Fl_Color ConfigGUI::graycol = fl_rgb_color(192, 192, 192);

namespace {

constexpr int cellWidth = ConfigGUI::wid / ConfigGUI::columns;
constexpr int cellHeight = ConfigGUI::hit / ConfigGUI::rows;

FittedLabel* makeLabel(const char* text)
{
    auto* label = new FittedLabel(0, 0, cellWidth, cellHeight, text);
    label->labelfont(FL_HELVETICA);
    label->labelsize(ConfigGUI::fontheight);
    label->labelcolor(ConfigGUI::blackcol);
    return label;
}

Fl_Choice* makeChoice(const std::vector<std::string>& items)
{
    auto* choice = new Fl_Choice(0, 0, cellWidth, cellHeight);
    choice->textfont(FL_HELVETICA);
    choice->textsize(ConfigGUI::fontheight);
    choice->labelsize(ConfigGUI::fontheight);
    choice->color(ConfigGUI::graycol);
    // Items are added one by one with add(): none of them contains the
    // menu path characters '/', '&' or '_', so each stays one plain entry.
    for (const std::string& item : items) choice->add(item.c_str());
    choice->value(0);
    return choice;
}

// Fills the grid row by row, left to right, like a two-column grid layout.
// Re-adding each widget also puts the window's children (and so the Tab
// order) in reading order.
class GridPlacer {
public:
    explicit GridPlacer(Fl_Group& window) : window_(window) {}
    void add(Fl_Widget* widget)
    {
        window_.add(widget);
        widget->resize((next_ % ConfigGUI::columns) * cellWidth, (next_ / ConfigGUI::columns) * cellHeight,
                       cellWidth, cellHeight);
        ++next_;
    }

private:
    Fl_Group& window_;
    int next_ = 0;
};

void buttonPressed(Fl_Widget* widget, void* handler)
{
    auto* button = static_cast<ActionButton*>(widget);
    static_cast<ConfigGUI::ButtonHandler*>(handler)->actionPerformed(button->actionCommand());
}

// A close request from the title bar (or Escape) is ignored: the dialog is
// left only through its two buttons.
void ignoreCloseRequest(Fl_Widget*, void*) {}

std::string selectedText(const Fl_Choice* choice)
{
    const char* text = choice->text();
    return text ? text : "";
}

int selectedNumber(const Fl_Choice* choice)
{
    // Every item of the numeric lists is a decimal number.
    return std::stoi(selectedText(choice));
}

}  // namespace

ActionButton::ActionButton(int x, int y, int w, int h, const char* caption) : Fl_Button(x, y, w, h)
{
    copy_label(caption);
    labelfont(FL_HELVETICA);
    labelsize(ConfigGUI::fontheight);
    labelcolor(ConfigGUI::blackcol);
    color(ConfigGUI::graycol);
}

namespace {
// Selects the item whose text is value; a value the list lacks is added.
// Texts are compared as they are: add() would read a device path's slashes
// as submenus, so a new item gets its text through replace().
void select(Fl_Choice* choice, const std::string& value)
{
    for (int i = 0; i < choice->size() - 1; ++i) {
        const char* text = choice->text(i);
        if (text != nullptr && value == text) {
            choice->value(i);
            return;
        }
    }
    const int added = choice->add("item");
    choice->replace(added, value.c_str());
    choice->value(added);
}
}  // namespace

ConfigGUI::ConfigGUI(ControllerFactory createController, ProcessExit exitProcess, const BridgeSettings& selected)
    : Fl_Window(wid, hit), handler_(*this), createController_(std::move(createController)),
      exitProcess_(std::move(exitProcess)), selected_(selected)
{
    FittedLabel::useHelveticaByName();
    blanklabel1 = makeLabel("   ");
    blanklabel2 = makeLabel("   ");
    serialportlabel = makeLabel("   Serial Port");
    socketportlabel = makeLabel("   Network Socket");
    baudratelabel = makeLabel("   Baud Rate");
    databitslabel = makeLabel("   Data Bits");
    stopbitslabel = makeLabel("   Stop Bits");
    paritylabel = makeLabel("   Parity");
    handshakelabel = makeLabel("   Handshake");
    dtrlabel = makeLabel("   Set DTR");
    buttonOK = new ActionButton(0, 0, cellWidth, cellHeight, "Start");
    buttonQuit = new ActionButton(0, 0, cellWidth, cellHeight, "Quit");

    label("Orvo Setup");
    labelfont(FL_HELVETICA);
    labelsize(fontheight);
    color(graycol);
    labelcolor(blackcol);
    callback(ignoreCloseRequest);

    using namespace SettingsTable;
    choiceSerialPort = makeChoice(SerialPorts());
    choiceSocketPort = makeChoice(TcpPorts());
    choiceBaudRate = makeChoice(Texts(BitRates()));
    choiceDataBits = makeChoice(Texts(DataBits()));
    choiceStopBits = makeChoice(Texts(StopBits()));
    choiceParity = makeChoice(Texts(Parities()));
    choiceHandShake = makeChoice(Texts(Handshakes()));
    choiceDTR = makeChoice(Dtr());

    GridPlacer grid(*this);
    for (Fl_Widget* widget : std::initializer_list<Fl_Widget*>{
             serialportlabel, choiceSerialPort, baudratelabel, choiceBaudRate, databitslabel, choiceDataBits,
             stopbitslabel, choiceStopBits, paritylabel, choiceParity, handshakelabel, choiceHandShake, dtrlabel,
             choiceDTR})
        grid.add(widget);
    select(choiceSerialPort, selected.port);
    select(choiceSocketPort, std::to_string(selected.tcpPort));
    select(choiceBaudRate, std::to_string(selected.baud));
    select(choiceDataBits, std::to_string(selected.dataBits));
    select(choiceStopBits, std::to_string(selected.stopBits));
    select(choiceParity, selected.parity);
    select(choiceHandShake, selected.handshake);
    select(choiceDTR, std::to_string(selected.dtr));
    for (Fl_Widget* widget :
         std::initializer_list<Fl_Widget*>{socketportlabel, choiceSocketPort, blanklabel1, blanklabel2})
        grid.add(widget);

    buttonQuit->setActionCommand("Quit");
    buttonOK->setActionCommand("OK");
    buttonOK->callback(buttonPressed, &handler_);
    buttonQuit->callback(buttonPressed, &handler_);
    grid.add(buttonQuit);
    grid.add(buttonOK);

    end();
    show();
}

void ConfigGUI::ButtonHandler::actionPerformed(const std::string& command)
{
    if (command == "Quit")
        window_.DoQuit();
    else if (command == "OK")
        window_.DoOK();
}

void ConfigGUI::DoOK()
{
    hide();
    BridgeSettings chosen = selected_;
    chosen.port = selectedText(choiceSerialPort);
    chosen.parity = selectedText(choiceParity);
    chosen.handshake = selectedText(choiceHandShake);
    chosen.tcpPort = selectedNumber(choiceSocketPort);
    chosen.baud = selectedNumber(choiceBaudRate);
    chosen.dataBits = selectedNumber(choiceDataBits);
    chosen.stopBits = selectedNumber(choiceStopBits);
    chosen.dtr = selectedNumber(choiceDTR);
    // Deleted once this callback has returned; the controller's window is
    // shown before then, so the event loop keeps running.
    Fl::delete_widget(this);
    ControllerFactory createController = std::move(createController_);
    createController(chosen);
}

void ConfigGUI::DoQuit()
{
    hide();
    exitProcess_(0);
}
