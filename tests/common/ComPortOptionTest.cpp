#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/ComPortOption.h"
#include "common/TelnetCodec.h"

namespace cpo = ComPortOption;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

// The payloads of the subnegotiations a stream carries.
struct Payloads : TelnetCodec::Handler {
    std::vector<std::string> list;
    void OnData(const char*, size_t) override {}
    void OnSubnegotiation(uint8_t option, const std::string& payload) override {
        if (option == cpo::OPTION) list.push_back(payload);
    }
};

}  // namespace

TEST(ComPortOption, BaudRateIsFourOctetsMostSignificantFirstAndParsesBack) {
    EXPECT_EQ(cpo::EncodeBaudRate(cpo::SET_BAUDRATE, 9600), bytes({1, 0, 0, 0x25, 0x80}));
    EXPECT_EQ(cpo::EncodeBaudRate(cpo::ServerCode(cpo::SET_BAUDRATE), 115200), bytes({101, 0, 1, 0xC2, 0}));
    // Through the telnet layer too: rates with an IAC octet in them.
    for (uint32_t baud : {0u, 50u, 9600u, 0x0001C2FFu, 0xFF00FF00u, 0xFFFFFFFFu}) {
        const std::string sb = TelnetCodec::EncodeSubnegotiation(cpo::OPTION, cpo::EncodeBaudRate(cpo::SET_BAUDRATE, baud));
        TelnetCodec codec({}, {});
        Payloads seen;
        codec.Receive(sb.data(), sb.size(), seen);
        ASSERT_EQ(seen.list.size(), 1u) << baud;
        const auto message = cpo::Parse(seen.list[0]);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(message->code, cpo::SET_BAUDRATE);
        const auto rate = cpo::ParseBaudRate(message->value);
        ASSERT_TRUE(rate.has_value()) << baud;
        EXPECT_EQ(rate->value, baud);
        EXPECT_FALSE(rate->legacy);
    }
}

TEST(ComPortOption, BaudRateOfOtherLengths) {
    // One octet, from clients of the protocol's draft: kept and marked.
    const auto legacy = cpo::ParseBaudRate(bytes({7}));
    ASSERT_TRUE(legacy.has_value());
    EXPECT_EQ(legacy->value, 7u);
    EXPECT_TRUE(legacy->legacy);
    // Padded answers: the first four octets count.
    const auto padded = cpo::ParseBaudRate(bytes({0, 0, 0x25, 0x80, 0, 0, 0, 0}));
    ASSERT_TRUE(padded.has_value());
    EXPECT_EQ(padded->value, 9600u);
    EXPECT_FALSE(padded->legacy);
    for (const std::string& bad : {std::string(), bytes({0, 1}), bytes({0, 0, 1})}) {
        EXPECT_FALSE(cpo::ParseBaudRate(bad).has_value()) << bad.size() << " octets";
    }
}

TEST(ComPortOption, MessagesKeepTheirCodeAndValue) {
    EXPECT_FALSE(cpo::Parse("").has_value());

    const auto request = cpo::Parse(cpo::EncodeByte(cpo::SET_CONTROL, cpo::SET_CONTROL_DTR_ON));
    ASSERT_TRUE(request.has_value());
    EXPECT_FALSE(request->FromServer());
    EXPECT_EQ(request->Command(), cpo::SET_CONTROL);
    EXPECT_EQ(cpo::ByteValue(request->value), cpo::SET_CONTROL_DTR_ON);

    const auto answer = cpo::Parse(cpo::EncodeByte(cpo::ServerCode(cpo::SET_PARITY), cpo::SET_PARITY_EVEN));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->FromServer());
    EXPECT_EQ(answer->code, 103);
    EXPECT_EQ(answer->Command(), cpo::SET_PARITY);
    EXPECT_EQ(cpo::ByteValue(answer->value), cpo::SET_PARITY_EVEN);

    const auto suspend = cpo::Parse(cpo::Encode(cpo::FLOWCONTROL_SUSPEND));
    ASSERT_TRUE(suspend.has_value());
    EXPECT_EQ(suspend->Command(), cpo::FLOWCONTROL_SUSPEND);
    EXPECT_FALSE(cpo::ByteValue(suspend->value).has_value());

    const std::string text = "orvo 1.0 /dev/ttyS0";
    const auto signature = cpo::Parse(cpo::Encode(cpo::ServerCode(cpo::SIGNATURE), text));
    ASSERT_TRUE(signature.has_value());
    EXPECT_EQ(signature->code, cpo::ServerCode(cpo::SIGNATURE));
    EXPECT_EQ(signature->value, text);
}
