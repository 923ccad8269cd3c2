#include <gtest/gtest.h>

#include "CatalogueBench.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class ParameterAccess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bench.connect("brevik-kr600")); }

    // The parameter frame of a written message (the 9-byte report carries no address bytes).
    static Bytes Frame(const std::vector<std::uint8_t>& message) {
        return Bytes(message.begin(), message.begin() + 8);
    }

    CatalogueBench bench;
    CHIDProtocol& protocol = bench.protocol;
};

TEST_F(ParameterAccess, NothingIsSentBelowLevel13OrOnAReportTooShortForAFrame) {
    std::uint16_t word = 0;
    const auto before = bench.mark();
    protocol.m_protocolVersion = 12;
    EXPECT_EQ(protocol.GetParameter(0, 13, &word, 1), -1);
    EXPECT_EQ(protocol.SetParameter(0, 13, &word, 1), -1);
    EXPECT_EQ(protocol.SetParameterItem(0, 13, 0, 1), -1);
    EXPECT_EQ(protocol.GetParameterItem(0, 13, 0, word), -1);
    std::string text;
    EXPECT_EQ(protocol.GetParameterString(0, 1, text), -1);
    EXPECT_EQ(bench.mark(), before);

    protocol.m_protocolVersion = 22;
    protocol.m_writeDevice.caps.inputReportByteLength = 7;
    EXPECT_EQ(protocol.GetParameter(0, 13, &word, 1), -1);
    EXPECT_EQ(bench.mark(), before);
}

TEST_F(ParameterAccess, ReadsOneWordWithOneFrameAndSeveralWithIndexedFrames) {
    std::uint16_t words[2] = {0, 0};
    auto before = bench.mark();
    EXPECT_EQ(protocol.GetParameter(0, 13, words, 1), 0xF00D);
    EXPECT_EQ(words[0], 80);  // the unit's speaker delay
    auto messages = bench.messagesSince(before);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Frame(messages[0]), (Bytes{0xF0, 0x0D, 0, 0, 13, 0, 0, 0}));

    before = bench.mark();
    EXPECT_EQ(protocol.GetParameter(7, 3, words, 2), 0xF00F);
    EXPECT_EQ(words[1], 0x0010);
    messages = bench.messagesSince(before);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(Frame(messages[0]), (Bytes{0xF0, 0x0F, 0, 7, 3, 0, 0, 0}));
    EXPECT_EQ(Frame(messages[1]), (Bytes{0xF0, 0x0F, 0, 7, 3, 1, 0, 0}));
}

TEST_F(ParameterAccess, WritesSeveralWordsAfterAStartFrame) {
    const std::uint16_t words[3] = {0x0102, 0x0304, 0x0506};
    const auto before = bench.mark();
    EXPECT_EQ(protocol.SetParameter(4, 9, words, 3), 0xF00E);
    const auto messages = bench.messagesSince(before);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(Frame(messages[0]), (Bytes{0xF0, 0x0E, 3, 4, 9, 3, 0, 0}));
    EXPECT_EQ(Frame(messages[1]), (Bytes{0xF0, 0x0E, 0, 4, 9, 0, 0x01, 0x02}));
    EXPECT_EQ(Frame(messages[3]), (Bytes{0xF0, 0x0E, 0, 4, 9, 2, 0x05, 0x06}));
    EXPECT_EQ(bench.model().state().parameter(4, 9, 2), 0x0506);

    // One word goes as a single F0 0C frame; the speaker delay reaches the acoustic side.
    const std::uint16_t delay = 96;
    EXPECT_EQ(protocol.SetParameter(0, 13, &delay, 1), 0xF00C);
    EXPECT_EQ(bench.model().state().parameter(0, 13, 0), 96);
}

TEST_F(ParameterAccess, IndexedItemsCarryTheValueBits) {
    auto before = bench.mark();
    EXPECT_EQ(protocol.SetParameterItem(6, 13, 0, -1), 0xF00E);
    EXPECT_EQ(Frame(bench.messagesSince(before)[0]), (Bytes{0xF0, 0x0E, 0, 6, 13, 0, 0xFF, 0xFF}));
    std::uint16_t word = 0;
    EXPECT_EQ(protocol.GetParameterItem(6, 13, 0, word), 0xF00F);
    EXPECT_EQ(word, 0xFFFF);
}

TEST_F(ParameterAccess, RefusalsGiveParameterErrorsByTheirErrorNumber) {
    // Parameters (5, 1..6) are refused with 255, 254, 253, 252, 251 and 250.
    std::uint16_t word = 0x1234;
    const int expected[] = {-2, -3, -4, -5, -6, 0xF00D};
    for (std::uint8_t parameter = 1; parameter <= 6; ++parameter) {
        EXPECT_EQ(protocol.GetParameter(5, parameter, &word, 1), expected[parameter - 1]) << int{parameter};
    }
    EXPECT_EQ(word, 0x1234);  // nothing stored from a refused read
    EXPECT_EQ(protocol.GetParameterItem(5, 5, 0, word), -6);
    EXPECT_EQ(protocol.GetParameterItem(5, 6, 0, word), 0xF00F);
    EXPECT_EQ(protocol.SetParameter(5, 3, &word, 1), -4);
    // The indexed write returns the refused frame's reply code as it is.
    EXPECT_EQ(protocol.SetParameterItem(5, 1, 0, 7), 0xF00E);

    // A refused start frame stops a multi-word write before its word frames.
    const std::uint16_t words[2] = {1, 2};
    const auto before = bench.mark();
    EXPECT_EQ(protocol.SetParameter(5, 2, words, 2), -3);
    EXPECT_EQ(bench.mark() - before, 1u);
}

TEST_F(ParameterAccess, AReadThatStopsHalfWayKeepsTheWordsReadSoFar) {
    std::uint16_t words[2] = {0xAAAA, 0xAAAA};
    sim::SimFaults faults;
    faults.silentAfterRequests = 1;
    bench.unit->setFaults(faults);
    EXPECT_EQ(protocol.GetParameter(7, 3, words, 2), -1);
    EXPECT_EQ(words[0], 0x0000);
    EXPECT_EQ(words[1], 0xAAAA);
}

TEST_F(ParameterAccess, ParameterErrorsOfErrorBytes) {
    EXPECT_EQ(CHIDProtocol::ParameterErrorFromByte(255, 0xF00D), -2);
    EXPECT_EQ(CHIDProtocol::ParameterErrorFromByte(251, 0xF00D), -6);
    EXPECT_EQ(CHIDProtocol::ParameterErrorFromByte(250, 0xF00D), 0xF00D);
    EXPECT_EQ(CHIDProtocol::ParameterErrorFromByte(0, 0xF00F), 0xF00F);
}

}  // namespace
