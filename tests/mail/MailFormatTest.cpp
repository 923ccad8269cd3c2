#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>
#include <string>

#include "TextShape.h"
#include "mail/CEMail.h"
#include "mail/MailText.h"

namespace {

TEST(MailFormatTest, TimeZoneTextFromTheBias) {
    EXPECT_EQ(CEMail::FormatTimeZone(-120), "+0200");
    EXPECT_EQ(CEMail::FormatTimeZone(300), "-0500");
    EXPECT_EQ(CEMail::FormatTimeZone(-330), "+0530");
    EXPECT_EQ(CEMail::FormatTimeZone(210), "-0330");
    EXPECT_EQ(CEMail::FormatTimeZone(-345), "+0545");
    EXPECT_EQ(CEMail::FormatTimeZone(60 - 60), "+0000");  // daylight time in a zone of bias 60
    EXPECT_EQ(CEMail::FormatTimeZone(30), "-0030");       // west of Greenwich by less than an hour
}

TEST(MailFormatTest, DateUsesEnglishNamesWhateverTheLocale) {
    platform::LocalTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 8;
    t.dayOfWeek = 2;
    t.hour = 7;
    t.minute = 5;
    t.second = 9;
    t.utcOffsetMinutes = 120;
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr) {
            continue;
        }
        EXPECT_EQ(CEMail::FormatDate(t), "Tue, 08 Dec 2026 07:05:09 +0200") << locale;
        EXPECT_EQ(mailtext::formatFixed(-12.34, 5, 1), "-12.3") << locale;
    }
    std::setlocale(LC_ALL, before.c_str());
    EXPECT_EQ(mailtext::formatFixed(3.0, 5, 1), "  3.0");
    EXPECT_EQ(mailtext::formatFixed(123456.75, 5, 1), "123456.8");
}

class HeaderTest : public ::testing::Test {
protected:
    HeaderTest() {
        m_mail.m_from = CSMTPAddress("Quenlor's Probe Guide", "sender@example.org");
        m_mail.m_subject = "Wizard Test Results";
        m_mail.m_mailer = "Quenlor's Probe Guide";
    }
    CEMail m_mail;
};

TEST_F(HeaderTest, SinglePartHeaderLinesInOrder) {
    m_mail.AddRecipient(CSMTPAddress("Quenlor Support", "support@example.org"), RECIPIENT_TO);
    m_mail.AddRecipient(CSMTPAddress("Archive", "sender@example.org"), RECIPIENT_BCC);
    const std::string header = m_mail.FormatHeader();
    const std::string before =
        "From: Quenlor's Probe Guide <sender@example.org>\r\n"
        "To: Quenlor Support <support@example.org>\r\n"
        "Subject: Wizard Test Results\r\n"
        "Date: ";
    const std::string after =
        "\r\nX-Mailer: Quenlor's Probe Guide\r\n"
        "MIME-Version: 1.0\r\nContent-type: text/plain; charset=US-ASCII\r\n\r\n";
    ASSERT_EQ(header.size(), before.size() + kDateShape.size() + after.size()) << header;
    EXPECT_EQ(header.substr(0, before.size()), before);
    EXPECT_TRUE(hasShape(header.substr(before.size(), kDateShape.size()), kDateShape)) << header;
    EXPECT_EQ(header.substr(before.size() + kDateShape.size()), after);
}

TEST_F(HeaderTest, CcLineReplyToAndMultipart) {
    CSMTPAttachment attachment;
    attachment.m_name = attachment.m_fileName = "MicRecorded.wav";
    m_mail.m_attachments.push_back(&attachment);
    m_mail.AddRecipient(CSMTPAddress("One", "one@example.org"), RECIPIENT_CC);
    m_mail.AddRecipient(CSMTPAddress("", "two@example.org"), RECIPIENT_CC);
    m_mail.m_replyTo = CSMTPAddress("Help", "help@example.org");
    const std::string header = m_mail.FormatHeader();
    EXPECT_NE(header.find("\r\nTo: \r\nCc: One <one@example.org>,two@example.org\r\nSubject: "),
              std::string::npos)
        << header;
    EXPECT_NE(header.find("\r\nReply-To: Help <help@example.org>\r\nMIME-Version: 1.0\r\n"
                          "Content-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n\r\n"),
              std::string::npos)
        << header;
}

TEST_F(HeaderTest, NoCcLineForEmptyEntriesNorReplyToWithoutAddress) {
    m_mail.AddRecipient(CSMTPAddress("", ""), RECIPIENT_CC);
    m_mail.m_replyTo = CSMTPAddress("Nobody", "");
    m_mail.m_from = CSMTPAddress("", "sender@example.org");
    const std::string header = m_mail.FormatHeader();
    EXPECT_EQ(header.rfind("From: sender@example.org\r\nTo: \r\nSubject: ", 0), 0u) << header;
    EXPECT_EQ(header.find("Cc:"), std::string::npos);
    EXPECT_EQ(header.find("Reply-To:"), std::string::npos);
}

TEST(MailTextTest, LineEndsBecomeCrLfAndLongLinesAreBroken) {
    EXPECT_EQ(mailtext::normalizeLines("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(mailtext::normalizeLines("x\r\n\r\n"), "x\r\n\r\n");
    const std::string broken = mailtext::normalizeLines(std::string(2000, 'x') + "\n");
    EXPECT_EQ(broken,
              std::string(998, 'x') + "\r\n" + std::string(998, 'x') + "\r\n" + std::string(4, 'x') + "\r\n");
    // A UTF-8 character that would straddle the break goes whole to the next line.
    EXPECT_EQ(mailtext::normalizeLines(std::string(997, 'x') + "\xc3\xa9y"),
              std::string(997, 'x') + "\r\n\xc3\xa9y");
}

TEST(MailTextTest, DotStuffingDoublesEveryLeadingDot) {
    EXPECT_EQ(mailtext::dotStuffed(".\r\n.x\r\na.b\r\n..\r\n"), "..\r\n..x\r\na.b\r\n...\r\n");
    EXPECT_EQ(mailtext::dotStuffed("a\r\n."), "a\r\n..");
}

TEST(MailTextTest, QuotedPrintableEncodesWhatPlainTextCannotCarry) {
    EXPECT_EQ(mailtext::quotedPrintable("a=b\tc\n"), "a=3Db\tc\r\n");
    EXPECT_EQ(mailtext::quotedPrintable("end \r\ntab\t"), "end=20\r\ntab=09");
    EXPECT_EQ(mailtext::quotedPrintable("--#BOUNDARY#--\r\n"), "=2D-#BOUNDARY#--\r\n");
    EXPECT_EQ(mailtext::quotedPrintable("caf\xc3\xa9"), "caf=C3=A9");
    const std::string encoded = mailtext::quotedPrintable(std::string(200, 'y') + std::string(100, '='));
    std::size_t start = 0;
    for (std::size_t end; (end = encoded.find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_LE(end - start, 76u);
        EXPECT_EQ(encoded[end - 1], '=');  // only soft breaks: the text had no line end
    }
    EXPECT_LE(encoded.size() - start, 76u);
}

TEST(MailTextTest, NonAsciiHeaderTextBecomesEncodedWordsOfWholeCharacters) {
    EXPECT_EQ(mailtext::encodedWords("Wizard Test Results"), "Wizard Test Results");
    EXPECT_EQ(mailtext::encodedWords("Gr\xc3\xbc\xc3\x9f"
                                     "e"),
              "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(mailtext::headerPhrase("Doe, J\xc3\xb6rg"), "=?UTF-8?B?RG9lLCBKw7ZyZw==?=");
    EXPECT_EQ(mailtext::headerPhrase("Doe, Jorg"), "\"Doe, Jorg\"");
    // 45 bytes a word at most, and never part of a character: "\xc3\xa9" goes whole to the second.
    EXPECT_EQ(
        mailtext::encodedWords(std::string(44, 'a') + "\xc3\xa9\xc3\xa9"),
        "=?UTF-8?B?YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWE=?=\r\n =?UTF-8?B?w6nDqQ==?=");
}

TEST(MailDefaultsTest, PortAndBoundsOfANewMessage) {
    const CEMail mail;
    EXPECT_EQ(mail.m_port, 25);
    EXPECT_EQ(mail.m_replyTimeoutMs, 10000u);
    EXPECT_EQ(mail.m_connectTimeoutMs, 10000u);
    EXPECT_EQ(SMTP_REPLY_TIMEOUT_MS, 10000u);
}

TEST(MailTextTest, HeaderValuesWithLineBreaksOrNulAreCaught) {
    EXPECT_FALSE(mailtext::breaksHeaderLine("Wizard Test Results"));
    EXPECT_TRUE(mailtext::breaksHeaderLine("Hi\r\nBcc: x@y.z"));
    EXPECT_TRUE(mailtext::breaksHeaderLine("a\nb"));
    EXPECT_TRUE(mailtext::breaksHeaderLine(std::string("a\0b", 3)));
}

}  // namespace

namespace {

TEST(RecipientListTest, TypesOutsideTheThreeListsAreRefused) {
    CEMail mail;
    EXPECT_EQ(mail.AddRecipient(CSMTPAddress("A", "a@example.org"), RECIPIENT_TO), 0);
    EXPECT_EQ(mail.AddRecipient(CSMTPAddress("B", "b@example.org"), RECIPIENT_TO), 1);
    EXPECT_EQ(mail.AddRecipient(CSMTPAddress("C", "c@example.org"), RECIPIENT_BCC), 0);
    EXPECT_EQ(mail.AddRecipient(CSMTPAddress("D", "d@example.org"), 3), -1);
    EXPECT_EQ(mail.AddRecipient(CSMTPAddress("E", "e@example.org"), -1), -1);
    EXPECT_EQ(mail.GetRecipientCount(RECIPIENT_TO), 2);
    EXPECT_EQ(mail.GetRecipientCount(RECIPIENT_CC), 0);
    EXPECT_EQ(mail.GetRecipientCount(3), 0);
    EXPECT_EQ(mail.GetRecipient(1, RECIPIENT_TO).m_address, "b@example.org");
    EXPECT_EQ(mail.GetRecipient(0, 7).m_address, "");
    EXPECT_THROW(mail.GetRecipient(2, RECIPIENT_TO), std::invalid_argument);
    EXPECT_THROW(mail.GetRecipient(0, RECIPIENT_CC), std::invalid_argument);
}

}  // namespace
