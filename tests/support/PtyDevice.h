#pragma once
// A serial device on a pseudo-terminal: the port under test opens path(), the
// device is the master end. Two ways to play it:
//  - by hand (PtyDevice()): nothing reads the device's end until the test
//    calls receive(), so what the port writes can fill the terminal; the test
//    holds only the master, so the terminal hangs up when the port is gone
//    and the master closes;
//  - scripted (PtyDevice(responder)): a thread of its own reads everything
//    (received()) and answers with what the responder returns. The test also
//    holds the terminal's own end, in raw mode, so the device lives on while
//    ports close and open again, and its answers are never echoed back to it.
// Either way send() writes as the device and vanish() pulls it. One test
// thread calls it; the scripted device's queries may come from any thread.
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/UniqueFd.h"

class PtyDevice {
public:
    // Sees the input not consumed yet (and may consume it); returns the bytes
    // to answer with, nothing for no answer.
    using Responder = std::function<std::string(std::string& pending)>;

    // Answers a line (ended by LF or CR) starting "AT" with "OK" CR LF,
    // other complete lines with nothing.
    static Responder modem();
    // Answers every complete line with replyFor(line).
    static Responder lines(std::function<std::string(const std::string&)> replyFor);
    // Answers every byte with itself, at once.
    static Responder echo();

    PtyDevice();
    // Answers replyDelay after the input that called for the answer came.
    explicit PtyDevice(Responder responder, std::chrono::milliseconds replyDelay = std::chrono::milliseconds(0));
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& path() const { return path_; }
    // The device is pulled: the master end closes and the terminal hangs up.
    void vanish();
    void send(const std::string& bytes);
    // The terminal's settings as the port left them.
    termios settings() const;

    // By hand: what the port wrote, once at least count bytes came or the
    // time ran out.
    std::string receive(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Scripted: everything the port wrote so far.
    std::string received();
    // Scripted: waits until at least n bytes have come in all.
    bool waitReceived(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Scripted: waits until the device has answered n times in all.
    bool waitReplied(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void open();
    void serve();
    void stopServing();

    UniqueFd master_;
    UniqueFd slave_;  // scripted only
    std::string path_;
    Responder responder_;
    std::chrono::milliseconds replyDelay_{0};
    UniqueFd stopRead_, stopWrite_;  // the serving thread ends when stopWrite_ is written to
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    size_t replies_ = 0;
};
