#include <gtest/gtest.h>

#include "common/HexCodec.h"

using HexCodec::BS2S;
using HexCodec::C2B;
using HexCodec::S2BS;

TEST(HexCodec, BytesToTextUsesTwoUpperCaseDigitsPerByte) {
    const Bytes bytes{0x00, 0x7F, 0x80, 0xFF};
    EXPECT_EQ(BS2S(bytes, 4), "007F80FF");
    EXPECT_EQ(BS2S(bytes, 2), "007F");
    EXPECT_EQ(BS2S(bytes, 0), "");
    EXPECT_EQ(BS2S(bytes, -3), "");
}

TEST(HexCodec, BytesToTextNeverReadsPastTheArray) {
    const Bytes bytes{0xAB};
    EXPECT_EQ(BS2S(bytes, 5), "AB");
    EXPECT_EQ(BS2S(nullptr, 5), "");
}

TEST(HexCodec, TextToBytesTakesCompletePairsInEitherCase) {
    EXPECT_EQ(S2BS("0d0A"), (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(S2BS("ff"), (Bytes{0xFF}));
    EXPECT_EQ(S2BS("123"), (Bytes{0x12}));
    EXPECT_EQ(S2BS("1"), Bytes{});
}

TEST(HexCodec, NonDigitsCountAsZero) {
    EXPECT_EQ(S2BS("1G"), (Bytes{0x10}));
    EXPECT_EQ(S2BS("zz"), (Bytes{0x00}));
    EXPECT_EQ(S2BS(" 1"), (Bytes{0x01}));
    EXPECT_EQ(C2B('g'), 0);
    EXPECT_EQ(C2B(' '), 0);
    EXPECT_EQ(C2B('x'), 0);
    EXPECT_EQ(C2B('\xFF'), 0);
    EXPECT_EQ(C2B('9'), 9);
    EXPECT_EQ(C2B('a'), 10);
    EXPECT_EQ(C2B('F'), 15);
}

TEST(HexCodec, UnusableLengthsGiveTheOneZeroByteFallback) {
    EXPECT_EQ(S2BS(""), HexCodec::bsdefault());
    EXPECT_EQ(S2BS(std::string(33, 'A')), HexCodec::bsdefault());
    EXPECT_EQ(HexCodec::bsdefault(), (Bytes{0}));
}

TEST(HexCodec, LongTextsConvertEveryCompletePair) {
    const std::string thirty = "000102030405060708090A0B0C0D0E";
    Bytes expected;
    for (unsigned char b = 0; b < 15; ++b) expected.push_back(b);
    EXPECT_EQ(S2BS(thirty), expected);
    EXPECT_EQ(S2BS(thirty + "F"), expected);
    // All 32 digits count: the 16th byte is converted, not left zero.
    expected.push_back(0xFE);
    EXPECT_EQ(S2BS(thirty + "FE"), expected);
}

TEST(HexCodec, RoundTripKeepsEveryByteValue) {
    for (int start = 0; start < 256; start += 16) {
        Bytes bytes;
        for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<unsigned char>(start + i));
        EXPECT_EQ(S2BS(BS2S(bytes, 16)), bytes) << "from " << start;
    }
}
