// The byte streams over the scripted driver: what they ask of the port and
// how they wait.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "tests/serlib/FakeDriver.h"
#include "tests/support/Raises.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialPortLocal.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerOutputStream.h"

using namespace std::chrono_literals;
using Serlib::Bytes;
using Serlib::HostInfo;
using Serlib::IOError;
using Serlib::ScopedHostOverride;
using Serlib::SerialConfig;
using Serlib::SerialPortLocal;
using Serlib::SerInputStream;
using Serlib::SerOutputStream;

namespace {

class Streams : public ::testing::Test {
protected:
    Streams() {
        port = std::make_shared<SerialPortLocal>(std::make_shared<SerialConfig>("COM1"));
        fake.calls.clear();
    }

    ScopedHostOverride host_{HostInfo{"Linux", "amd64", "", ""}};
    FakeDriver& fake = FakeDriver::install();
    std::shared_ptr<SerialPortLocal> port;
};


}  // namespace

TEST_F(Streams, StreamsOnAClosedPortAreRefusedAndTouchNoTimeout) {
    port->close();
    fake.calls.clear();
    EXPECT_EQ(raisedText<IOError>([&] { SerInputStream in(port); }), "Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { SerOutputStream out(port); }), "Port not open");
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Streams, MakingTheStreamsSetsTheTimeouts) {
    fake.timeoutRx = 777;
    SerInputStream in(port);
    EXPECT_EQ(fake.timeoutRx, 0);
    SerOutputStream out(port);
    EXPECT_EQ(fake.timeoutTx, 2147483647);
}

TEST_F(Streams, WriteSendsTheLowByteAndRanges) {
    SerOutputStream out(port);
    out.write(0x141);
    out.write(Bytes{});
    out.write(Bytes{1, 2, 3});
    out.write(Bytes{10, 11, 12, 13}, 1, 2);
    EXPECT_EQ(fake.sent, (std::vector<uint8_t>{0x41, 1, 2, 3, 11, 12}));
    EXPECT_THROW(out.write(Bytes{1, 2}, 1, 2), std::out_of_range);
    EXPECT_THROW(out.write(Bytes{1, 2}, -1, 1), std::out_of_range);
    EXPECT_THROW(out.write(Bytes{1, 2}, 0, -1), std::out_of_range);
    EXPECT_EQ(fake.sent.size(), 6u);
    fake.acceptLimit = 1;
    EXPECT_EQ(raisedText<IOError>([&] { out.write(Bytes{7, 7}); }), "PutData1: Sent only 1 of 2 bytes");
}

TEST_F(Streams, FlushWaitsUntilTheDriverHasNothingLeft) {
    SerOutputStream out(port);
    fake.txBufCountResult = 0;
    out.flush();
    EXPECT_EQ(fake.count("SerTxBufCount"), 1);
    fake.txBufCountResult = -1;
    EXPECT_EQ(raisedText<IOError>([&] { out.flush(); }), "txBufCount failed");
}

TEST_F(Streams, ReadKeepsPollingUntilAByteArrives) {
    SerInputStream in(port);
    fake.deliver("\xFE", 150ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(in.read(), 0xFE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    // Polls, not a spin: about one driver call per 20 ms.
    EXPECT_GE(fake.count("SerGetByte"), 2);
    EXPECT_LT(fake.count("SerGetByte"), 100);
}

TEST_F(Streams, ReadBytesReturnsWhateverCountArrivedFirst) {
    SerInputStream in(port);
    fake.deliver("ab", 60ms);
    Bytes buf(16);
    EXPECT_EQ(in.read(buf), 2);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(buf[1], 'b');
    Bytes none;
    EXPECT_EQ(in.read(none), 0);  // nothing can fill an empty array; no hang
}

TEST_F(Streams, ReadIntoRangeChecksFirstAndAbsentArrayStillReads) {
    SerInputStream in(port);
    fake.deliver("xyz");
    Bytes small(3, '-');
    EXPECT_THROW(in.read(&small, 2, 2), std::out_of_range);
    EXPECT_EQ(fake.readyCount(), 3);
    EXPECT_EQ(in.read(nullptr, 0, 1), 0);
    EXPECT_EQ(fake.readyCount(), 2);
    EXPECT_EQ(in.read(&small, 1, 2), 2);
    EXPECT_EQ(std::string(small.begin(), small.end()), "-yz");
}

TEST_F(Streams, ReadErrorsReachTheCaller) {
    SerInputStream in(port);
    fake.failGetData = true;
    fake.getDataResult = -1;
    Bytes buf(4);
    EXPECT_EQ(raisedText<IOError>([&] { in.read(buf); }), "getData: failed");
}

TEST_F(Streams, AvailableAndCloseGoToThePort) {
    SerInputStream in(port);
    fake.deliver("1234");
    EXPECT_EQ(in.available(), 4);
    in.close();
    EXPECT_EQ(port->getPortNum(), -1);
    EXPECT_EQ(raisedText<IOError>([&] { SerInputStream again(port); }), "Port not open");
    SerOutputStream out(std::make_shared<SerialPortLocal>(std::make_shared<SerialConfig>("COM1")));
    out.close();  // the output stream leaves its port alone
    EXPECT_EQ(fake.count("SerClosePort"), 1);
}
