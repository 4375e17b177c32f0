#pragma once
// The client's connection controller: owns the connection to the bridge
// server, sends the user's lines, closes the connection at the user's
// request, after the receiver has ended, or after a failed set-up, and
// reports every state as a status text (status field and console).
//
// Threads: the event thread calls everything except ServerClose(), which the
// receiver calls; ShowStat() and RXShow() come from both. The reader, writer,
// socket and current receiver are shared by the two threads, and each close
// step tests, closes and empties its field under one lock, so a stream is
// closed once and a field emptied by one thread is never closed through by
// the other. A receiver closes only the streams of its own connection.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/KesView.h"
#include "client/Kestrin.h"
#include "common/NetError.h"
#include "client/SocketStreams.h"
#include "common/TcpSocket.h"

class Service;

// The client's waits, in milliseconds. The defaults are the program's own;
// tests shorten them.
struct KesTiming {
    int greetingTimeoutMs = 10000;  // the server's first line must come within this
    int busyPauseMs = 3500;         // the busy text stays this long before the connection closes
    int failedOpenPauseMs = 2000;   // after a failed connection attempt, before the prompt
    int notConnectedPauseMs = 1000; // after a send without a connection
    int closePauseMs = 150;         // the window's pauses around a user's close
    int connectTimeoutMs = 10000;   // a host that does not answer is given up after this
};

class KesCAM {
public:
    using ConsoleSink = std::function<void(const std::string&)>;

    static constexpr int socketport = 3001;  // the server port the window shows

    // Event thread: builds the window through makeView and shows the prompt.
    explicit KesCAM(const KesViewFactory& makeView, KesTiming timing = {}, ConsoleSink console = Kestrin::OutLine);
    // Event thread: ends and joins every receiver still running.
    ~KesCAM();
    // The controller made last, while it exists.
    static KesCAM* running();
    KesCAM(const KesCAM&) = delete;
    KesCAM& operator=(const KesCAM&) = delete;

    // Any thread: the status field, then one console line, as one step, so
    // that field and console see the texts of both threads in the same order.
    void ShowStat(const std::string& a);
    // Any thread: the receive field only.
    void RXShow(const std::string& a);

    // Event thread: SERVPORT from the port field; false when its text is not
    // a decimal integer (SERVPORT is then unchanged).
    bool GetServerPort();
    // Event thread: one line to the server once it has greeted this
    // connection, otherwise "not connected" and a pause. A line that cannot
    // be sent ends the connection through FastClose().
    void SendCommand(const std::string& commandstring);
    // Event thread, only while HasSocket() is false: connects to the host
    // field's address at the port field's port and starts the receiver.
    void ConnectToServer();
    // Event thread: closes everything at the user's request and reports.
    void UserClose();
    // Receiver thread: closes reader, writer and socket after the receiver
    // has left its loop, if they are still those of closer's connection.
    void ServerClose(const Service& closer);
    // Event thread: closes everything and tells the receiver to stop. Raises
    // NetError when a close fails; the streams from that one on stay.
    void FastClose();
    // Pauses the calling thread.
    void Delay(int t);

    // Whether a socket is held: the window connects only when there is none.
    bool HasSocket() const;
    // Whether the current connection's receiver is still in its loop.
    bool HasService() const;

    // Event thread, when the program ends: ends every receiver at once (its
    // socket is shut down, its busy pause cut short) and joins it.
    void EndReceivers();

    const KesTiming& timing() const { return timing_; }
    int SERVPORT = socketport;  // the port of the last connection attempt
    const std::string please = "Please log in - type Host IP# above and hit 'Enter'";

private:
    friend class Service;
    // Receiver thread, as its last step: empties `service` if it is still the caller.
    void ReceiverEnded(const Service* ended);
    // Joins receivers that have finished; the current one keeps running.
    void ReapReceivers();
    // Whether a close by owner (nullptr: the event thread's) may close the
    // current streams; streamsMutex_ held.
    bool Owns(const Service* owner) const;
    // One test-close-empty step under the streams lock.
    template <typename Stream>
    void CloseAndEmpty(std::shared_ptr<Stream>& field, const Service* owner);
    void CloseStreams(const Service* owner);

    static std::atomic<KesCAM*> running_;

    const KesTiming timing_;
    const ConsoleSink console_;
    std::mutex statusMutex_;  // keeps field and console in one order

    mutable std::mutex streamsMutex_;  // guards csin, csout, cs and service
    std::shared_ptr<SocketLineReader> csin;
    std::shared_ptr<SocketLineWriter> csout;
    std::shared_ptr<TcpSocket> cs;
    Service* service = nullptr;  // the current receiver, owned by receivers_

    std::vector<std::unique_ptr<Service>> receivers_;  // event thread only
    std::shared_ptr<KesView> kesgui;                   // set once, before any receiver exists
};
