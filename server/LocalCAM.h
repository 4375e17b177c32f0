#pragma once
// The bridge controller: ties the serial line adapter, the status window, the
// listening socket and the client sessions together, and owns them all. It
// runs the serial exchanges, one at a time, and is the host every session
// reaches the bridge through (SessionHost); the sessions themselves belong to
// the session registry, the retries to the housekeeper. It lives until the
// program ends, or until Shutdown() in tests.
//
// Threads: the constructor, CommandB4 and the window's exchanges run on the
// window's event thread; client commands run on the session threads. Serial
// exchanges are mutually exclusive (one at a time, whole); no lock is held
// while the view is called, so the view may wait for its own toolkit lock.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Bytes.h"
#include "server/AllowList.h"
#include "server/Housekeeper.h"
#include "server/HostLookup.h"
#include "server/Protocols.h"
#include "server/SerOutPort.h"
#include "server/SerialDevice.h"
#include "server/SerialLine.h"
#include "server/SessionHost.h"
#include "server/SessionRegistry.h"
#include "server/StatusView.h"

class ClientSession;
class SocketAddress;
class TcpListener;

class LocalCAM : public SessionHost {
public:
    // Builds the status view, given the TCP port shown in it and the
    // controller the view's handlers act through.
    using ViewFactory = std::function<std::unique_ptr<StatusView>(int socketport, LocalCAM& controller)>;
    using ThreadStarter = SessionRegistry::ThreadStarter;
    static std::thread StartThread(std::function<void()> body);

    // What the controller is built with besides its settings: the status
    // view, the serial port, the name service, threads and the protocol. The
    // defaults are the real ones; tests hand in their own.
    struct Dependencies {
        ViewFactory makeView;
        HostLookup lookup = LookupHost;
        SerOutPort::PortFactory openPort = SerOutPort::OpenLocalPort;
        ThreadStarter startThread = StartThread;
        // Empty: the line protocol.
        SessionFactory makeSession;
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
        // An answer ends as soon as it ends with these bytes (CR LF, say);
        // empty: no such end.
        Bytes answerEnd;
        // The name of the protocol the sessions speak, for the status text
        // that tells the port ("... at Port 3001 (raw)"); the line protocol
        // is not named.
        std::string protocol = "line";
    };

    // In this order: opens the serial port, makes the view, shows the serial
    // configuration line (or "Serial Port <cpname> Could Not Open"), shows
    // this host's address, opens the listening socket (socketport 0 asks for
    // a free port, see listeningPort()) and starts the first session thread.
    // Failures are shown in the view, never thrown.
    LocalCAM(const SerialLine& line, int socketport, Dependencies dependencies, Options options);
    LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
             const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies,
             Options options);
    LocalCAM(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
             const std::string& parity, const std::string& handshake, int dtr, Dependencies dependencies);
    // Shuts down (see Shutdown()) and releases the serial port.
    ~LocalCAM() override;
    LocalCAM(const LocalCAM&) = delete;
    LocalCAM& operator=(const LocalCAM&) = delete;

    // The current session of the running controller (the one made last,
    // while it exists), or empty. For code that is handed no controller;
    // the controller's own users ask it: currentSession().
    static std::shared_ptr<ClientSession> connectthread();
    static LocalCAM* running();

    // The current session (waiting for a client or serving one), or empty.
    // Any thread; the result stays valid while held.
    std::shared_ptr<ClientSession> currentSession();

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

    // SessionHost: what the sessions reach the bridge through.
    std::optional<AcceptedClient> AcceptClient(const std::function<void(int ms)>& pause) override;
    void SessionBegins(bool untilQuiet) override;
    void Exchange(const Bytes& command, ClientSession& asker, HeldUpdates& held) override;
    void Exchange(const std::string& command, ClientSession& asker, HeldUpdates& held) override;
    void SessionEnds(const ClientSession& session) override;
    bool ShowUnlessSuperseded(const ClientSession& session, const std::string& text) override;
    void ShowAccepted(const std::string& peer) override;
    StatusView& view() override { return *localgui_; }
    std::chrono::seconds idleTimeout() const override { return options_.idleTimeout; }
    DeviceStream& device() override { return *device_; }
    void LogExchange(const std::string& line) override;
    void Log(const std::string& line) override { log_(line); }
    bool ClientWaiting() override;

private:
    bool newerSessionConnected(const ClientSession& session);
    // report: a failure is shown with its reason; the retries of a listen
    // address that is not there yet are silent.
    bool OpenServerSocket(int port, bool report = true);
    // The TCP port is open: warns when the allow list can let nobody in on
    // it, and starts the first session.
    void ServeOn();
    // One exchange; asker is the session whose client gets the answer (none
    // for an operator's exchange with nobody connected).
    template <typename Command>
    void exchange(const Command& command, ClientSession* asker, HeldUpdates& held);
    // The answer of the exchange just made: shown, then sent to asker.
    void ShowAndSendResult(const std::string& s, const std::string& deviceChange, ClientSession* asker);
    // Whether a client at peer may connect (nothing: its address is unknown).
    bool Admits(const std::optional<SocketAddress>& peer) const;
    // One exchange's log line: who asked (a client's address, or the
    // operator), the command, the answer and how long it took.
    void LogExchange(const ClientSession* asker, const std::string& command, const std::string& answer,
                     double milliseconds, bool endedAtDelimiter);
    using SessionHost::LogExchange;
    // The housekeeper's chores: one attempt to open the port that did not
    // open, and one to listen on the address that was not there.
    void reopenPort();
    void relisten();
    std::shared_ptr<TcpListener> listener();

    // The controller made last, while it exists: what connectthread() reads.
    static std::atomic<LocalCAM*> running_;

    std::unique_ptr<StatusView> localgui_;
    // The serial device, with its exchanges and streams.
    std::unique_ptr<SerialDevice> device_;
    HostLookup lookup_;
    std::function<void(const std::string&)> log_;
    std::function<void(const std::string&)> clientLog_;
    const int socketport_;
    const Options options_;
    std::string serstring_;  // the serial configuration line

    // The port did not open and is to be tried again (options_.reopenEveryMs).
    std::atomic<bool> portAbsent_{false};
    // The listen address is not this host's yet and is tried again
    // (options_.relistenEveryMs).
    std::atomic<bool> listenPending_{false};
    // A session the system had no thread for is to be started again.
    std::atomic<bool> sessionWanted_{false};

    // The listening socket, which sessions accept on from their own threads.
    std::mutex listenerMutex_;
    std::shared_ptr<TcpListener> listeningSocket_;
    std::atomic<bool> stopping_{false};
    // Orders what sessions show of their start and end (ShowAccepted,
    // ShowUnlessSuperseded).
    std::mutex sessionStatusMutex_;

    // Made with the controller; the registry is stopped (its threads
    // joined) before anything it uses goes.
    std::unique_ptr<SessionRegistry> registry_;
    Housekeeper housekeeper_;
};
