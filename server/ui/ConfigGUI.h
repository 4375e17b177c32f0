#pragma once
// The server's setup window: the operator picks the serial port, the TCP port
// and the line settings from fixed lists; "Start" hands them to the bridge
// controller, "Quit" ends the program. Event thread only.
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Window.H>

#include "server/BridgeSettings.h"
#include "common/ui/FittedLabel.h"
#include "server/ui/ProcessExit.h"

#include <functional>
#include <string>

// What "Start" makes of the selections: creates the bridge controller with
// the settings the window was opened with, the chosen serial line and TCP
// port in them.
using ControllerFactory = std::function<void(const BridgeSettings& chosen)>;

// A push button that carries the command text its handler acts on.
class ActionButton : public Fl_Button {
public:
    ActionButton(int x, int y, int w, int h, const char* caption);
    void setActionCommand(const std::string& command) { actionCommand_ = command; }
    const std::string& actionCommand() const { return actionCommand_; }

private:
    std::string actionCommand_;
};

class ConfigGUI : public Fl_Window {
public:
    static constexpr int wid = 250;
    static constexpr int hit = 260;
    static constexpr int fontheight = 15;
    static const Fl_Color whitecol;
    static const Fl_Color blackcol;
    static const Fl_Color graycol;
    static constexpr int rows = 10;
    static constexpr int columns = 2;

    // Builds and shows the window with the given choices selected (the
    // defaults: each list's first item, 9600 bit/s). A serial port that is a
    // device path joins the port list after COM8.
    ConfigGUI(ControllerFactory createController, ProcessExit exitProcess,
              const BridgeSettings& selected = BridgeSettings());

    // Closes the window and creates the controller from the selections.
    void DoOK();
    // Closes the window and ends the process with status 0.
    void DoQuit();

    // Registered on both buttons: "Quit" quits, "OK" starts, anything else
    // is ignored.
    class ButtonHandler {
    public:
        explicit ButtonHandler(ConfigGUI& window) : window_(window) {}
        void actionPerformed(const std::string& command);

    private:
        ConfigGUI& window_;
    };

    ButtonHandler& buttonHandler() { return handler_; }

    FittedLabel* blanklabel1;
    FittedLabel* blanklabel2;
    FittedLabel* serialportlabel;
    FittedLabel* socketportlabel;
    FittedLabel* baudratelabel;
    FittedLabel* databitslabel;
    FittedLabel* stopbitslabel;
    FittedLabel* paritylabel;
    FittedLabel* handshakelabel;
    FittedLabel* dtrlabel;
    ActionButton* buttonOK;
    ActionButton* buttonQuit;
    Fl_Choice* choiceSerialPort;
    Fl_Choice* choiceSocketPort;
    Fl_Choice* choiceBaudRate;
    Fl_Choice* choiceDataBits;
    Fl_Choice* choiceStopBits;
    Fl_Choice* choiceParity;
    Fl_Choice* choiceHandShake;
    Fl_Choice* choiceDTR;

private:
    ButtonHandler handler_;
    ControllerFactory createController_;
    ProcessExit exitProcess_;
    const BridgeSettings selected_;  // what the window opened with
};
