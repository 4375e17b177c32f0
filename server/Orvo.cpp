#include "server/Orvo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "server/ClientSession.h"
#include "common/Console.h"
#include "server/LocalCAM.h"
#include "server/LimitedLog.h"
#include "server/LogView.h"
#include "server/Protocols.h"
#include "server/ServiceLog.h"
#include "server/SystemdNotify.h"

namespace {
// A port that is not there at start (a USB adapter plugged in later, a
// device powered up after the bridge) is tried again this often.
constexpr int kHeadlessReopenMs = 2000;
// How long a way out waits for the serial exchange in progress, which it has
// told to end (a write the device holds may take longer), before it leaves
// the port to the end of the process.
constexpr int kExitWaitMs = 600;
}  // namespace

void Orvo::OutLine(const std::string& s) { WriteConsoleLine(s); }

Orvo::Orvo(BridgeSettings settings) : settings_(std::move(settings)) {}

Orvo::~Orvo() = default;

LocalCAM::Options Orvo::ControllerOptions(const BridgeSettings& settings) {
    LocalCAM::Options options;
    options.listenAddress = settings.listen;
    options.allow = settings.allow;
    options.idleTimeout = settings.idleTimeout;
    options.logExchanges = settings.logExchanges;
    options.answerWaitMs = settings.answerWaitMs;
    options.answerGapMs = settings.answerGapMs;
    options.answerEnd = settings.answerEnd;
    options.protocol = settings.protocol;
    return options;
}

SessionFactory Orvo::SessionsOf(const BridgeSettings& settings) {
    const Protocol* protocol = ProtocolNamed(settings.protocol);
    return protocol ? protocol->makeSession : LineProtocol;
}

void Orvo::EndProcess(int status)
{
    {
        std::lock_guard<std::mutex> lock(controllerMutex_);
        if (controller_) {
            controller_->StopServing();
            static_cast<void>(controller_->ReleaseSerialPortWithin(std::chrono::milliseconds(kExitWaitMs)));
        }
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
            // Before the client is closed, which would start the next session.
            controller_->StopServing();
            if (std::shared_ptr<ClientSession> session = controller_->currentSession()) {
                if (session->connected()) session->Close();
            }
            controller_->ShowStat(std::string("Server stopped by ") + name);
        }
    }
    EndProcess(0);
}

int Orvo::RunHeadless() {
    const ServiceLog log = ServiceLog::ForStandardError();
    // One budget for every line a client can cause: its commands and its
    // exchanges.
    const auto clientLines = std::make_shared<LimitedLog>([log](const std::string& line) { log.Line(line); });
    {
        std::lock_guard<std::mutex> lock(controllerMutex_);
        LocalCAM::Dependencies dependencies;
        dependencies.makeView = [log, clientLines](int, LocalCAM&) {
            return std::make_unique<LogView>(log, clientLines);
        };
        dependencies.log = [log](const std::string& line) { log.Line(line); };
        dependencies.clientLog = [clientLines](const std::string& line) { clientLines->Line(line); };
        dependencies.makeSession = SessionsOf(settings_);
        LocalCAM::Options options = ControllerOptions(settings_);
        options.reopenEveryMs = kHeadlessReopenMs;
        options.relistenEveryMs = kHeadlessReopenMs;
        controller_ = std::make_unique<LocalCAM>(settings_, settings_.tcpPort, std::move(dependencies),
                                                 std::move(options));
        if (controller_->listeningPort() < 0 && !controller_->awaitingListenAddress()) {
            // The TCP port is taken, or cannot be had at all: a service that
            // cannot serve ends, without having said it is ready, so that its
            // manager reports the failure and tries again later.
            controller_->ReleaseSerialPort();
            return 1;
        }
    }
    // It serves now, or waits for its listen address to appear as it waits
    // for a serial device that is not there yet.
    NotifySystemd("READY=1");
    // Everything happens on the controller's threads; a signal ends it.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}
