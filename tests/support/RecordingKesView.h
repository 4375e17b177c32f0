#pragma once
// The client window's stand-in for the client's core: status and receive
// texts go into a ViewLog ("status", "rx"), and the host and port fields
// answer what the test set. Show calls from any thread.
#include <memory>
#include <string>
#include <utility>

#include "client/KesView.h"
#include "tests/support/ViewLog.h"

class RecordingKesView : public KesView {
public:
    RecordingKesView(std::shared_ptr<ViewLog> log, std::string host, std::string port)
        : log_(std::move(log)), host_(std::move(host)), port_(std::move(port)) {}

    void ShowStatus(const std::string& a) override { log_->add("status", a); }
    void RXShow(const std::string& a) override { log_->add("rx", a); }
    std::string HostText() const override { return host_; }
    std::string PortText() const override { return port_; }

    // Event thread, like a person typing into the port field.
    void setPort(std::string port) { port_ = std::move(port); }

private:
    std::shared_ptr<ViewLog> log_;
    std::string host_;
    std::string port_;
};
