#include "tests/soak/SoakSupport.h"

#if defined(__SANITIZE_ADDRESS__)
// Memory is what some of these tests measure: freed blocks that the address
// sanitizer holds back to catch late uses (256 MB of them by default) would
// count as the server's own.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

LocalCAM::Options instantAnswers() {
    LocalCAM::Options options;
    options.answerWaitMs = 0;
    return options;
}

std::unique_ptr<LocalCAM> startController(const std::string& serialPort, const std::shared_ptr<ViewLog>& log,
                                          SerOutPort::PortFactory openPort, LocalCAM::Options options) {
    return std::make_unique<LocalCAM>(serialPort, 0, 115200, 8, 1, "None", "None", 0,
                                      recordingDependencies(log, std::move(openPort)), std::move(options));
}

void expectFreshClientServed(int port, const std::string& answerToAT) {
    LineClient fresh(port);
    EXPECT_EQ(fresh.readLineOrEnd(), "OK");
    fresh.send("AT");
    EXPECT_EQ(fresh.readLineOrEnd(), answerToAT);
    fresh.send("KILL");
    EXPECT_EQ(fresh.readLineOrEnd(), "CLOSE");
}
