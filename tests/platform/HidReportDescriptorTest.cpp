#include "platform/HidReportDescriptor.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/platform/HidDescriptorSamples.h"

namespace platform {
namespace {

constexpr auto kInput = static_cast<std::size_t>(HidReportKind::Input);
constexpr auto kOutput = static_cast<std::size_t>(HidReportKind::Output);
constexpr auto kFeature = static_cast<std::size_t>(HidReportKind::Feature);

HidReportDescriptor parseOk(std::span<const std::uint8_t> bytes) {
    auto result = parseReportDescriptor(bytes);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().what);
    return result.ok() ? result.value() : HidReportDescriptor{};
}

std::string parseError(std::vector<std::uint8_t> bytes) {
    auto result = parseReportDescriptor(bytes);
    EXPECT_FALSE(result.ok());
    return result.ok() ? std::string() : result.error().what;
}

void expectCap(const HidControlCap& cap, std::uint8_t reportId, std::uint16_t page, bool isRange,
               std::uint16_t usageMin, std::uint16_t usageMax, std::uint16_t bitSize,
               std::uint16_t reportCount) {
    EXPECT_EQ(cap.reportId, reportId);
    EXPECT_EQ(cap.usagePage, page);
    EXPECT_EQ(cap.isRange, isRange);
    EXPECT_EQ(cap.usageMin, usageMin);
    EXPECT_EQ(cap.usageMax, usageMax);
    EXPECT_EQ(cap.bitSize, bitSize);
    EXPECT_EQ(cap.reportCount, reportCount);
}

struct VendorCase {
    const char* name;
    std::span<const std::uint8_t> bytes;
    std::uint16_t reportLength;
};

class VendorDescriptorTest : public ::testing::TestWithParam<VendorCase> {};

TEST_P(VendorDescriptorTest, GivesLengthsWithTheReportIdByteAndOneValueCapEachWay) {
    const auto& param = GetParam();
    const auto d = parseOk(param.bytes);
    EXPECT_EQ(d.usagePage, 0xFF00);
    EXPECT_EQ(d.usage, 1);
    EXPECT_FALSE(d.reportIdsUsed);
    EXPECT_EQ(d.reportByteLength[kInput], param.reportLength);
    EXPECT_EQ(d.reportByteLength[kOutput], param.reportLength);
    EXPECT_EQ(d.reportByteLength[kFeature], 0);
    const auto dataBytes = static_cast<std::uint16_t>(param.reportLength - 1);
    ASSERT_EQ(d.valueCaps[kInput].size(), 1u);
    expectCap(d.valueCaps[kInput][0], 0, 0xFF00, false, 1, 1, 8, dataBytes);
    ASSERT_EQ(d.valueCaps[kOutput].size(), 1u);
    expectCap(d.valueCaps[kOutput][0], 0, 0xFF00, false, 2, 2, 8, dataBytes);
    EXPECT_TRUE(d.buttonCaps[kInput].empty());
    EXPECT_TRUE(d.buttonCaps[kOutput].empty());
    EXPECT_TRUE(d.valueCaps[kFeature].empty());
}

INSTANTIATE_TEST_SUITE_P(Speakerphones, VendorDescriptorTest,
                         ::testing::Values(VendorCase{"Reports8", samples::kVendor8, 9},
                                           VendorCase{"Reports10", samples::kVendor10, 11},
                                           VendorCase{"Reports42", samples::kVendor42, 43}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HidReportDescriptorTest, BootKeyboardHasModifierButtonsAKeyArrayAndLedButtons) {
    const auto d = parseOk(samples::kBootKeyboard);
    EXPECT_EQ(d.usagePage, 0x01);
    EXPECT_EQ(d.usage, 0x06);
    EXPECT_FALSE(d.reportIdsUsed);
    // 8 modifier bits + reserved byte + 6 keys = 8 bytes; 5 LED bits + 3 padding = 1 byte.
    EXPECT_EQ(d.reportByteLength[kInput], 9);
    EXPECT_EQ(d.reportByteLength[kOutput], 2);
    EXPECT_EQ(d.reportByteLength[kFeature], 0);

    ASSERT_EQ(d.buttonCaps[kInput].size(), 2u);
    expectCap(d.buttonCaps[kInput][0], 0, 0x07, true, 0xE0, 0xE7, 1, 8);
    expectCap(d.buttonCaps[kInput][1], 0, 0x07, true, 0x00, 0x65, 8, 6);
    EXPECT_TRUE(d.valueCaps[kInput].empty());  // the reserved byte is padding, no control

    ASSERT_EQ(d.buttonCaps[kOutput].size(), 1u);
    expectCap(d.buttonCaps[kOutput][0], 0, 0x08, true, 0x01, 0x05, 1, 5);
    EXPECT_TRUE(d.valueCaps[kOutput].empty());
}

TEST(HidReportDescriptorTest, NumberedReportsTakeTheLongestReportOfEachKind) {
    const auto d = parseOk(samples::kNumberedConsumerVendor);
    EXPECT_TRUE(d.reportIdsUsed);
    EXPECT_EQ(d.usagePage, 0x0C);  // the first top-level collection
    EXPECT_EQ(d.usage, 0x01);
    // Report 1 has 1 byte of input, report 2 has 63: the longest plus the ID byte, not the sum.
    EXPECT_EQ(d.reportByteLength[kInput], 64);
    EXPECT_EQ(d.reportByteLength[kOutput], 64);
    EXPECT_EQ(d.reportByteLength[kFeature], 5);

    // A variable 1-bit field with a usage list gives one button per usage.
    ASSERT_EQ(d.buttonCaps[kInput].size(), 3u);
    expectCap(d.buttonCaps[kInput][0], 1, 0x0C, false, 0xE9, 0xE9, 1, 1);
    expectCap(d.buttonCaps[kInput][1], 1, 0x0C, false, 0xEA, 0xEA, 1, 1);
    expectCap(d.buttonCaps[kInput][2], 1, 0x0C, false, 0xE2, 0xE2, 1, 1);
    ASSERT_EQ(d.valueCaps[kInput].size(), 1u);
    expectCap(d.valueCaps[kInput][0], 2, 0xFF00, false, 1, 1, 8, 63);
    ASSERT_EQ(d.valueCaps[kFeature].size(), 1u);
    expectCap(d.valueCaps[kFeature][0], 3, 0xFF00, false, 2, 2, 8, 4);
}

TEST(HidReportDescriptorTest, DescriptionCarriesCountsLengthsAndAttributes) {
    const auto d = parseOk(samples::kBootKeyboard);
    const auto description = makeHidDescription(HidAttributes{0x0556, 0x0A1B, 0x0102}, d, d.reportIdsUsed);
    EXPECT_EQ(description.attributes.vendorId, 0x0556);
    EXPECT_EQ(description.attributes.versionNumber, 0x0102);
    EXPECT_EQ(description.caps.usagePage, 0x01);
    EXPECT_EQ(description.caps.inputReportByteLength, 9);
    EXPECT_EQ(description.caps.outputReportByteLength, 2);
    EXPECT_EQ(description.caps.numberInputButtonCaps, 2);
    EXPECT_EQ(description.caps.numberInputValueCaps, 0);
    EXPECT_EQ(description.caps.numberOutputButtonCaps, 1);
    EXPECT_EQ(description.caps.numberFeatureValueCaps, 0);
    EXPECT_EQ(maxUsageListLength(description, HidReportKind::Output, 0x08), 5u);
}

TEST(HidReportDescriptorTest, OnlyNumberedCollectionsBecomeInterfacesOfTheirOwn) {
    const auto numbered = describeInterfaces({}, parseOk(samples::kNumberedConsumerVendor));
    ASSERT_EQ(numbered.size(), 2u);
    EXPECT_EQ(numbered[0].caps.usagePage, 0x0C);
    EXPECT_EQ(numbered[1].caps.inputReportByteLength, 64);

    // Two collections without report IDs: their fields make one report, so one interface.
    std::vector<std::uint8_t> twoUnnumbered(std::begin(samples::kVendor8), std::end(samples::kVendor8));
    twoUnnumbered.insert(twoUnnumbered.end(), std::begin(samples::kVendor8), std::end(samples::kVendor8));
    const auto whole = describeInterfaces({}, parseOk(twoUnnumbered));
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].caps.usagePage, 0xFF00);
    EXPECT_EQ(whole[0].caps.inputReportByteLength, 17);
    EXPECT_EQ(whole[0].caps.numberInputValueCaps, 2);
}

TEST(HidReportDescriptorTest, PushPopLongItemsAndExtendedUsagesAreHonoured) {
    const std::vector<std::uint8_t> bytes{
        0x05, 0x01,                    // Usage Page (Generic Desktop)
        0x0B, 0x01, 0x00, 0x00, 0xFF,  // Usage (0xFF00:0001), page in the upper half
        0xA1, 0x01,                    // Collection (Application)
        0x75, 0x08, 0x95, 0x04,        //   Report Size (8), Report Count (4)
        0xA4,                          //   Push
        0x75, 0x10, 0x95, 0x01,        //   Report Size (16), Report Count (1)
        0x85, 0x07,                    //   Report ID (7)
        0xFE, 0x02, 0x10, 0xAA, 0xBB,  //   a long item, skipped
        0x09, 0x30, 0x81, 0x02,        //   Usage (X), Input: report 7, 2 bytes
        0xB4,                          //   Pop: size 8, count 4, no report ID chosen
        0x09, 0x31, 0x81, 0x02,        //   Usage (Y), Input: report 0, 4 bytes
        0xC0,
    };
    const auto d = parseOk(bytes);
    EXPECT_EQ(d.usagePage, 0xFF00);
    EXPECT_EQ(d.usage, 0x01);
    EXPECT_EQ(d.reportByteLength[kInput], 5);
    ASSERT_EQ(d.valueCaps[kInput].size(), 2u);
    expectCap(d.valueCaps[kInput][0], 7, 0x01, false, 0x30, 0x30, 16, 1);
    expectCap(d.valueCaps[kInput][1], 0, 0x01, false, 0x31, 0x31, 8, 4);
}

TEST(HidReportDescriptorTest, VariableFieldsShareSlotsAmongTheirUsages) {
    const std::vector<std::uint8_t> bytes{
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // Mouse
        0x15, 0x81, 0x25, 0x7F,              // Logical -127..127
        0x75, 0x08, 0x95, 0x03,              // three bytes
        0x09, 0x30, 0x09, 0x31,              // X, Y: the last usage takes the third slot too
        0x81, 0x06,                          // Input (Data, Variable, Relative)
        0x05, 0x09, 0x19, 0x01, 0x29, 0x08,  // Buttons 1..8
        0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
        0x95, 0x05, 0x81, 0x02,  // only five slots: the range is cut to 1..5
        0x95, 0x03, 0x81, 0x01, 0xC0,
    };
    const auto d = parseOk(bytes);
    EXPECT_EQ(d.reportByteLength[kInput], 5);
    ASSERT_EQ(d.valueCaps[kInput].size(), 2u);
    expectCap(d.valueCaps[kInput][0], 0, 0x01, false, 0x30, 0x30, 8, 1);
    expectCap(d.valueCaps[kInput][1], 0, 0x01, false, 0x31, 0x31, 8, 2);
    ASSERT_EQ(d.buttonCaps[kInput].size(), 1u);
    expectCap(d.buttonCaps[kInput][0], 0, 0x09, true, 1, 5, 1, 5);
}

TEST(HidReportDescriptorTest, OneBitFieldsOutsideZeroToOneAreValues) {
    // A 1-bit variable with Logical Maximum 0 is not a button; with -1..0 neither.
    const std::vector<std::uint8_t> bytes{
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x01, 0x95,
        0x08, 0x15, 0x00, 0x25, 0x00, 0x09, 0x01, 0x81, 0x02,  // 0..0
        0x15, 0xFF, 0x25, 0x00, 0x09, 0x02, 0x81, 0x02,        // -1..0
        0x15, 0x00, 0x25, 0x01, 0x09, 0x03, 0x81, 0x02,        // 0..1: a button
        0xC0,
    };
    const auto d = parseOk(bytes);
    EXPECT_EQ(d.valueCaps[kInput].size(), 2u);
    ASSERT_EQ(d.buttonCaps[kInput].size(), 1u);
    EXPECT_EQ(d.buttonCaps[kInput][0].usageMin, 3);
}

TEST(HidReportDescriptorTest, MalformedDescriptorsGiveErrorsNamingFaultAndOffset) {
    EXPECT_EQ(parseError({}), "malformed report descriptor: empty");
    EXPECT_EQ(parseError({0x05, 0x01, 0x06, 0x00}), "malformed report descriptor: truncated item at byte 2");
    EXPECT_EQ(parseError({0x05, 0x01, 0xFE, 0x05, 0x10, 0x01}),
              "malformed report descriptor: truncated long item at byte 2");
    EXPECT_EQ(parseError({0x05, 0x01, 0xFE}), "malformed report descriptor: truncated long item at byte 2");
    EXPECT_EQ(parseError({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xB4, 0xC0}),
              "malformed report descriptor: Pop without Push at byte 6");
    EXPECT_EQ(parseError({0xC0}), "malformed report descriptor: End Collection without Collection at byte 0");
    EXPECT_EQ(parseError({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01}),
              "malformed report descriptor: Collection not ended at byte 6");
    EXPECT_EQ(parseError({0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
              "malformed report descriptor: declares no collection");
    EXPECT_EQ(parseError({0x77, 0x00, 0x00, 0x01, 0x00}),
              "malformed report descriptor: Report Size of 65536 bits at byte 0");
    EXPECT_EQ(parseError({0x97, 0xFF, 0xFF, 0xFF, 0xFF}),
              "malformed report descriptor: Report Count of 4294967295 at byte 0");
    EXPECT_EQ(parseError({0xA1, 0x01, 0x85, 0x00}), "malformed report descriptor: Report ID 0 at byte 2");
    EXPECT_EQ(parseError({0xA1, 0x01, 0x19, 0x01, 0x81, 0x02, 0xC0}),
              "malformed report descriptor: Usage Minimum without Usage Maximum at byte 4");
    EXPECT_EQ(parseError({0xA1, 0x01, 0x19, 0x05, 0x29, 0x01, 0xC0}),
              "malformed report descriptor: Usage Minimum above Usage Maximum at byte 4");
    EXPECT_EQ(parseError({0xA1, 0x01, 0xA9, 0x01, 0xA9, 0x01}),
              "malformed report descriptor: nested Delimiter at byte 4");
}

TEST(HidReportDescriptorTest, ReportsBeyondSixteenBitLengthsAreRefused) {
    // 65535 fields of 256 bits: far beyond what a 16-bit report length can hold.
    const std::vector<std::uint8_t> bytes{0xA1, 0x01, 0x76, 0x00, 0x01, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0};
    EXPECT_EQ(parseError(bytes), "malformed report descriptor: report longer than 65534 bytes at byte 8");

    // The longest report that fits: 65534 data bytes.
    const std::vector<std::uint8_t> longest{0xA1, 0x01, 0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02, 0xC0};
    EXPECT_EQ(parseOk(longest).reportByteLength[kInput], 0xFFFF);
}

TEST(HidReportDescriptorTest, EveryCutOfAValidDescriptorIsAnErrorNotACrash) {
    // Each of these closes its only collection with its last byte, so every shorter cut is
    // truncated or leaves the collection open.
    const std::span<const std::uint8_t> descriptors[] = {samples::kVendor8, samples::kVendor10,
                                                         samples::kVendor42, samples::kBootKeyboard};
    for (const auto full : descriptors) {
        ASSERT_TRUE(parseReportDescriptor(full).ok());
        for (std::size_t length = 0; length < full.size(); ++length) {
            EXPECT_FALSE(parseReportDescriptor(full.first(length)).ok()) << "cut at " << length;
        }
    }
}

TEST(HidReportDescriptorTest, RandomBytesNeverCrashAndLengthsStayConsistent) {
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(1, 96);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size(random)));
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(byte(random));
        }
        // Keep a collection around the noise so that some rounds get far.
        bytes.insert(bytes.begin(), {0xA1, 0x01});
        bytes.push_back(0xC0);
        const auto result = parseReportDescriptor(bytes);
        if (!result.ok()) {
            EXPECT_FALSE(result.error().what.empty());
            continue;
        }
        ++parsed;
        for (std::size_t kind = 0; kind < 3; ++kind) {
            const bool hasCaps =
                !result.value().buttonCaps[kind].empty() || !result.value().valueCaps[kind].empty();
            if (hasCaps) {
                EXPECT_GE(result.value().reportByteLength[kind], 2);
            }
        }
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
}  // namespace platform
