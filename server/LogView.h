#pragma once
// The status window of a server without windows: every status text and the
// serial configuration line become log lines, and the latest status is also
// the service's status for systemd. The data fields are not logged (the
// exchange log covers them). Any thread.
#include "server/ServiceLog.h"
#include "server/StatusView.h"

class LogView : public StatusView {
public:
    explicit LogView(ServiceLog log) : log_(log) {}

    void ShowStatus(const std::string& a) override;
    void ShowClientStatus(const std::string& a, const std::string& peer) override;
    void ShowTX(const std::string&) override {}
    void ShowRX(const std::string&) override {}
    void ShowSerial(const std::string& a) override;
    void ShowIP(const std::optional<InetAddress>& a) override;

private:
    const ServiceLog log_;
};
