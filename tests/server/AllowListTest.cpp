// Who may connect: networks parsed from their text and matched against the
// address a client connects from, IPv4, IPv6 and IPv4 clients of a
// dual-stack listener (IPv4-mapped IPv6).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "server/AllowList.h"

namespace {

SocketAddress peer(const std::string& text) {
    sockaddr_storage address{};
    if (::inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in&>(address).sin_addr) == 1) {
        address.ss_family = AF_INET;
    } else {
        EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &reinterpret_cast<sockaddr_in6&>(address).sin6_addr), 1) << text;
        address.ss_family = AF_INET6;
    }
    return SocketAddress(address);
}

AllowList parsed(const std::string& text) {
    std::string error;
    std::optional<AllowList> list = AllowList::parse(text, error);
    EXPECT_TRUE(list) << text << ": " << error;
    return list.value_or(AllowList());
}

}  // namespace

TEST(AllowList, NetworksLetInTheirOwnAddressesOnly) {
    EXPECT_TRUE(AllowList().allows(peer("203.0.113.9"))) << "no list: everyone";

    const AllowList list = parsed("127.0.0.0/8, 192.168.4.0/23,10.1.2.3,2001:db8::/32,::1");
    for (const char* in : {"127.0.0.1", "127.255.0.9", "192.168.4.1", "192.168.5.254", "10.1.2.3", "2001:db8::1",
                           "2001:db8:ffff::7", "::1", "::ffff:127.0.0.1", "::ffff:192.168.5.1"})
        EXPECT_TRUE(list.allows(peer(in))) << in;
    for (const char* out : {"128.0.0.1", "192.168.6.1", "192.168.3.255", "10.1.2.4", "2001:db9::1", "::2",
                            "::ffff:10.1.2.4", "::7f00:1"})
        EXPECT_FALSE(list.allows(peer(out))) << out;

    EXPECT_TRUE(parsed("0.0.0.0/0").allows(peer("198.51.100.1")));
    EXPECT_FALSE(parsed("0.0.0.0/0").allows(peer("2001:db8::1"))) << "an IPv4 network holds no IPv6 client";
}

TEST(AllowList, AnEntryThatIsNoNetworkIsNamedInTheError) {
    for (const char* bad : {"10.0.0.0/33", "::1/129", "10.0.0.1/", "10.0.0.0/8x", "1.2.3", "localhost", "",
                            "127.0.0.1,,::1", "10.0.0.0/-1"}) {
        std::string error;
        EXPECT_FALSE(AllowList::parse(bad, error)) << bad;
        EXPECT_NE(error.find("is not a network"), std::string::npos) << bad << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(AllowList::parse("127.0.0.1, 300.1.1.1", error));
    EXPECT_NE(error.find("\"300.1.1.1\""), std::string::npos) << error;
}

TEST(AllowList, AnIPv4MappedEntryMatchesTheIPv4NetworkItMaps) {
    const AllowList one = parsed("::ffff:127.0.0.1");
    EXPECT_TRUE(one.allows(peer("127.0.0.1")));
    EXPECT_FALSE(one.allows(peer("127.0.0.2")));
    EXPECT_FALSE(one.allows(peer("::1")));
    const AllowList all = parsed("::ffff:0:0/96");
    for (const char* in : {"127.0.0.1", "198.51.100.7", "::ffff:10.0.0.1"}) EXPECT_TRUE(all.allows(peer(in))) << in;
    for (const char* out : {"::1", "2001:db8::1", "::"}) EXPECT_FALSE(all.allows(peer(out))) << out;
    const AllowList subnet = parsed("::ffff:192.168.4.0/118");  // 192.168.4.0/22
    EXPECT_TRUE(subnet.allows(peer("192.168.7.255")));
    EXPECT_FALSE(subnet.allows(peer("192.168.8.0")));
    EXPECT_TRUE(parsed("::/0").allows(peer("203.0.113.9"))) << "every IPv6 address, mapped IPv4 ones too";
}

// Whether a list can let anybody in where only IPv4 clients (an IPv4 listen
// address), only IPv6 ones (an IPv6 one) or both (every interface) connect.
TEST(AllowList, KnowsWhetherAnyClientOfAListenersFamiliesCouldGetIn) {
    struct Case {
        const char* list;
        bool v4Only;
        bool v6Only;
    };
    for (const Case& c : {Case{"127.0.0.1", true, false}, Case{"::1", false, true}, Case{"::ffff:0:0/96", true, false},
                          Case{"::ffff:127.0.0.1", true, false}, Case{"::/0", true, true},
                          Case{"2001:db8::/32, 10.0.0.0/8", true, true}, Case{"::/1", true, true},
                          Case{"8000::/1", false, true}}) {
        const AllowList list = parsed(c.list);
        EXPECT_EQ(list.canAdmit(true, false), c.v4Only) << c.list;
        EXPECT_EQ(list.canAdmit(false, true), c.v6Only) << c.list;
        EXPECT_TRUE(list.canAdmit(true, true)) << c.list;
    }
    EXPECT_TRUE(AllowList().canAdmit(false, true)) << "no list: everyone";
}
