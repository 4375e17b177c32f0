#pragma once
// The running server's status window: the serial configuration, the last data
// each way, the address look-up, the listening port and the last status text.
// The operator sends data to the serial line (Enter in the transmit field),
// looks up host names (Enter in the address field) and closes the client's
// connection ("Close Connection"); closing the window ends the server.
//
// Threads: built and used on the FLTK event thread. The Show operations may
// be called from any thread: a call from another thread is queued in order
// and applied by the event thread; it never waits for the FLTK lock.
#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <memory>
#include <string>

#include "common/ui/FittedLabel.h"
#include "server/ui/ProcessExit.h"
#include "server/StatusView.h"
#include "common/ui/UiUpdateQueue.h"

class LocalCAM;

class LocalGUI : public Fl_Window, public StatusView {
public:
    static const Fl_Color blackcol;
    static const Fl_Color graycol;
    // The running controller, for code that is handed none; the window's
    // own handlers act through the controller it was built with.
    static LocalCAM* scam();

    // Builds and shows the window for a server listening on sport.
    LocalGUI(int sport, LocalCAM& lc, ProcessExit exitProcess);
    ~LocalGUI() override;

    void ShowIP(const std::optional<InetAddress>& a) override;
    void ShowStatus(const std::string& a) override;
    void ShowTX(const std::string& a) override;
    void ShowRX(const std::string& a) override;
    void ShowSerial(const std::string& a) override;
    void HoldUpdates() override;
    void ResumeUpdates() override;

    // Sleeps the calling thread for t ms.
    static void Delay(int t);

    // "Close Connection": closes the current client's connection.
    class Bclose {
    public:
        explicit Bclose(LocalGUI& window) : window_(window) {}
        void actionPerformed();

    private:
        LocalGUI& window_;
    };
    // Enter in the address field: looks up the typed host name.
    class LNA {
    public:
        explicit LNA(LocalGUI& window) : window_(window) {}
        void actionPerformed();

    private:
        LocalGUI& window_;
    };
    // Enter in the transmit field: sends the typed text, or "0x" hex bytes.
    class TXA {
    public:
        explicit TXA(LocalGUI& window) : window_(window) {}
        void actionPerformed();

    private:
        LocalGUI& window_;
    };
    // A close request from the title bar: closes the client's connection,
    // then ends the process with status 0.
    void windowClosing();
    // The controller this window was built with.
    LocalCAM& controller() { return controller_; }

    std::string devtype;
    int socketport = 0;
    Fl_Button* bclose;
    FittedLabel* seriallabel;
    FittedLabel* ipfieldlabel;
    std::unique_ptr<FittedLabel> passwordlabel;  // made but never placed
    FittedLabel* txlabel;
    FittedLabel* rxlabel;
    FittedLabel* portlabel;
    FittedLabel* statuslabel;
    Fl_Input* ipfield;
    std::unique_ptr<Fl_Input> passwordfield;  // made but never placed
    Fl_Input* txfield;
    Fl_Output* rxfield;
    Fl_Output* portfield;
    Fl_Output* statusfield;
    Fl_Output* serialfield;
    int componentheight = 24;
    int componentwidth = 60;

private:
    // Replaces a field's text now on the event thread, or queued from another.
    void replaceText(Fl_Input_* field, std::string text);

    LocalCAM& controller_;
    ProcessExit exitProcess_;
    Bclose bcloseHandler_;
    LNA lnaHandler_;
    TXA txaHandler_;
    UiUpdateQueue updates_;
};
