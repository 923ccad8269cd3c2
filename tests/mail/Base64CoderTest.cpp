#include "mail/Base64Coder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Exposes the buffer sizes to check the growth rule.
class InspectableCoder : public Base64Coder {
public:
    using Base64Coder::AllocEncoded;
    using Base64Coder::m_encodedCapacity;
};

std::string encode(Base64Coder& coder, const std::string& text) {
    coder.EncodeString(text.c_str());
    return coder.GetEncoded() == nullptr ? "<null>" : coder.GetEncoded();
}

std::string decodedPrefix(Base64Coder& coder, const std::string& text, std::size_t length) {
    coder.DecodeString(text.c_str());
    return std::string(reinterpret_cast<const char*>(coder.GetDecoded()), length);
}

TEST(Base64CoderTest, EncodesWithPaddingByTheCountOfTrailingBytes) {
    Base64Coder coder;
    EXPECT_EQ(encode(coder, "M"), "TQ==");
    EXPECT_EQ(encode(coder, "Ma"), "TWE=");
    EXPECT_EQ(encode(coder, "Man"), "TWFu");
    EXPECT_EQ(encode(coder, "support@example.org"), "c3VwcG9ydEBleGFtcGxlLm9yZw==");
    EXPECT_EQ(encode(coder, "\xff\xfe\xfd"), "//79");
}

TEST(Base64CoderTest, EmptyTextGivesNoBufferOnANewCoderAndEmptyTextAfterUse) {
    Base64Coder fresh;
    fresh.EncodeString("");
    EXPECT_EQ(fresh.GetEncoded(), nullptr);
    fresh.EncodeString(nullptr);
    EXPECT_EQ(fresh.GetEncoded(), nullptr);

    Base64Coder used;
    EXPECT_EQ(encode(used, "abc"), "YWJj");
    EXPECT_EQ(encode(used, ""), "");
}

TEST(Base64CoderTest, BuffersGrowInWholeStepsAboveTheNeed) {
    InspectableCoder coder;
    coder.Encode(reinterpret_cast<const std::uint8_t*>(std::string(2048, 'x').data()), 2048);
    EXPECT_EQ(coder.m_encodedCapacity, 8192u);  // 2 * 2048 = 4096 asks for more than 4096
    EXPECT_EQ(std::strlen(coder.GetEncoded()), 2732u);
    coder.AllocEncoded(100);  // never shrinks
    EXPECT_EQ(coder.m_encodedCapacity, 8192u);
    EXPECT_EQ(coder.GetEncoded()[0], '\0');
}

TEST(Base64CoderTest, DecodesAndSkipsLineBreaksTabsAndBlanks) {
    Base64Coder coder;
    EXPECT_EQ(decodedPrefix(coder, "TWFu", 3), "Man");
    EXPECT_EQ(decodedPrefix(coder, "TW\r\nFu\tI G\nZv", 6), "Man fo");
    // Padding decodes to zero bytes, and the data is followed by zeros.
    coder.DecodeString("TQ==");
    EXPECT_EQ(coder.GetDecoded()[0], 'M');
    EXPECT_EQ(coder.GetDecoded()[1], 0);
    EXPECT_EQ(coder.GetDecoded()[2], 0);
}

TEST(Base64CoderTest, ShortFinalGroupDecodesItsCharacters) {
    Base64Coder coder;
    EXPECT_EQ(decodedPrefix(coder, "TWFuTWE", 5), "ManMa");
    EXPECT_EQ(decodedPrefix(coder, "TWFuTQ", 4), "ManM");
}

TEST(Base64CoderTest, RoundTripsEveryByteValueAtEveryLengthRemainder) {
    std::mt19937 random(7);
    for (std::uint32_t length : {1u, 2u, 3u, 4u, 255u, 256u, 257u, 100000u}) {
        std::vector<std::uint8_t> bytes(length);
        for (std::uint32_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i < 256 ? i : random());
        }
        Base64Coder encoder;
        encoder.Encode(bytes.data(), length);
        const std::string text = encoder.GetEncoded();
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3)) << length;
        Base64Coder decoder;
        decoder.DecodeString(text.c_str());
        EXPECT_EQ(std::memcmp(decoder.GetDecoded(), bytes.data(), length), 0) << length;
    }
}

}  // namespace
