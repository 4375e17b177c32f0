#include "server/Orvo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "server/ClientSocket.h"
#include "common/Console.h"
#include "server/LocalCAM.h"
#include "server/LogView.h"
#include "server/ServiceLog.h"
#include "server/SystemdNotify.h"

namespace {
// A port that is not there at start (a USB adapter plugged in later, a
// device powered up after the bridge) is tried again this often.
constexpr int kHeadlessReopenMs = 2000;
}  // namespace

void Orvo::OutLine(const std::string& s) { WriteConsoleLine(s); }

Orvo::Orvo(BridgeSettings settings) : settings_(std::move(settings)) {}

Orvo::~Orvo() = default;

LocalCAM::Options Orvo::ControllerOptions() const {
    LocalCAM::Options options;
    options.listenAddress = settings_.listen;
    options.allow = settings_.allow;
    options.idleTimeoutSeconds = settings_.idleTimeoutSeconds;
    options.logExchanges = settings_.logExchanges;
    options.answerWaitMs = settings_.answerWaitMs;
    options.answerGapMs = settings_.answerGapMs;
    return options;
}

void Orvo::EndProcess(int status)
{
    {
        std::lock_guard<std::mutex> lock(controllerMutex_);
        if (controller_) controller_->ReleaseSerialPort();
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

void Orvo::EndOnSignal(const char* name)
{
    NotifySystemd("STOPPING=1");
    {
        std::lock_guard<std::mutex> lock(controllerMutex_);
        if (controller_) {
            if (std::shared_ptr<ClientSocket> session = controller_->currentSession()) {
                if (session->connected()) session->Close();
            }
            controller_->ShowStat(std::string("Server stopped by ") + name);
        }
    }
    EndProcess(0);
}

int Orvo::RunHeadless() {
    const ServiceLog log = ServiceLog::ForStandardError();
    {
        std::lock_guard<std::mutex> lock(controllerMutex_);
        LocalCAM::Dependencies dependencies;
        dependencies.makeView = [log](int, LocalCAM&) { return std::make_unique<LogView>(log); };
        dependencies.log = [log](const std::string& line) { log.Line(line); };
        LocalCAM::Options options = ControllerOptions();
        options.reopenEveryMs = kHeadlessReopenMs;
        const BridgeSettings& s = settings_;
        controller_ = std::make_unique<LocalCAM>(s.port, s.tcpPort, s.baud, s.dataBits, s.stopBits, s.parity,
                                                 s.handshake, s.dtr, std::move(dependencies), std::move(options));
        if (controller_->listeningPort() < 0) {
            // A service that cannot serve ends, so that its manager can try
            // again (the address may not be there yet at boot).
            controller_->ReleaseSerialPort();
            return 1;
        }
    }
    NotifySystemd("READY=1");
    // Everything happens on the controller's threads; a signal ends it.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}
