#pragma once
// The status window's stand-in for the server's core: every Show call goes
// into a ViewLog, under the field it replaces. Any thread.
#include <memory>
#include <optional>
#include <string>

#include "server/LocalCAM.h"
#include "server/SerOutPort.h"
#include "server/StatusView.h"
#include "tests/support/ViewLog.h"

class RecordingStatusView : public StatusView {
public:
    explicit RecordingStatusView(std::shared_ptr<ViewLog> log) : log_(std::move(log)) {}
    void ShowStatus(const std::string& a) override { log_->add("status", a); }
    void ShowTX(const std::string& a) override { log_->add("tx", a); }
    void ShowRX(const std::string& a) override { log_->add("rx", a); }
    void ShowSerial(const std::string& a) override { log_->add("serial", a); }
    void ShowIP(const std::optional<InetAddress>& a) override { log_->add("ip", InetAddressText(a)); }

private:
    std::shared_ptr<ViewLog> log_;
};

// A view factory for the controller that records into log.
LocalCAM::ViewFactory recordingViewFactory(const std::shared_ptr<ViewLog>& log);

// What a controller under test is given: a recording view, testHost for
// look-ups, and openPort for its serial port.
LocalCAM::Dependencies recordingDependencies(const std::shared_ptr<ViewLog>& log,
                                             SerOutPort::PortFactory openPort = SerOutPort::OpenLocalPort);

// A host look-up that needs no name service: "nowhere" is unknown, every
// other name (this host's, "", as "testhost") is at 192.0.2.7, an address
// reserved for documentation that nothing ever sends to.
std::optional<InetAddress> testHost(const std::string& name);
