#include "client/Service.h"

#include <chrono>
#include <utility>

#include "client/KesCAM.h"

Service::Service(KesCAM& rc, std::shared_ptr<TcpSocket> socket, std::shared_ptr<SocketLineReader> reader)
    : scam(rc), cs(std::move(socket)), csin(std::move(reader)) {}

Service::~Service() { join(); }

void Service::start() {
    finished_ = false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        finished_ = true;
        throw;
    }
}

void Service::stopme() {
    {
        // Under the pause's lock, so a pause that is just starting sees it.
        std::lock_guard<std::mutex> lock(pauseMutex_);
        a = false;
    }
    pauseWake_.notify_all();
}

void Service::interrupt() {
    {
        std::lock_guard<std::mutex> lock(pauseMutex_);
        interrupted_ = true;
    }
    pauseWake_.notify_all();
    cs->shutdown();
}

void Service::join() {
    if (thread_.joinable()) thread_.join();
}

void Service::run() {
    ShowStat("Starting Input Thread");
    ShowStat("Checking Orvo server.  Please wait...");
    while (a) {
        LineReader::Result line{LineReader::Status::EndOfStream, {}};
        bool failed = false;
        try {
            line = csin->readLine();
            // Only the greeting has a deadline; after any line the server may
            // stay silent for as long as the device needs.
            cs->setReceiveTimeout(0);
        } catch (const NetError&) {
            failed = true;
        }
        if (failed) {
            // No greeting in time (the server is serving someone else), or
            // the connection broke: say so, leave it on screen a while, close.
            ShowStat(str33);
            Pause(scam.timing().busyPauseMs);
            ShowStat("Len=0: Forced to Close");
            break;
        }
        if (line.endOfStream()) {
            ShowStat("Received Null: Forced to Close");
            break;
        }
        if (line.text.empty()) {
            // The server sends an empty line when the device answered
            // nothing; the connection is fine.
            RXShow("");
            ShowStat("No data from device");
            continue;
        }
        if (line.text == str0) {
            // Only now may the user's lines go out: the server has taken this
            // connection. Set before the text, so whoever sees it may send.
            greeted_ = true;
            ShowStat(str00);
            continue;
        }
        if (line.text == str1) {
            ShowStat(str11);
            break;
        }
        RXShow(line.text);
    }
    a = false;
    Close();
    scam.ReceiverEnded(this);
    finished_ = true;
}

void Service::Close() {
    ShowStat("Ending input thread");
    a = false;
    scam.ServerClose(*this);
    ShowStat(scam.please);
}

void Service::ShowStat(const std::string& text) { scam.ShowStat(text); }

void Service::RXShow(const std::string& text) { scam.RXShow(text); }

void Service::Pause(int ms) {
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return interrupted_ || !a; });
}
