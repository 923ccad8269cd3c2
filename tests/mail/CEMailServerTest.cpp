#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "DebugCapture.h"
#include "SmtpTestServer.h"
#include "TextShape.h"
#include "mail/CEMail.h"
#include "mail/MailText.h"

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
              (std::vector<std::string>{"text/plain; charset=us-ascii", "application/octet-stream",
                                        "application/octet-stream", "application/octet-stream"}));
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

// Accents in the names, the subject and the body arrive as they were written, with and without
// attachments; a single-part body goes as 8-bit data, which this server offers to take.
TEST_F(CEMailServerTest, InternationalTextArrivesIntact) {
    const std::string name = "Zo\xc3\xab M\xc3\xbcller-\xc3\x85str\xc3\xb6m";  // Zoë Müller-Åström
    const std::string subject = "R\xc3\xa9sultats du test \xe2\x80\x93 " + std::string(20, 'x') +
                                " \xe6\xb8\xac\xe8\xa9\xa6\xe7\xb5\x90\xe6\x9e\x9c \xc3\xa9t\xc3\xa9";
    const std::string body =
        "Commentaire : tr\xc3\xa8s bien, \xc3\xa7"
        "a marche.\r\n=41 \xe2\x82\xac\r\n";
    CSMTPAttachment file;
    ASSERT_TRUE(file.AttachFile(dataFile("MicRecorded.wav", "RIFF")));
    for (const bool attached : {false, true}) {
        SCOPED_TRACE(attached ? "multipart" : "single part");
        CEMail mail = m_mail;
        mail.m_from.m_name = name;
        mail.m_subject = subject;
        mail.m_body = body;
        if (attached) {
            mail.AddAttachment(&file);
        }
        ASSERT_EQ(mail.Send(), 1);
        const int n = attached ? 2 : 1;
        const std::string path = m_server.waitForMessage(n, 10000);
        const std::string raw = readFileBytes(path);
        EXPECT_TRUE(mailtext::isAscii(raw.substr(0, raw.find("\r\n\r\n")))) << "raw 8-bit header";
        const SmtpTestServer::ParsedMessage message = m_server.parse(path);
        EXPECT_TRUE(message.parsedCleanly);
        EXPECT_EQ(message.header("From"), name + " <sender@example.org>");
        EXPECT_EQ(message.header("Subject"), subject);
        EXPECT_EQ(message.partTypes.front(), "text/plain; charset=utf-8");
        EXPECT_EQ(comparable(message.body), comparable(body));
        const std::vector<std::string> envelope = m_server.envelope(n);
        EXPECT_EQ(std::count(envelope.begin(), envelope.end(), "option BODY=8BITMIME"), attached ? 0 : 1);
    }
}

// The test certificates: an authority made for this run and server certificates it signed.
const std::string& certificateDir() {
    static const struct Certificates {
        std::string dir;
        Certificates() {
            char pattern[] = "/tmp/qpg-mail-ca-XXXXXX";
            if (::mkdtemp(pattern) != nullptr && makeTestCertificates(sourceDir(), pattern)) {
                dir = std::string(pattern) + "/";
            }
        }
        ~Certificates() { std::filesystem::remove_all(dir); }
    } certificates;
    return certificates.dir;
}

struct TlsCase {
    const char* label;
    const char* certificate;  // the server's, made by make_certificates.sh
    bool trustTestAuthority;  // m_caFile names the test authority
    const char* host;
    int result;
    const char* why;  // in the debug output
};

class CEMailTlsTest : public ::testing::TestWithParam<TlsCase> {};

// A server that offers STARTTLS gets the account only once its certificate has been checked.
TEST_P(CEMailTlsTest, CredentialsGoOnlyToAVerifiedServer) {
    const TlsCase& c = GetParam();
    const std::string& dir = certificateDir();
    ASSERT_FALSE(dir.empty()) << "the test certificates could not be made (openssl installed?)";
    SmtpTestServer server(sourceDir(), kUser, kPassword, dir + c.certificate + ".pem",
                          dir + c.certificate + ".key");
    ASSERT_TRUE(server.running());
    CEMail mail;
    mail.m_smtpServer = c.host;
    mail.m_port = server.port();
    mail.m_authUser = kUser;
    mail.m_authPassword = kPassword;
    mail.m_from = CSMTPAddress("", kUser);
    mail.AddRecipient(CSMTPAddress("", "support@example.org"), RECIPIENT_TO);
    mail.m_body = "Device : Model 83\r\n";
    mail.m_caFile = c.trustTestAuthority ? dir + "ca.pem" : "";
    DebugCapture debug;

    EXPECT_EQ(mail.Send(), c.result);

    const std::string log = server.commandLog();
    EXPECT_NE(log.find("b'STARTTLS'"), std::string::npos) << log;
    EXPECT_EQ(log.find("b'AUTH") != std::string::npos, c.result == 1) << log;
    if (c.result == 1) {
        ASSERT_FALSE(server.waitForMessage(1, 10000).empty());
        const std::vector<std::string> envelope = server.envelope(1);
        EXPECT_EQ(envelope.front(), "login sender@example.org");
        EXPECT_EQ(envelope.back(), "tls");
    }
    EXPECT_NE(debug.text().find(c.why), std::string::npos) << debug.text();
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, CEMailTlsTest,
    ::testing::Values(TlsCase{"TrustedByName", "good", true, "localhost", 1, ""},
                      TlsCase{"TrustedByAddress", "good", true, "127.0.0.1", 1, ""},
                      TlsCase{"UnknownAuthority", "good", false, "localhost", 0,
                              "unable to get local issuer"},
                      TlsCase{"WrongHost", "wrong-host", true, "localhost", 0, "hostname mismatch"},
                      TlsCase{"WrongAddress", "wrong-host", true, "127.0.0.1", 0, "IP address mismatch"}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.label); });

}  // namespace
