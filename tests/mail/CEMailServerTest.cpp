#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "SmtpTestServer.h"
#include "TextShape.h"
#include "mail/CEMail.h"

namespace {

constexpr char kUser[] = "sender@example.org";
constexpr char kPassword[] = "Secret-123";

std::string sourceDir() {
    const char* dir = std::getenv("QPG_SOURCE_DIR");
    return dir != nullptr ? dir : QPG_MAIL_TEST_SOURCE_DIR;
}

// Line ends as LF and no trailing line ends, to compare texts across transfer encodings.
std::string comparable(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
        text.replace(at, 2, "\n");
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random());
    }
    return bytes;
}

class CEMailServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.running())
            << "the aiosmtpd test server did not start (python3-aiosmtpd installed?)";
        m_dataDir = m_server.directory() + "/data/";
        std::filesystem::create_directories(m_dataDir + "WaveFiles");
        m_mail.m_smtpServer = "127.0.0.1";
        m_mail.m_port = m_server.port();
        m_mail.m_authUser = kUser;
        m_mail.m_authPassword = kPassword;
        m_mail.m_mailer = "Quenlor's Probe Guide";
        m_mail.m_from = CSMTPAddress("Quenlor's Probe Guide", kUser);
        m_mail.AddRecipient(CSMTPAddress("Quenlor Support", "support@example.org"), RECIPIENT_TO);
        m_mail.AddRecipient(CSMTPAddress("Doe, Jane", "copy@example.org"), RECIPIENT_CC);
        m_mail.AddRecipient(CSMTPAddress("Archive", "archive@example.org"), RECIPIENT_BCC);
        m_mail.m_subject = "Wizard Test Results";
    }

    std::string dataFile(const std::string& name, const std::string& bytes) {
        EXPECT_TRUE(writeFileBytes(m_dataDir + name, bytes));
        return m_dataDir + name;
    }

    SmtpTestServer::ParsedMessage receivedMessage() {
        const std::string path = m_server.waitForMessage(1, 10000);
        EXPECT_FALSE(path.empty()) << "no message saved";
        SmtpTestServer::ParsedMessage message = m_server.parse(path);
        EXPECT_TRUE(message.parsedCleanly);
        return message;
    }

    SmtpTestServer m_server{sourceDir(), kUser, kPassword};
    std::string m_dataDir;
    CEMail m_mail;
};

TEST_F(CEMailServerTest, MessageWithAttachmentsArrivesWhole) {
    const std::string mic = randomBytes(100001, 1);
    const std::string echo = randomBytes(57 * 100, 2);  // its text ends with an empty line
    const std::string delay = randomBytes(1, 3);
    CSMTPAttachment micFile, echoFile, delayFile, missing;
    ASSERT_TRUE(micFile.AttachFile(dataFile("WaveFiles/MicRecorded.wav", mic)));
    ASSERT_TRUE(echoFile.AttachFile(dataFile("WaveFiles/Echo_Test.wav", echo)));
    ASSERT_TRUE(delayFile.AttachFile(dataFile("Delay Test, 1.wav", delay)));
    EXPECT_FALSE(missing.AttachFile(m_dataDir + "WaveFiles/Gone.wav"));
    EXPECT_EQ(m_mail.AddAttachment(&micFile), 0);
    EXPECT_EQ(m_mail.AddAttachment(&missing), -1);  // left out without a word
    EXPECT_EQ(m_mail.AddAttachment(&echoFile), 1);
    EXPECT_EQ(m_mail.AddAttachment(&delayFile), 2);
    m_mail.m_replyTo = CSMTPAddress("Help Desk", "help@example.org");
    m_mail.m_body =
        "From  : Tester\r\nEmail : tester@example.org\r\n" + std::string(50, '-') +
        "\r\n.\r\n.starts with a dot\r\n--#BOUNDARY#--\r\nsum = 3 + 4 =7, =41 stays\r\ntrailing blanks   \r\n"
        "LMS Echo Reduction \t\t: 23.4 dB.\nTotal Echo Reduction \t\t: 31.0 dB.\r\n" +
        std::string(1200, 'w') + "\r\n-- Comments " + std::string(38, '-') + "\r\nno comment\r\n";

    ASSERT_EQ(m_mail.Send(), 1);

    EXPECT_EQ(m_server.envelope(1),
              (std::vector<std::string>{"login sender@example.org", "from sender@example.org",
                                        "to support@example.org", "to copy@example.org",
                                        "to archive@example.org"}));
    const SmtpTestServer::ParsedMessage message = receivedMessage();
    EXPECT_EQ(message.header("From"), "Quenlor's Probe Guide <sender@example.org>");
    EXPECT_EQ(message.header("To"), "Quenlor Support <support@example.org>");
    EXPECT_EQ(message.header("Cc"), "\"Doe, Jane\" <copy@example.org>");
    EXPECT_EQ(message.header("Subject"), "Wizard Test Results");
    EXPECT_EQ(message.header("X-Mailer"), "Quenlor's Probe Guide");
    EXPECT_EQ(message.header("Reply-To"), "Help Desk <help@example.org>");
    EXPECT_EQ(message.header("MIME-Version"), "1.0");
    EXPECT_EQ(message.header("Content-type"), "multipart/mixed; boundary=\"#BOUNDARY#\"");
    EXPECT_FALSE(message.hasHeader("Bcc"));
    EXPECT_TRUE(hasShape(message.header("Date"), kDateShape)) << message.header("Date");
    EXPECT_EQ(message.partTypes,
              (std::vector<std::string>{"text/plain", "application/octet-stream", "application/octet-stream",
                                        "application/octet-stream"}));
    EXPECT_EQ(comparable(message.body), comparable(m_mail.m_body));
    ASSERT_EQ(message.attachments.size(), 3u);
    EXPECT_EQ(message.attachments[0].first, "MicRecorded.wav");
    EXPECT_TRUE(message.attachments[0].second == mic);
    EXPECT_EQ(message.attachments[1].first, "Echo_Test.wav");
    EXPECT_TRUE(message.attachments[1].second == echo);
    EXPECT_EQ(message.attachments[2].first, "Delay Test, 1.wav");
    EXPECT_TRUE(message.attachments[2].second == delay);
}

TEST_F(CEMailServerTest, SinglePartMessageKeepsItsTextWithinLineLimits) {
    m_mail.m_authUser.clear();  // the server also takes mail without authentication
    m_mail.m_body = "Device : Model 83\r\n.\r\nfree text " + std::string(1990, 'c') + "\nend";

    ASSERT_EQ(m_mail.Send(), 1);

    EXPECT_EQ(m_server.envelope(1).front(), "login ");
    const SmtpTestServer::ParsedMessage message = receivedMessage();
    EXPECT_EQ(message.header("Content-type"), "text/plain; charset=US-ASCII");
    EXPECT_TRUE(message.attachments.empty());
    EXPECT_EQ(comparable(message.body), "Device : Model 83\n.\nfree text " + std::string(988, 'c') + "\n" +
                                            std::string(998, 'c') + "\n" + std::string(4, 'c') + "\nend");
}

TEST_F(CEMailServerTest, WrongPasswordSendsNothing) {
    m_mail.m_authPassword = "not-the-password";
    EXPECT_EQ(m_mail.Send(), 0);
    EXPECT_EQ(m_server.waitForMessage(1, 300), "");
}

}  // namespace
