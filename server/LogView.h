#pragma once
// The status window of a server without windows: every status text and the
// serial configuration line become log lines, and the latest status is also
// the service's status for systemd. The data fields are not logged (the
// exchange log covers them). What a client sent is logged escaped, shortened
// and at a limited rate (clientLines), and never becomes the service's
// status. Any thread.
#include <memory>

#include "server/LimitedLog.h"
#include "server/ServiceLog.h"
#include "server/StatusView.h"

class LogView : public StatusView {
public:
    LogView(ServiceLog log, std::shared_ptr<LimitedLog> clientLines)
        : log_(log), clientLines_(std::move(clientLines)) {}

    void ShowStatus(const std::string& a) override;
    void ShowClientStatus(const std::string& a, const std::string& peer) override;
    void ShowClientCommand(const std::string& command, const std::string& peer) override;
    void ShowTX(const std::string&) override {}
    void ShowRX(const std::string&) override {}
    void ShowSerial(const std::string& a) override;
    void ShowIP(const std::optional<InetAddress>& a) override;

private:
    const ServiceLog log_;
    const std::shared_ptr<LimitedLog> clientLines_;
};
