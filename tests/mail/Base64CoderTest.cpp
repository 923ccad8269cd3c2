#include "mail/Base64Coder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
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
    EXPECT_EQ(encode(coder, "\xfb\xef\xbe"), "++++");  // value 62 is "+", 63 is "/"
    EXPECT_EQ(encode(coder, "\xfb\xff"), "+/8=");
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

TEST(Base64CoderTest, LengthsBeyondA32BitBufferAreRefusedBeforeAnythingIsTouched) {
    InspectableCoder coder;
    EXPECT_EQ(encode(coder, "Man"), "TWFu");
    const std::uint8_t byte = 'M';
    // Twice this length no longer fits 32 bits; only the guard stands before a too small buffer.
    EXPECT_THROW(coder.Encode(&byte, 0x80000000u), std::length_error);
    EXPECT_STREQ(coder.GetEncoded(), "TWFu");
    EXPECT_THROW(coder.AllocEncoded(0xFFFFF000u), std::length_error);
    EXPECT_EQ(coder.m_encodedCapacity, 4096u);
    coder.AllocEncoded(61439);  // an ordinary size still grows in whole steps
    EXPECT_EQ(coder.m_encodedCapacity, 61440u);
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

// Replaces no arithmetic, but counts the steps it is asked to do.
class CountingCoder : public Base64Coder {
public:
    int encodeGroups = 0;
    int decodeGroups = 0;
    int skipTests = 0;

protected:
    void EncodeGroup(const Group& group, char* output) override {
        ++encodeGroups;
        Base64Coder::EncodeGroup(group, output);
    }
    int DecodeGroup(const Group& group, std::uint8_t* output) override {
        ++decodeGroups;
        return Base64Coder::DecodeGroup(group, output);
    }
    bool IsSkippedChar(char c) override {
        ++skipTests;
        return Base64Coder::IsSkippedChar(c);
    }
};

TEST(Base64CoderTest, ReplacedStepsAreCalledForEveryGroupAndAgreeWithAPlainCoder) {
    std::mt19937 random(11);
    for (std::uint32_t length : {3000u, 3001u, 3002u}) {
        std::vector<std::uint8_t> bytes(length);
        for (std::uint8_t& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        Base64Coder plain;
        CountingCoder counting;
        plain.Encode(bytes.data(), length);
        counting.Encode(bytes.data(), length);
        EXPECT_STREQ(counting.GetEncoded(), plain.GetEncoded());
        EXPECT_EQ(counting.encodeGroups, static_cast<int>((length + 2) / 3));

        // Any characters at all, also outside the alphabet, decode alike.
        std::string text(length, '\0');
        for (char& c : text) {
            c = static_cast<char>(random());
        }
        plain.Decode(text.data(), length);
        counting.Decode(text.data(), length);
        EXPECT_EQ(std::memcmp(counting.GetDecoded(), plain.GetDecoded(), length), 0);
        EXPECT_EQ(counting.skipTests, static_cast<int>(length));
        EXPECT_GE(counting.decodeGroups, static_cast<int>(length / 8));
    }
}

TEST(Base64CoderTest, CharactersOutsideTheAlphabetEnterAsTheirLowSixBits) {
    Base64Coder coder;
    coder.Decode("=A==", 4);  // "=" first counts as 63, later as 0
    EXPECT_EQ(coder.GetDecoded()[0], 0xFC);
    EXPECT_EQ(coder.GetDecoded()[1], 0x00);
    coder.Decode("!!!!", 4);  // outside the alphabet: 62 each
    EXPECT_EQ(coder.GetDecoded()[0], 0xFB);
    EXPECT_EQ(coder.GetDecoded()[1], 0xEF);
    EXPECT_EQ(coder.GetDecoded()[2], 0xBE);
    coder.Decode("\xd4\xd7\xc6\xf5", 4);  // "TWFu" with bit 7 set decodes as "TWFu"
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(coder.GetDecoded()), 3), "Man");
}

}  // namespace
