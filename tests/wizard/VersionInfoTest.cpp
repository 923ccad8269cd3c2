// The version text read from the version block our build embeds in a program.
#include <gtest/gtest.h>

#include <string>

#include "platform/System.h"
#include "wizard/CVersionInfo.h"

namespace {

struct VersionCase {
    const char* name;
    const char* path;
    std::string text;
    int numbers[4];
    std::string specialBuild;
    std::string productName;
    std::uint32_t minBlockSize;  // 0: no block
};

class VersionText : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionText, FromTheFile) {
    const auto& c = GetParam();
    CVersionInfo info;
    EXPECT_EQ(info.Load(c.path), c.text);
    EXPECT_EQ(info.m_fileVersion, c.text);
    const int numbers[4] = {info.m_major, info.m_minor, info.m_build, info.m_revision};
    EXPECT_TRUE(std::equal(numbers, numbers + 4, c.numbers));
    EXPECT_EQ(info.m_specialBuild, c.specialBuild);
    EXPECT_EQ(info.m_productName, c.productName);
    EXPECT_EQ(info.m_privateBuild, "");
    if (c.minBlockSize == 0) {
        EXPECT_EQ(info.m_blockSize, 0u);
        EXPECT_EQ(info.m_block, nullptr);
    } else {
        EXPECT_GE(info.m_blockSize, c.minBlockSize);
        EXPECT_EQ(info.m_filePath, c.path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, VersionText,
    ::testing::Values(
        VersionCase{"plain", VERSION_SAMPLE_PLAIN, " 1.0.2.3 ", {1, 0, 2, 3}, "", "Quenlor Probe Guide", 100},
        VersionCase{
            "beta", VERSION_SAMPLE_BETA, " 1.0.2.3 beta", {1, 0, 2, 3}, "beta", "Quenlor Probe Guide", 100},
        VersionCase{"noBlock", VERSION_SAMPLE_NONE, "", {0, 0, 0, 0}, "", "", 0},
        VersionCase{"notAProgram", "/etc/hostname", "", {0, 0, 0, 0}, "", "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VersionInfo, RunningProgramAndQueryForms) {
    CVersionInfo info;
    EXPECT_EQ(info.QueryString("Comments", 0x409, 1200), nullptr) << "no block loaded yet";
    const std::string text = info.Load(nullptr);
    EXPECT_EQ(info.m_filePath, platform::programPath());
    EXPECT_EQ(text, " " + info.m_fileVersionString + " ");
    EXPECT_EQ(info.m_internalName, "wizard_tests");

    // Language and code page go into the path as four lower-case hexadecimal digits each.
    ASSERT_NE(info.QueryString("CompanyName", 0x409, 1200), nullptr);
    EXPECT_STREQ(info.QueryString("CompanyName", 0x409, 1200), "Kestu");
    EXPECT_EQ(info.QueryString("CompanyName", 0x407, 1200), nullptr);
    EXPECT_EQ(info.QueryString("CompanyName", 0x409, 1252), nullptr);
    // Key names of 4070 characters or more are refused without a query.
    EXPECT_EQ(info.QueryString(std::string(4070, 'A').c_str(), 0x409, 1200), nullptr);

    // A path beyond the platform's limit is refused.
    EXPECT_EQ(info.Load(("/" + std::string(CVersionInfo::kMaxPath, 'a')).c_str()), "");
    EXPECT_EQ(info.m_blockSize, 0u);
}

}  // namespace
