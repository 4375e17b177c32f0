#pragma once
// The bridge controller: ties the serial line adapter, the status window, the
// listening socket and the client session thread together, and owns them all.
// It lives until the program ends, or until Shutdown() in tests.
//
// Threads: the constructor, CommandB4 and the window's exchanges run on the
// window's event thread; client commands run on the session thread. Serial
// exchanges are mutually exclusive (one at a time, whole); no lock is held
// while the view is called, so the view may wait for its own toolkit lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/AllowList.h"
#include "common/Bytes.h"
#include "server/HostLookup.h"
#include "server/SerOutPort.h"
#include "server/StatusView.h"

class ClientSocket;
class SocketAddress;
class TcpListener;

class LocalCAM {
public:
    // Builds the status view, given the TCP port shown in it and the
    // controller the view's handlers act through.
    using ViewFactory = std::function<std::unique_ptr<StatusView>(int socketport, LocalCAM& controller)>;
    // Starts a thread running body; raises std::system_error when the
    // system has no thread to give (process or memory limits).
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;
    static std::thread StartThread(std::function<void()> body);

    // What the controller is built with besides its settings: the status
    // view, the serial port, the name service and threads. The defaults are
    // the real ones; tests hand in their own.
    struct Dependencies {
        ViewFactory makeView;
        HostLookup lookup = LookupHost;
        SerOutPort::PortFactory openPort = SerOutPort::OpenLocalPort;
        ThreadStarter startThread = StartThread;
        // Where the server's own log lines go (why the TCP port did not
        // open, a warning about the options); empty: standard error, with
        // timestamps unless the journal takes it.
        std::function<void(const std::string& line)> log;
        // Where the lines a client causes go (the exchange log); empty: the
        // log above, kept to a rate (LimitedLog).
        std::function<void(const std::string& line)> clientLog;
    };

    // How the bridge treats its clients and its device beyond what the
    // setup window sets. The defaults keep the bridge as it always was.
    struct Options {
        std::string listenAddress;     // the one local address to listen on; empty: every one
        AllowList allow;               // who may connect; empty: everyone
        std::chrono::seconds idleTimeout{0};  // a client that sends nothing this long is closed; 0: never
        bool logExchanges = false;     // one log line per exchange
        int reopenEveryMs = 0;         // a port that did not open is tried again this often; 0: never
        // A listen address that is not this host's yet is tried again this
        // often; 0: never.
        int relistenEveryMs = 0;
        int answerWaitMs = SerOutPort::kAnswerWaitMs;  // the most an answer is waited for
        // An answer ends when the device is this quiet after its last byte;
        // 0: the whole wait. Never less than one character at the bit rate.
        int answerGapMs = 0;
    };

    // In this order: opens the serial port, makes the view, shows the serial
    // configuration line (or "Serial Port <cpname> Could Not Open"), shows
    // this host's address, opens the listening socket (socketport 0 asks for
    // a free port, see listeningPort()) and starts the first session thread.
    // Failures are shown in the view, never thrown.
    LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
             const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies,
             Options options);
    LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
             const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies);
    // Shuts down (see Shutdown()) and releases the serial port.
    ~LocalCAM();
    LocalCAM(const LocalCAM&) = delete;
    LocalCAM& operator=(const LocalCAM&) = delete;

    // The current session thread of the running controller (the one made
    // last, while it exists), or empty. For code that is handed no
    // controller; the controller's own users ask it: currentSession().
    static std::shared_ptr<ClientSocket> connectthread();
    static LocalCAM* running();

    // The current session thread (waiting for a client or serving one), or
    // empty. Any thread; the result stays valid while held.
    std::shared_ptr<ClientSocket> currentSession();

    // The status view made by the constructor.
    StatusView& localgui() { return *localgui_; }

    // The status view's status field.
    void ShowStat(const std::string& a);

    // One serial exchange with bytes as they are / with text and a line feed,
    // started by the operator; the answer goes to the status view and, as
    // one hex line, to the client that is connected now, if any (not to one
    // that connects while the exchange runs). Any thread.
    void CommandB0(const Bytes& bytestring);
    void CommandB1(const std::string& command);

    // Looks up a host name ("" = this host) and shows the result in the
    // address field, or "Unknown Host Can't Get IP" and an empty address.
    void CommandB4(const std::string& s);
    // Starts a session thread when none exists and the listening socket is
    // open; otherwise shows "Client socket is already in use". When the
    // system gives no thread: "Can't start client session", and another
    // try every second until one starts.
    void CommandB5();
    // Closes the current client's connection, or shows "No Connection to Close".
    void CommandB6();

    static void OutLine(const std::string& s);  // console, one line

    // The port the listening socket is bound to, or -1 when it is not open.
    int listeningPort();
    // Whether the serial port opened (the adapter holds a port).
    bool serialOpen() const;
    // Whether the listen address was not this host's and is being tried
    // again (Options::relistenEveryMs).
    bool awaitingListenAddress() const { return listenPending_; }

    // Ends the server's network side: no new session starts, the listening
    // socket and any client connection are shut down, every session thread
    // is joined. The destructor then releases the serial port. Idempotent;
    // not from a session thread.
    void Shutdown();
    // Closes the serial port now, once any exchange in progress has ended,
    // giving back its lock and exclusive use: the last step of every way
    // out of the program. Later exchanges fail as with a port that never
    // opened. Any thread.
    void ReleaseSerialPort();
    // The same on the way out of the program: the exchange in progress is
    // abandoned (see SerOutPort::Abandon) and waited for at most this long;
    // false when it did not end in time and the port stays open (the
    // process's end closes it).
    bool ReleaseSerialPortWithin(std::chrono::milliseconds most);
    // The program is ending: no session starts any more, also not the one a
    // closing session would start. Any thread.
    void StopServing();

    // Hex text of the operator's last hex transmission; set by the status
    // window on its event thread, read by nothing here.
    std::string sent;

private:
    friend class ClientSocket;

    // report: a failure is shown with its reason; the retries of a listen
    // address that is not there yet are silent.
    bool OpenServerSocket(int port, bool report = true);
    // The TCP port is open: warns when the allow list can let nobody in on
    // it, and starts the first session.
    void ServeOn();
    // One attempt to listen on the address that was not there.
    void relisten();
    // One exchange. held keeps the calling session's window updates back
    // while the command goes to the line and while the answer goes to the
    // client (asker; none for an operator's exchange with nobody connected),
    // and lets them through while the device answers.
    template <typename Command>
    void Exchange(const Command& command, ClientSocket* asker, HeldUpdates& held);
    // The answer of the exchange just made: shown, then sent to asker.
    void ShowAndSendResult(const std::string& s, const std::string& deviceChange, ClientSocket* asker);
    // A session's own commands, held from the reading of its line: the
    // answer goes to that session only.
    void CommandB0(const Bytes& bytestring, ClientSocket& asker, HeldUpdates& held);
    void CommandB1(const std::string& command, ClientSocket& asker, HeldUpdates& held);
    // A new client was accepted: what the device sent before now was meant
    // for nobody it could still reach, so it is dropped, not handed to this
    // client as its first answer.
    void SessionBegins();
    // Whether a client at peer may connect (nothing: its address is unknown).
    bool Admits(const std::optional<SocketAddress>& peer) const;
    const Options& options() const { return options_; }
    // One exchange's log line: who asked (a client's address, or the
    // operator), the command, the answer and how long it took.
    void LogExchange(const ClientSocket* asker, const std::string& command, const std::string& answer,
                     double milliseconds);
    bool stopping() const { return stopping_; }
    void reapFinishedSessions();
    // The controller's own thread until Shutdown(): tries again, every
    // second, to start a session the system refused a thread for, and, when
    // asked to, to open a port that did not open.
    void housekeeping();
    // One attempt to open the port that did not open.
    void reopenPort();
    // For sessions: the listening socket they accept on, and the end of
    // their turn (the current session emptied only when it still is them).
    std::shared_ptr<TcpListener> listener();
    void clearConnectthread(const ClientSocket* session);

    // The controller made last, while it exists: what connectthread() reads.
    static std::atomic<LocalCAM*> running_;

    std::unique_ptr<StatusView> localgui_;
    std::unique_ptr<SerOutPort> sop;
    HostLookup lookup_;
    ThreadStarter startThread_;
    std::function<void(const std::string&)> log_;
    std::function<void(const std::string&)> clientLog_;
    int socketport_ = 0;
    const Options options_;
    std::string serstring_;  // the serial configuration line

    // The last answer; only its first sop->numBytes bytes count.
    Bytes SerIn;
    // One serial exchange at a time, from the window or the session thread.
    std::timed_mutex exchangeMutex_;
    // Whether the last exchange found the serial device gone.
    bool deviceLost_ = false;
    // The port is closed for good: the program is ending.
    bool portReleased_ = false;
    // The port did not open and is to be tried again (options_.reopenEveryMs).
    std::atomic<bool> portAbsent_{false};
    // The listen address is not this host's yet and is tried again
    // (options_.relistenEveryMs).
    std::atomic<bool> listenPending_{false};

    // The current session and the listening socket, which sessions read
    // from their own threads.
    std::mutex connectMutex_;
    std::shared_ptr<ClientSocket> currentSession_;
    std::shared_ptr<TcpListener> listeningSocket_;

    std::atomic<bool> stopping_{false};
    // Every session thread not yet joined, so Shutdown() can join them all.
    std::mutex sessionsMutex_;
    std::vector<std::shared_ptr<ClientSocket>> sessions_;

    // Started with the controller, while threads can still be had.
    std::thread housekeeper_;
    std::mutex retryMutex_;
    std::condition_variable retryWake_;
    bool retryWanted_ = false;
};
