#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "SmtpTestServer.h"
#include "mail/Base64Coder.h"
#include "mail/CEMail.h"
#include "mail/CSMTPAddress.h"
#include "mail/CSMTPAttachment.h"

namespace {

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

class AttachmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qpg-attach-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string file(const std::string& name, const std::string& bytes) {
        const std::string path = m_dir + "/" + name;
        EXPECT_TRUE(writeFileBytes(path, bytes));
        return path;
    }

    std::string m_dir;
};

TEST_F(AttachmentTest, TextIsLinesOf76CharactersEachEndingWithCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\r\n"},
        {"A", "QQ==\r\n"},
        {"AA", "QUE=\r\n"},
        {"AAA", "QUFB\r\n"},
        {std::string(57, 'A'), repeat("QUFB", 19) + "\r\n\r\n"},  // a whole line, then the final CR LF alone
        {std::string(58, 'A'), repeat("QUFB", 19) + "\r\nQQ==\r\n"},
        {"\xfb\xff\xbf\xfb", "+/+/+w==\r\n"},  // value 62 is "+", 63 is "/"
    };
    for (const auto& [bytes, text] : cases) {
        CSMTPAttachment attachment;
        ASSERT_TRUE(attachment.AttachFile(file("f.bin", bytes)));
        EXPECT_EQ(attachment.m_encoded, text) << bytes.size();
        EXPECT_EQ(attachment.m_encodedLength, static_cast<int>(text.size())) << bytes.size();
    }
}

TEST_F(AttachmentTest, LargeFileDecodesBackToItsBytes) {
    std::mt19937 random(3);
    std::string bytes(200003, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random());
    }
    CSMTPAttachment attachment;
    ASSERT_TRUE(attachment.AttachFile(file("Echo_Test.wav", bytes)));
    std::size_t longest = 0;
    for (std::size_t start = 0, end; (end = attachment.m_encoded.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        longest = std::max(longest, end - start);
    }
    EXPECT_EQ(longest, 76u);
    Base64Coder decoder;  // skips the line breaks
    decoder.DecodeString(attachment.m_encoded.c_str());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoder.GetDecoded()), bytes.size()), bytes);
}

TEST_F(AttachmentTest, NamesAreThePathsLastElement) {
    std::filesystem::create_directories(m_dir + "/WaveFiles");
    CSMTPAttachment attachment;
    ASSERT_TRUE(attachment.AttachFile(file("WaveFiles/Echo_Test.wav", "RIFF")));
    EXPECT_EQ(attachment.GetName(), "Echo_Test.wav");
    EXPECT_EQ(attachment.GetFileName(), "Echo_Test.wav");
}

TEST_F(AttachmentTest, FilesThatCannotBeReadWholeAreRefused) {
    CEMail mail;
    CSMTPAttachment missing;
    EXPECT_FALSE(missing.AttachFile(m_dir + "/WaveFiles/MicRecorded.wav"));
    EXPECT_EQ(mail.AddAttachment(&missing), -1);

    CSMTPAttachment folder;
    EXPECT_FALSE(folder.AttachFile(m_dir));
    EXPECT_EQ(mail.AddAttachment(&folder), -1);

    // A file that was attached and then fails leaves no stale text behind.
    CSMTPAttachment reused;
    ASSERT_TRUE(reused.AttachFile(file("a.wav", "abc")));
    EXPECT_EQ(mail.AddAttachment(&reused), 0);
    EXPECT_FALSE(reused.AttachFile(m_dir + "/gone.wav"));
    EXPECT_TRUE(reused.m_encoded.empty());
    EXPECT_EQ(reused.m_encodedLength, 0);
    EXPECT_EQ(mail.AddAttachment(&reused), -1);
    EXPECT_EQ(mail.RefusalReason(), "an attachment holds no file");
    EXPECT_EQ(mail.AddAttachment(nullptr), -1);
}

TEST(Base64EncodeTest, RefusesAnOutputBufferThatIsTooSmall) {
    const std::uint8_t data[58] = {};
    char out[85];
    int length = -1;
    EXPECT_EQ(Base64Encode(data, 58, out, 84, length), 0);  // 84 characters need 85 with the NUL
    EXPECT_EQ(length, -1);
    EXPECT_EQ(Base64Encode(data, 58, out, 85, length), 1);
    EXPECT_EQ(length, 84);
    EXPECT_EQ(out[84], '\0');
}

TEST(CSMTPAddressTest, RegularFormatQuotesOnlyWhatAPhraseCannotCarry) {
    EXPECT_EQ(CSMTPAddress("", "support@example.org").GetRegularFormat(), "support@example.org");
    EXPECT_EQ(CSMTPAddress("Quenlor Support", "support@example.org").GetRegularFormat(),
              "Quenlor Support <support@example.org>");
    EXPECT_EQ(CSMTPAddress("Quenlor's Probe Guide", "a@b.c").GetRegularFormat(),
              "Quenlor's Probe Guide <a@b.c>");
    EXPECT_EQ(CSMTPAddress("Doe, John", "a@b.c").GetRegularFormat(), "\"Doe, John\" <a@b.c>");
    EXPECT_EQ(CSMTPAddress("Eve <x@y.z>", "a@b.c").GetRegularFormat(), "\"Eve <x@y.z>\" <a@b.c>");
    EXPECT_EQ(CSMTPAddress("say \"hi\" \\", "a@b.c").GetRegularFormat(), "\"say \\\"hi\\\" \\\\\" <a@b.c>");
}

}  // namespace
