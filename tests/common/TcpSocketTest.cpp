#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "common/AddrInfo.h"
#include "common/LineReader.h"
#include "common/LineWriter.h"
#include "common/SocketApi.h"
#include "common/TcpListener.h"

using namespace std::chrono_literals;

TEST(TcpSocket, PortZeroBindsAFreePortReachableOverIpv4AndIpv6) {
    TcpListener listener = TcpListener::listen(0);
    ASSERT_GT(listener.port(), 0);
    for (const char* host : {"127.0.0.1", "::1", "localhost"}) {
        auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
        TcpSocket client = TcpSocket::connect(host, listener.port());
        TcpSocket server = accepted.get();
        LineWriter(client, "\n").writeLine(std::string("hello from ") + host);
        LineReader reader(server);
        EXPECT_EQ(reader.readLine().text, std::string("hello from ") + host);
    }
}

TEST(TcpSocket, RestartedListenerCanBindTheSamePortAtOnce) {
    int port;
    {
        TcpListener first = TcpListener::listen(0);
        port = first.port();
        auto accepted = std::async(std::launch::async, [&] { return first.accept(); });
        TcpSocket client = TcpSocket::connect("127.0.0.1", port);
        TcpSocket server = accepted.get();
        // The server side closes first, leaving its end in TIME_WAIT.
    }
    EXPECT_NO_THROW(TcpListener::listen(port));
}

TEST(TcpSocket, SecondListenerOnABoundPortFails) {
    TcpListener first = TcpListener::listen(0);
    EXPECT_THROW(TcpListener::listen(first.port()), NetError);
}

TEST(TcpSocket, ShutdownFromAnotherThreadEndsABlockedAccept) {
    // What ends the accept moves with the listener, by construction and by
    // assignment.
    TcpListener made = TcpListener::listen(0);
    TcpListener source = TcpListener::listen(0);
    TcpListener movedInto(std::move(source));
    TcpListener assignedOver = TcpListener::listen(0);
    assignedOver = TcpListener::listen(0);
    for (TcpListener* listener : {&made, &movedInto, &assignedOver}) {
        auto accepted = std::async(std::launch::async, [&] {
            try {
                listener->accept();
                return false;
            } catch (const NetError&) {
                return true;
            }
        });
        EXPECT_EQ(accepted.wait_for(100ms), std::future_status::timeout);
        listener->shutdown();
        ASSERT_EQ(accepted.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(accepted.get());
    }
    // The one moved from has nothing left to accept on or to end.
    source.shutdown();
    EXPECT_THROW(source.accept(), NetError);
}

TEST(TcpSocket, ShutdownFromAnotherThreadEndsABlockedReceiveAsEndOfStream) {
    // Both ways of ending a read: the whole connection, or its reading side.
    for (void (TcpSocket::*end)() : {&TcpSocket::shutdown, &TcpSocket::shutdownRead}) {
        TcpListener listener = TcpListener::listen(0);
        auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
        TcpSocket client = TcpSocket::connect("127.0.0.1", listener.port());
        TcpSocket server = accepted.get();
        auto read = std::async(std::launch::async, [&] {
            LineReader reader(client);
            return reader.readLine().endOfStream();
        });
        EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout);
        (client.*end)();
        // Without a wake-up the peer's closing still ends the read, so the
        // test fails rather than hangs.
        if (read.wait_for(5s) != std::future_status::ready) server = TcpSocket();
        ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(read.get());
        EXPECT_TRUE(server.valid()) << "the shutdown did not end the blocked read";
    }
}

TEST(TcpSocket, ReceiveTimeoutIsReportedAsNetTimeout) {
    TcpListener listener = TcpListener::listen(0);
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    TcpSocket client = TcpSocket::connect("127.0.0.1", listener.port());
    TcpSocket server = accepted.get();
    // Both ends: a connected socket and an accepted one wait the same way.
    for (const auto& ends : {std::pair<TcpSocket*, TcpSocket*>{&client, &server}, {&server, &client}}) {
        TcpSocket* const waiting = ends.first;
        TcpSocket* const sending = ends.second;
        waiting->setReceiveTimeout(200);
        char buf[8];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(waiting->receive(buf, sizeof buf), NetTimeout);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms) << "the receive did not wait";
        // Lifting the time-out makes the socket wait again until data comes.
        waiting->setReceiveTimeout(0);
        auto read = std::async(std::launch::async, [&] { return LineReader(*waiting).readLine().text; });
        EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout);
        LineWriter(*sending).writeLine("late");
        EXPECT_EQ(read.get(), "late");
    }
    // A negative time is refused rather than taken as some other one.
    EXPECT_THROW(client.setReceiveTimeout(-1), NetError);
    EXPECT_THROW(client.setSendTimeout(-1), NetError);
}

TEST(TcpSocket, KeepAliveIsSwitchedOn) {
    TcpListener listener = TcpListener::listen(0);
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    TcpSocket client = TcpSocket::connect("127.0.0.1", listener.port());
    TcpSocket server = accepted.get();
    int on = 0;
    ASSERT_EQ(SocketApi::getOption(server.fd(), SOL_SOCKET, SO_KEEPALIVE, on), 0);
    EXPECT_EQ(on, 0);
    server.enableKeepAlive(60, 10, 5);
    ASSERT_EQ(SocketApi::getOption(server.fd(), SOL_SOCKET, SO_KEEPALIVE, on), 0);
    EXPECT_NE(on, 0);
}

TEST(TcpSocket, SendToAPeerThatStoppedReadingTimesOut) {
    TcpListener listener = TcpListener::listen(0);
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    TcpSocket client = TcpSocket::connect("127.0.0.1", listener.port());
    TcpSocket server = accepted.get();
    server.setSendTimeout(100);
    const std::string block(1 << 20, 'z');
    EXPECT_THROW(
        {
            for (int i = 0; i < 256; ++i) server.sendAll(block.data(), block.size());
        },
        NetTimeout);
}

TEST(TcpSocket, WritingToAResetPeerRaisesInsteadOfKillingTheProcess) {
    TcpListener listener = TcpListener::listen(0);
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    TcpSocket client = TcpSocket::connect("127.0.0.1", listener.port());
    TcpSocket server = accepted.get();
    client.setAbortiveClose();
    client = TcpSocket();
    LineWriter writer(server);
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i) writer.writeLine("still there?");
        },
        NetError);
}

TEST(TcpSocket, ConnectToAClosedPortOrUnknownHostFails) {
    int port;
    {
        port = TcpListener::listen(0).port();
    }
    EXPECT_THROW(TcpSocket::connect("127.0.0.1", port), NetError);
    EXPECT_THROW(TcpSocket::connect("no-such-host.invalid", port), NetError);
    // The message names the call and gives the system's own text for why.
    for (const char* host : {"127.0.0.1", "no-such-host.invalid"}) {
        try {
            TcpSocket::connect(host, port);
        } catch (const NetError& e) {
            const std::string message = e.what();
            const std::string call = (host[0] == '1' ? "connect " : "getaddrinfo ") + std::string(host);
            EXPECT_EQ(message.rfind(call, 0), 0u) << message;
            const std::string reason = message.substr(message.rfind(": ") + 2);
            EXPECT_GT(reason.size(), 5u) << message;
            EXPECT_NE(reason.rfind("error ", 0), 0u) << "no text for the code: " << message;
        }
    }
}

TEST(TcpSocket, MovesHandOverTheConnectionAndAssigningOverOneClosesIt) {
    TcpListener first = TcpListener::listen(0);
    const int port = first.port();
    TcpListener listener(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(first.port(), 0);
    ASSERT_EQ(listener.port(), port);

    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    TcpSocket connected = TcpSocket::connect("127.0.0.1", port);
    TcpSocket server = accepted.get();
    TcpSocket client(std::move(connected));
    EXPECT_FALSE(connected.valid());
    LineWriter(client).writeLine("still connected");
    LineReader reader(server);
    EXPECT_EQ(reader.readLine().text, "still connected");

    // The peer sees the end at once, not when some later owner goes.
    client = TcpSocket();
    EXPECT_TRUE(reader.readLine().endOfStream());

    // A listener assigned over another stops listening on the other's port.
    TcpListener other = TcpListener::listen(0);
    const int otherPort = other.port();
    other = std::move(listener);
    EXPECT_EQ(other.port(), port);
    EXPECT_THROW(TcpSocket::connect("127.0.0.1", otherPort), NetError);
    // It accepts the clients of the port it took over.
    auto next = std::async(std::launch::async, [&] { return other.accept(); });
    TcpSocket second = TcpSocket::connect("127.0.0.1", port);
    // Ends a wait that would otherwise hang the test.
    if (next.wait_for(5s) != std::future_status::ready) other.shutdown();
    ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
    TcpSocket secondServer = next.get();
    LineWriter(second).writeLine("after the assignment");
    EXPECT_EQ(LineReader(secondServer).readLine().text, "after the assignment");
}

TEST(SocketApi, ErrorTextIsTheSystemsOwnOnOneLineWithoutAFullStop) {
    const std::string refused = SocketApi::errorMessage(SocketApi::kConnectionRefused);
    EXPECT_NE(refused.rfind("error ", 0), 0u) << "no text for the code: " << refused;
    EXPECT_NE(refused, SocketApi::errorMessage(SocketApi::kTimedOut));
    // wine has no text for some codes: they read "error 10060".
    for (int err : {SocketApi::kConnectionRefused, SocketApi::kTimedOut, SocketApi::kAddressNotAvailable}) {
        const std::string text = SocketApi::errorMessage(err);
        // Windows adds the code: " (10061)".
        const std::string words = text.substr(0, text.rfind(" (" + std::to_string(err) + ")"));
        ASSERT_FALSE(words.empty()) << err;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        EXPECT_NE(words.back(), '.') << text;
        EXPECT_NE(words.back(), ' ') << text;
    }
}

TEST(AddrInfo, AFailedLookupLeavesNoEarlierListBehind) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    AddrInfoList list;
    ASSERT_EQ(lookupAddresses("127.0.0.1", "80", hints, list), 0);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->ai_family, AF_INET);
    EXPECT_NE(lookupAddresses("no-such-host.invalid", "80", hints, list), 0);
    EXPECT_FALSE(list);

    IfAddrsList interfaces;
    ASSERT_TRUE(listInterfaces(interfaces));
    bool loopback = false;
    for (const ifaddrs* i = interfaces.get(); i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == INADDR_LOOPBACK) {
            loopback = true;
        }
    }
    EXPECT_TRUE(loopback) << "127.0.0.1 is not among this host's interface addresses";
}
