#pragma once
// The client's one window: transmit, receive, host, port and status fields
// and "Close Connection". Keys and clicks become calls on the controller;
// the controller and the receiver write into it through KesView.
//
// Threads: built, shown and used on the FLTK event thread (after
// Fl::lock()); ShowStatus() and RXShow() also from the receiver, whose
// updates reach the fields through one ordered queue.
#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <string>

#include "common/ui/FittedLabel.h"
#include "client/Kestrin.h"
#include "client/KesView.h"
#include "common/ui/UiUpdateQueue.h"

class KesCAM;

class KesGUI : public Fl_Window, public KesView {
public:
    static const Fl_Color blackcol;  // foreground
    static const Fl_Color backcol;   // background, light grey
    static constexpr int GUIwidth = Kestrin::w;
    // The height the layout needs (its rows from the top inset of 5, plus
    // 12 below the last): the window opens Kestrin::h high and takes this.
    static constexpr int GUIheight = 272;
    // The running controller, for code that is handed none; the window's
    // own handlers act through the controller it was built with.
    static KesCAM* kescam();

    // Builds, lays out and shows the window; sport is shown in the port field.
    KesGUI(int sport, KesCAM& rc);

    void ShowStatus(const std::string& a) override;
    void RXShow(const std::string& a) override;
    std::string HostText() const override;
    std::string PortText() const override;

    // Sends "KILL" and closes the connection, pausing around the close so
    // the server's answer can arrive first.
    void CloseConnection();
    void COM(const std::string& s);

    // What closing the window does after CloseConnection(); ends the process
    // with status 0 unless replaced (tests replace it).
    void SetExitAction(std::function<void()> action) { exitAction_ = std::move(action); }

    FittedLabel* prodlabel;
    FittedLabel* txlabel;
    FittedLabel* rxlabel;
    FittedLabel* netlabel;
    FittedLabel* passwordlabel;
    FittedLabel* portlabel;
    FittedLabel* statuslabel;
    Fl_Button* bclose;
    Fl_Input* txfield;
    Fl_Output* rxfield;
    Fl_Input* passwordfield;
    Fl_Output* portfield;
    Fl_Output* statusfield;

private:
    // Enter in the transmit field: shows and sends its text.
    struct TXA {
        KesGUI& window;
        void actionPerformed();
    };
    // Enter in the host field: connects, unless a socket is already held.
    struct BLogin {
        KesGUI& window;
        void actionPerformed();
    };
    // "Close Connection".
    struct BClose {
        KesGUI& window;
        void actionPerformed();
    };
    template <typename Listener>
    static void Dispatch(Fl_Widget*, void* listener) {
        static_cast<Listener*>(listener)->actionPerformed();
    }
    // The user asked to close the window.
    static void WindowClosing(Fl_Widget* window, void*);

    void Pause(int ms);
    // A label, a read-only field or an editable field, in the window's font
    // and colours.
    FittedLabel* MakeLabel(int x, int y, int w, int h, const char* text);
    template <typename Field>
    Field* MakeField(int x, int y, int w, int h);

    KesCAM& controller_;
    const int componentheight = 24;
    const int componentwidth = 60;
    int y = 0;
    TXA txa_{*this};
    BLogin blogin_{*this};
    BClose bclose_{*this};
    std::function<void()> exitAction_;
    UiUpdateQueue updates_;
};
