// The controller's streams over a shared socket: closing from another thread,
// closing twice, and the descriptor's single owner.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <future>

#include "tests/client/LineServer.h"
#include "client/SocketStreams.h"

using namespace std::chrono_literals;

namespace {

struct Connected {
    LineServer server;
    std::shared_ptr<TcpSocket> client = std::make_shared<TcpSocket>(TcpSocket::connect("127.0.0.1", server.port()));
    ServerPeer peer{server.accept()};
};

TEST(SocketStreams, ClosingTheReaderEndsAReadWaitingInAnotherThreadAsEndOfStream) {
    Connected c;
    auto reader = std::make_shared<SocketLineReader>(c.client);
    auto read = std::async(std::launch::async, [&] { return reader->readLine().endOfStream(); });
    EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout);
    reader->close();
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(read.get());
}

TEST(SocketStreams, ClosingTheWriterIsTheEndOfStreamForTheServer) {
    Connected c;
    SocketLineWriter writer(c.client);
    writer.writeLine("KILL");
    writer.close();
    EXPECT_EQ(c.peer.readLine(), "KILL");
    EXPECT_EQ(c.peer.readLine(), std::nullopt);
}

TEST(SocketStreams, ASecondCloseIsAnError) {
    Connected c;
    SocketLineReader reader(c.client);
    SocketLineWriter writer(c.client);
    reader.close();
    writer.close();
    EXPECT_THROW(reader.close(), NetError);
    EXPECT_THROW(writer.close(), NetError);
}

TEST(SocketStreams, TheDescriptorStaysOpenWhileAStreamStillUsesIt) {
    Connected c;
    const int fd = c.client->fd();
    auto reader = std::make_shared<SocketLineReader>(c.client);
    c.client.reset();  // the controller lets go; the receiver still reads
    c.peer.send("4142");
    EXPECT_EQ(reader->readLine().text, "4142");
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    reader.reset();  // the last owner
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

}  // namespace
