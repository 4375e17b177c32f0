// pySerial's own test suite (test.py, test_advanced.py, test_high_load.py,
// test_readline.py, test_iolib.py, test_threaded.py), run against orvo with
// a loopback device (vdev --loopback), through pySerial's rfc2217:// and
// socket:// clients. Each file runs on its own, as pySerial's authors do.
//
// What is expected to fail is listed by name, each for a reason outside the
// bridge:
//  - pySerial's rfc2217:// client has no write time-out and no non-blocking
//    mode (against pySerial's own reference server on loop:// these fail
//    too);
//  - a pseudo-terminal has no modem lines, so RTS never reaches CTS and DTR
//    never reaches DSR;
//  - the socket:// client has no modem lines at all, counts at most one byte
//    waiting (in_waiting, which the loopback tests compare with a block's
//    length), and no write time-out either.
// Everything else must pass, and every listed failure must still fail (a
// test that starts to pass is a change to look at).
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/TcpListener.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;

namespace {

const std::string kPySerial = ORVO_PYSERIAL_DIR;
const std::string kPython = ORVO_PYTHON3;

struct Outcome {
    std::set<std::string> failed;  // Class.method of each FAIL and ERROR
    int ran = -1;
    std::string transcript;
};

// One of pySerial's test files against url, as its own command line runs it.
Outcome runTestFile(const std::string& file, const std::string& url) {
    const std::string command = "cd " + shellQuoted(kPySerial + "/test") + " && PYTHONPATH=" +
                                shellQuoted(kPySerial) + " exec " + shellQuoted(kPython) + " " + shellQuoted(file) +
                                " " + shellQuoted(url) + " 2>&1";
    ChildProcess python({"/bin/sh", "-c", command});
    Outcome outcome;
    // "FAIL: test1_RTS (__main__.Test0_DataWires.test1_RTS)"; Python before
    // 3.11 leaves the method out of the parentheses.
    const std::regex failure(R"(^(FAIL|ERROR): (\w+) \(__main__\.(\w+)(\.\w+)?\))");
    const std::regex ran(R"(^Ran (\d+) tests?)");
    while (std::optional<std::string> line = python.readLine(240s)) {
        outcome.transcript += *line + "\n";
        std::smatch m;
        if (std::regex_search(*line, m, failure)) outcome.failed.insert(m[3].str() + "." + m[2].str());
        if (std::regex_search(*line, m, ran)) outcome.ran = std::stoi(m[1].str());
    }
    python.wait(10s);
    return outcome;
}

// A TCP port nothing listens on now.
int freePort() { return TcpListener::listen(0, "127.0.0.1").port(); }

class PySerialSuite : public ::testing::Test {
protected:
    void SetUp() override {
        if (kPySerial.empty()) {
            GTEST_SKIP() << "pySerial's source archive was not found: set ORVO_PYSERIAL_SOURCE to "
                            "pyserial-3.5.orig.tar.gz (tools/install-deps fetches it with apt-get source)";
        }
        if (kPython.empty()) GTEST_SKIP() << "no python3";
    }
    void serve(const std::string& protocol) {
        modem = std::make_unique<VirtualModem>(std::vector<std::string>{"--loopback"});
        port = freePort();
        orvo = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec " + shellCommand({programPath("orvo"), "--headless", "--port", modem->path(), "--tcp-port",
                                    std::to_string(port), "--protocol", protocol}) +
                " 2>&1"});
        ASSERT_TRUE(orvo->waitForText("Awaiting client connection", 20s));
    }
    void expect(const std::string& url, const std::string& file, const std::set<std::string>& failing) {
        const Outcome outcome = runTestFile(file, url);
        EXPECT_GT(outcome.ran, 0) << file << " did not run:\n" << outcome.transcript;
        EXPECT_EQ(outcome.failed, failing) << file << " against " << url << ":\n" << outcome.transcript;
    }

    std::unique_ptr<VirtualModem> modem;  // vdev --loopback: every byte comes back
    std::unique_ptr<ChildProcess> orvo;
    int port = 0;
};

const std::vector<std::string> kPassingFiles = {"test_advanced.py", "test_high_load.py", "test_readline.py",
                                                "test_iolib.py", "test_threaded.py"};

}  // namespace

TEST_F(PySerialSuite, Rfc2217PassesAllButWhatThePeersOwnClientAndAPseudoTerminalLack) {
    serve("rfc2217");
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    expect(url, "test.py",
           {"Test_MoreTimeouts.test_WriteTimeout", "Test4_Nonblocking.test2_Loopback",
            "Test4_Nonblocking.test2_LoopbackTimeout", "Test0_DataWires.test1_RTS", "Test0_DataWires.test2_DTR"});
    for (const std::string& file : kPassingFiles) expect(url, file, {});
}

TEST_F(PySerialSuite, RawPassesAllThatApplyToASocket) {
    serve("raw");
    const std::string url = "socket://127.0.0.1:" + std::to_string(port);
    expect(url, "test.py",
           {"Test0_DataWires.test1_RTS", "Test0_DataWires.test2_DTR", "Test2_Forever.test2_Loopback",
            "Test3_Timeout.test2_Loopback", "Test4_Nonblocking.test2_Loopback", "Test_MoreTimeouts.test_WriteTimeout"});
    for (const std::string& file : kPassingFiles) expect(url, file, {});
}
