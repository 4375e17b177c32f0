#pragma once
// A client controller wired to a recording window and console, and a line
// server on a free port for it to connect to.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/KesCAM.h"
#include "tests/client/LineServer.h"
#include "tests/support/RecordingKesView.h"
#include "tests/support/ViewLog.h"

// Short waits, so tests are quick; the greeting limit stays generous for a
// loaded machine unless a test is about it.
inline KesTiming fastTiming() {
    KesTiming t;
    t.greetingTimeoutMs = 10000;
    t.busyPauseMs = 300;
    t.failedOpenPauseMs = 300;
    t.notConnectedPauseMs = 300;
    t.closePauseMs = 50;
    return t;
}

class ClientFixture : public ::testing::Test {
protected:
    void start(KesTiming timing = fastTiming()) {
        cam = std::make_unique<KesCAM>(
            [this](int, KesCAM&) {
                view = std::make_shared<RecordingKesView>(log, "127.0.0.1", std::to_string(server.port()));
                return view;
            },
            timing, [this](const std::string& line) { log->add("console", line); });
    }

    void TearDown() override {
        cam.reset();  // ends and joins the receivers
        // The console saw every status text, once, in the field's order.
        EXPECT_EQ(log->texts("console"), log->texts("status"));
    }

    // Connects and takes the connection on the server side.
    std::unique_ptr<ServerPeer> connect() {
        cam->ConnectToServer();
        return std::make_unique<ServerPeer>(server.accept());
    }

    std::unique_ptr<ServerPeer> connectAndGreet(int nth = 1) {
        auto peer = connect();
        peer->send("OK");
        EXPECT_TRUE(log->waitForCount("status", "Connected OK", nth));
        return peer;
    }

    std::vector<std::string> statuses() const { return log->texts("status"); }

    const std::string please = "Please log in - type Host IP# above and hit 'Enter'";
    std::shared_ptr<ViewLog> log = std::make_shared<ViewLog>();
    LineServer server;
    std::shared_ptr<RecordingKesView> view;
    std::unique_ptr<KesCAM> cam;
};
