#include "device/ReplyMatching.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct MaskCase {
    int requestCode;
    std::uint16_t mask;
};

class ReplyCodeMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(ReplyCodeMaskTest, MaskFollowsTheTopNibble) {
    EXPECT_EQ(ReplyCodeMask(GetParam().requestCode), GetParam().mask) << std::hex << GetParam().requestCode;
}

INSTANTIATE_TEST_SUITE_P(
    AllNibbles, ReplyCodeMaskTest,
    ::testing::Values(MaskCase{0x0636, 0xF000}, MaskCase{0x1000, 0xF000}, MaskCase{0x2abc, 0xF000},
                      MaskCase{0x3100, 0xF600}, MaskCase{0x4F00, 0xF100}, MaskCase{0x5000, 0xF700},
                      MaskCase{0x6400, 0xF700}, MaskCase{0x7000, 0xF600}, MaskCase{0x8095, 0xF5FF},
                      MaskCase{0x9000, 0xF000}, MaskCase{0xA000, 0xF400}, MaskCase{0xB100, 0xF700},
                      MaskCase{0xB200, 0xF7F0}, MaskCase{0xB370, 0xF7F0}, MaskCase{0xB400, 0xF700},
                      MaskCase{0xC000, 0xF000}, MaskCase{0xD000, 0xF000}, MaskCase{0xE000, 0xF000},
                      MaskCase{0xF00E, 0xFFFF}));

bool accepts(int request, int reply) {
    const auto mask = ReplyCodeMask(request);
    return (reply & mask) == (request & mask);
}

TEST(ReplyCodeMaskTest, FirmwareQueryAcceptsOnlyCodesWithBit10Clear) {
    for (int reply : {0xA000, 0xA0FF, 0xA1FF, 0xA3FF, 0xA800, 0xABFF}) {
        EXPECT_TRUE(accepts(0xA000, reply)) << std::hex << reply;
    }
    for (int reply : {0xA400, 0xA7FF, 0xAC00, 0xB000, 0x2000}) {
        EXPECT_FALSE(accepts(0xA000, reply)) << std::hex << reply;
    }
}

TEST(ReplyCodeMaskTest, B3RequestsIgnoreOnlyTheLowFourBits) {
    EXPECT_TRUE(accepts(0xB370, 0xB37F));
    EXPECT_TRUE(accepts(0xB370, 0xB371));
    EXPECT_FALSE(accepts(0xB370, 0xB360));  // bit 4 differs
    EXPECT_FALSE(accepts(0xB370, 0xB350));
}

TEST(ReplyCodeMaskTest, SwitchReadAcceptsTheOnBit) {
    // Bit 0x200 of a switch read's reply says whether the switch is on.
    EXPECT_TRUE(accepts(0x8095, 0x8295));
    EXPECT_FALSE(accepts(0x8095, 0x8094));
}

TEST(ReplyEchoTest, ParameterFramesMustRepeatTheirKeyBytes) {
    const std::vector<std::uint8_t> read{0xF0, 0x0E, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> reply = read;
    EXPECT_TRUE(ReplyEchoMatches(0xF00E, read, reply));
    reply[3] = 0x06;
    EXPECT_FALSE(ReplyEchoMatches(0xF00E, read, reply));
    reply = read;
    reply[4] = 0x08;
    EXPECT_FALSE(ReplyEchoMatches(0xF00E, read, reply));

    const std::vector<std::uint8_t> op6{0xF0, 0x06, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
    reply = op6;
    reply[7] = 0x35;
    EXPECT_FALSE(ReplyEchoMatches(0xF006, op6, reply));
    EXPECT_FALSE(ReplyEchoMatches(0xF016, op6, reply));
    reply[7] = 0x34;
    reply[6] = 0x00;
    EXPECT_FALSE(ReplyEchoMatches(0xF015, op6, reply));
    EXPECT_TRUE(ReplyEchoMatches(0xF007, op6, reply));  // only byte 7 counts

    const std::vector<std::uint8_t> op0{0xF0, 0x00, 0x05, 0, 0, 0, 0, 0};
    reply = op0;
    reply[2] = 0x04;
    EXPECT_FALSE(ReplyEchoMatches(0xF000, op0, reply));
    EXPECT_TRUE(ReplyEchoMatches(0xF002, op0, reply));  // no echo rule
}

TEST(ReplyEchoTest, AShortReplyCannotRepeatWhatItLacks) {
    const std::vector<std::uint8_t> request{0xF0, 0x0C, 0x00, 0x03, 0x04, 0x00, 0x00, 0x00};
    const std::vector<std::uint8_t> reply{0xF0, 0x0C, 0x00};
    EXPECT_FALSE(ReplyEchoMatches(0xF00C, request, reply));
}

struct AddressCase {
    bool hub;
    int target;
    int responding;
    bool unit99;
    std::uint8_t fr;
    std::uint8_t to;
};

class AddressBytesTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressBytesTest, FirstMatchingRowDecides) {
    const auto& c = GetParam();
    const auto bytes = ChooseAddressBytes(c.target, c.responding, c.hub, c.unit99);
    EXPECT_EQ(bytes.fr, c.fr);
    EXPECT_EQ(bytes.to, c.to);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressBytesTest,
    ::testing::Values(
        AddressCase{true, 0, 3, false, 0x00, 0x00}, AddressCase{true, 100, 0, false, 0x01, 0x05},
        AddressCase{true, 16, 0, false, 0x01, 0x05}, AddressCase{true, 2, 0, false, 0x01, 0x25},
        AddressCase{false, 100, 2, false, 0x24, 0x05}, AddressCase{false, 99, 1, true, 0x14, 0x07},
        // Unit 99 without the flag is addressed like any other unit (99*16+5 on 8 bits).
        AddressCase{false, 99, 1, false, 0x14, 0x35}, AddressCase{false, 1, 1, false, 0x00, 0x00},
        AddressCase{false, 0, 0, false, 0x00, 0x00}, AddressCase{false, 3, 1, false, 0x14, 0x35}));

}  // namespace
