#pragma once
// The real bridge controller, listening on a free loopback port, with its
// serial adapter wired to a FakeSerialPort. check() plays one client's byte
// stream as one connection and compares what happened with the protocol.
// One calling thread.
#include <memory>
#include <string>

class FakeSerialPort;
class LocalCAM;
class ViewLog;

class SessionHarness {
public:
    SessionHarness();
    ~SessionHarness();
    SessionHarness(const SessionHarness&) = delete;
    SessionHarness& operator=(const SessionHarness&) = delete;

    // Empty when everything matched; otherwise what differed.
    std::string check(const std::string& stream);
    // The controller's listening port.
    int port() const;

private:
    std::shared_ptr<FakeSerialPort> port_;
    std::shared_ptr<ViewLog> log_;
    std::unique_ptr<LocalCAM> cam_;
};
