#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "DebugCapture.h"
#include "FakeSmtpServer.h"
#include "mail/CEMail.h"
#include "mail/CSocketX.h"
#include "mail/MailText.h"
#include "platform/System.h"

namespace {

constexpr std::uint32_t kReplyTimeoutMs = 250;
constexpr std::uint32_t kStallMs = 700;

const char kUserBase64[] = "c2VuZGVyQGV4YW1wbGUub3Jn";  // sender@example.org
const char kPasswordBase64[] = "U2VjcmV0LTEyMw==";      // Secret-123

CEMail makeMail(int port) {
    CEMail mail;
    mail.m_smtpServer = "127.0.0.1";
    mail.m_port = port;
    mail.m_replyTimeoutMs = kReplyTimeoutMs;
    mail.m_authUser = "sender@example.org";
    mail.m_authPassword = "Secret-123";
    mail.m_from = CSMTPAddress("Quenlor's Probe Guide", "sender@example.org");
    mail.m_mailer = "Quenlor's Probe Guide";
    mail.m_subject = "Wizard Test Results";
    mail.AddRecipient(CSMTPAddress("Quenlor Support", "support@example.org"), RECIPIENT_TO);
    mail.AddRecipient(CSMTPAddress("Archive", "archive@example.org"), RECIPIENT_BCC);
    mail.m_body = "From  : Tester\r\nEmail : tester@example.org\r\n";
    return mail;
}

// The commands of a whole conversation after EHLO.
const std::vector<std::string> kAfterEhlo = {"AUTH LOGIN",
                                             kUserBase64,
                                             kPasswordBase64,
                                             "MAIL FROM:<sender@example.org>",
                                             "RCPT TO:<support@example.org>",
                                             "RCPT TO:<archive@example.org>",
                                             "DATA",
                                             "<data>",
                                             "QUIT"};

std::vector<std::string> afterEhlo(const std::vector<std::string>& commands) {
    if (commands.empty() || commands[0].rfind("EHLO ", 0) != 0 || commands[0].size() <= 5) {
        ADD_FAILURE() << "no EHLO with a host name first";
        return commands;
    }
    return std::vector<std::string>(commands.begin() + 1, commands.end());
}

// A script that answers every command like a willing server except the one at index wrongAt.
FakeSmtpServer::Script wrongAt(int index, FakeReply reply) {
    auto count = std::make_shared<int>(0);
    return [count, index, reply](const std::string& command) {
        return (*count)++ == index ? reply : FakeSmtpServer::standardReply(command);
    };
}

TEST(CEMailConversationTest, WholeConversationInOrder) {
    FakeSmtpServer server;
    CEMail mail = makeMail(server.port());
    mail.AddRecipient(CSMTPAddress("", "copy@example.org"), RECIPIENT_CC);
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    std::vector<std::string> expected = kAfterEhlo;
    expected.insert(expected.begin() + 5, "RCPT TO:<copy@example.org>");  // To, then Cc, then Bcc
    EXPECT_EQ(afterEhlo(server.commands()), expected);
}

TEST(CEMailConversationTest, NoAuthenticationWithoutUser) {
    FakeSmtpServer server;
    CEMail mail = makeMail(server.port());
    mail.m_authUser.clear();
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    EXPECT_EQ(afterEhlo(server.commands()),
              std::vector<std::string>(kAfterEhlo.begin() + 3, kAfterEhlo.end()));
}

TEST(CEMailConversationTest, EmptyPasswordIsAnEmptyLineAndNoRecipientsMeansNoRcpt) {
    FakeSmtpServer server;
    CEMail mail = makeMail(server.port());
    mail.m_authPassword.clear();
    mail.m_to.clear();
    mail.m_bcc.clear();
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    EXPECT_EQ(afterEhlo(server.commands()),
              (std::vector<std::string>{"AUTH LOGIN", kUserBase64, "", "MAIL FROM:<sender@example.org>",
                                        "DATA", "<data>", "QUIT"}));
}

// A wrong reply code at any step ends the conversation with QUIT and result 0: a plain refusal,
// and a code that differs from the expected one only in its third digit.
class WrongCodeTest : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(WrongCodeTest, QuitFollowsTheRefusedCommand) {
    // Greeting, EHLO, AUTH LOGIN, user, password, MAIL FROM, RCPT (To), RCPT (Bcc), DATA, end of data.
    static const char* const kExpected[] = {"220", "250", "334", "334", "235",
                                            "250", "250", "250", "354", "250"};
    const auto [step, nearMiss] =
        GetParam();  // step indexes the commands after the greeting; -1 is the greeting
    std::string text = "554 5.0.0 not today";
    if (nearMiss) {
        text = kExpected[step + 1];
        ++text[2];
        text += " near miss";
    }
    const FakeReply refusal = FakeReply::text(text + "\r\n");
    FakeSmtpServer server(
        step < 0 ? FakeSmtpServer::Script(FakeSmtpServer::standardReply) : wrongAt(step, refusal),
        step < 0 ? refusal : FakeReply::text("220 ready\r\n"));
    DebugCapture debug;
    EXPECT_EQ(makeMail(server.port()).Send(), 0);
    server.waitDone();
    const std::vector<std::string> commands = server.commands();
    ASSERT_EQ(commands.size(), static_cast<std::size_t>(step + 2));
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_NE(debug.text().find(text), std::string::npos) << debug.text();
}

INSTANTIATE_TEST_SUITE_P(EveryStep, WrongCodeTest,
                         ::testing::Combine(::testing::Range(-1, 9), ::testing::Bool()));

TEST(CEMailConversationTest, RefusedPasswordAndContinueInsteadOfAcceptSendQuit) {
    for (const char* reply : {"535 5.7.8 Authentication credentials invalid\r\n", "334 UGFzc3dvcmQ6\r\n"}) {
        FakeSmtpServer server(wrongAt(3, FakeReply::text(reply)));
        EXPECT_EQ(makeMail(server.port()).Send(), 0) << reply;
        server.waitDone();
        EXPECT_EQ(afterEhlo(server.commands()),
                  (std::vector<std::string>{"AUTH LOGIN", kUserBase64, kPasswordBase64, "QUIT"}));
    }
}

TEST(CEMailConversationTest, ReplyShorterThanACodeNeverMatches) {
    FakeSmtpServer server(wrongAt(4, FakeReply::text("25\r\n")));
    EXPECT_EQ(makeMail(server.port()).Send(), 0);
    server.waitDone();
    EXPECT_EQ(server.commands().back(), "QUIT");
}

// A server that never answers (it waits for the client to go): result 0 after the reply
// time-out, and no QUIT.
class StallTest : public ::testing::TestWithParam<int> {};

TEST_P(StallTest, TimeOutEndsTheConversationWithoutQuit) {
    const int step = GetParam();
    const FakeReply stall{};
    const FakeReply greeting = step < 0 ? FakeReply{} : FakeReply::text("220 ready\r\n");
    FakeSmtpServer server(
        step < 0 ? FakeSmtpServer::Script(FakeSmtpServer::standardReply) : wrongAt(step, stall), greeting);
    DebugCapture debug;
    EXPECT_EQ(makeMail(server.port()).Send(), 0);
    server.waitDone();
    EXPECT_EQ(server.commands().size(), static_cast<std::size_t>(step + 1));
    EXPECT_NE(debug.text().find("(10060)"), std::string::npos) << debug.text();
}

// The greeting, the EHLO reply and the reply to the end of the data.
INSTANTIATE_TEST_SUITE_P(Steps, StallTest, ::testing::Values(-1, 0, 8));

TEST(CEMailConversationTest, ConnectionClosedMidConversationFails) {
    for (const FakeReply& reply : {FakeReply{{}, 0, 0, true}, FakeReply{{"250-half a re"}, 0, 0, true}}) {
        FakeSmtpServer server(wrongAt(5, reply));
        EXPECT_EQ(makeMail(server.port()).Send(), 0);
        server.waitDone();
        EXPECT_EQ(server.commands().back(), "RCPT TO:<support@example.org>");
    }
}

// A message with a recording of megabytes attached: what its sends leave in the socket takes
// a while to reach the server.
struct Recording {
    CSMTPAttachment attachment;
    Recording() {
        attachment.m_name = attachment.m_fileName = "Echo_Test.wav";
        attachment.m_encoded.assign(3 << 20, 'A');
        attachment.m_encodedLength = static_cast<int>(attachment.m_encoded.size());
    }
};

// Whatever the server says during the data, before the end of it, fails the send, however
// late in the data it comes: an early "250" must not be taken for the answer to the end of the
// data, and whatever the server then does with the data (a close, silence or a refusal) the
// message is not reported sent. The early reply comes with the "354", on the data's first
// bytes, or on its last line, once the client has written everything but the end of the data.
// A server that reads megabytes slowly gets the last line long after the client has written it,
// so the client must wait for its data to arrive before it listens for an early reply.
TEST(CEMailConversationTest, ReplyDuringDataFailsTheSend) {
    const std::vector<std::pair<const char*, FakeReply>> ends{
        {"close", FakeReply{{}, 0, 0, true}},
        {"silence", FakeReply{}},
        {"refusal", FakeReply::text("554 5.6.0 refused after all\r\n")}};
    const FakeReply early = FakeReply::text("250 2.0.0 early\r\n");
    for (const bool big : {false, true}) {
        Recording recording;
        // When the early reply comes, and how many bytes a second the server reads (0: as fast as it comes).
        std::vector<std::tuple<const char*, EarlyReply, std::uint32_t>> whens{
            {"with the 354", {}, 0},
            {"on the first bytes", {"From: ", early}, 0},
            {"on the last line", {big ? "--#BOUNDARY#--" : "Email : tester@example.org", early}, 0}};
        if (big) {
            whens.push_back({"on the last line read slowly", {"--#BOUNDARY#--", early}, 2 << 20});
        }
        for (const auto& [when, earlyReply, readRate] : whens) {
            for (const auto& [what, end] : ends) {
                SCOPED_TRACE(std::string(big ? "megabytes, " : "small, ") + when + ", then " + what);
                const FakeReply dataReply = earlyReply.seen.empty()
                                                ? FakeReply::text("354 go ahead\r\n250 2.0.0 early\r\n")
                                                : FakeReply::text("354 go ahead\r\n");
                int successes = 0;
                // Read slowly, the early reply comes over a second after the client's last write:
                // no race to repeat.
                for (int run = 0; run < (readRate > 0 ? 1 : 20); ++run) {
                    FakeSmtpServer server(
                        [&, end = end](const std::string& command) {
                            return command == "DATA"     ? dataReply
                                   : command == "<data>" ? end
                                   : command == "QUIT"   ? FakeReply{}
                                                         : FakeSmtpServer::standardReply(command);
                        },
                        FakeReply::text("220 fake ready\r\n"), earlyReply, readRate);
                    CEMail mail = makeMail(server.port());
                    if (readRate > 0) {
                        // Read slowly, the data reaches its last line long after the client wrote
                        // it: a client that took the early reply for the answer to the end of the
                        // data must not time out before it comes.
                        mail.m_replyTimeoutMs = SMTP_REPLY_TIMEOUT_MS;
                    }
                    if (big) {
                        mail.AddAttachment(&recording.attachment);
                    }
                    DebugCapture debug;
                    successes += mail.Send();
                    server.waitDone();
                    if (run == 0) {
                        // The end of the data never went out; QUIT answered the early reply.
                        const std::string received = server.received();
                        EXPECT_EQ(received.find("\r\n.\r\n"), std::string::npos);
                        EXPECT_EQ(received.substr(received.size() - 6), "QUIT\r\n");
                        EXPECT_NE(debug.text().find("unexpected reply \"250 2.0.0 early\""),
                                  std::string::npos)
                            << debug.text();
                    }
                }
                EXPECT_EQ(successes, 0);
            }
        }
    }
}

// The 250 to the end of the data takes the message: it is sent whatever answers QUIT (221,
// another code, a closing notice, a close, silence), unless that answer refuses (5xx). The reply to QUIT is
// waited for a second at most, however long the reply time-out.
TEST(CEMailConversationTest, AcceptedMessageIsSentUnlessQuitRefusesIt) {
    struct Case {
        FakeReply quit;
        int result;
        std::string told;  // by the debug output
    };
    const std::vector<Case> cases{
        {FakeReply{{"221 bye\r\n"}, 0, 0, true}, 1, ""},
        {FakeReply{{"221-bye\r\n", "221 for now\r\n"}, 0, 0, false}, 1, ""},
        {FakeReply{{"250 bye\r\n"}, 0, 0, true}, 1, ""},
        {FakeReply{{}, 0, 0, true}, 1, "QUIT: the server closed the connection"},
        {FakeReply{}, 1, "QUIT: the message was accepted; no answer read within 1000 ms"},
        {FakeReply{{"554-5.6.0 refused\r\n", "554 5.6.0 after all\r\n"}, 0, 0, true}, 0,
         "QUIT: the data was refused after all: \"554 5.6.0 after all\""},
        {FakeReply{{"421 4.3.2 shutting down\r\n"}, 0, 0, true}, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.quit.chunks.empty() ? (c.quit.close ? "close" : "silence") : c.quit.chunks[0]);
        FakeSmtpServer server([&c](const std::string& command) {
            return command == "QUIT" ? c.quit : FakeSmtpServer::standardReply(command);
        });
        CEMail mail = makeMail(server.port());
        mail.m_replyTimeoutMs = SMTP_REPLY_TIMEOUT_MS;
        DebugCapture debug;
        EXPECT_EQ(mail.Send(), c.result);
        server.waitDone();
        EXPECT_EQ(server.commands().back(), "QUIT");
        if (c.told.empty()) {
            EXPECT_EQ(debug.text(), "");
        } else {
            EXPECT_NE(debug.text().find(c.told), std::string::npos) << debug.text();
        }
    }
}

// A reply is bounded as a whole: by the reply time-out however steadily its lines come, and by
// its size however fast they come.
TEST(CEMailConversationTest, EndlessMultiLineRepliesEndTheConversation) {
    FakeReply trickle{std::vector<std::string>(100, "250-still going\r\n"), 0, 20, false};
    FakeReply flood{std::vector<std::string>(200, "250-" + std::string(1000, 'f') + "\r\n"), 0, 0, false};
    for (const auto& [reply, error] : {std::pair{trickle, "(10060)"}, std::pair{flood, "(10040)"}}) {
        FakeSmtpServer server(wrongAt(0, reply));
        DebugCapture debug;
        EXPECT_EQ(makeMail(server.port()).Send(), 0);
        server.waitDone();
        EXPECT_EQ(server.commands().size(), 1u);  // EHLO, then no QUIT
        EXPECT_NE(debug.text().find(error), std::string::npos) << debug.text();
    }
}

// STARTTLS offered by a server that cannot carry it through: no credential goes out.
TEST(CEMailConversationTest, FailedStartTlsSendsNoCredential) {
    const std::string offer = "250-fake greets you\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n";
    const std::vector<std::pair<FakeReply, std::string>> answers = {
        {FakeReply{{"220 go ahead\r\n"}, 0, 0, true}, "TLS handshake: the server closed the connection"},
        {FakeReply{{"220 go ahead\r\n", "HTTP/1.1 400 Bad Request\r\n\r\n"}, 0, 50, true},
         "TLS handshake: TLS"},
        {FakeReply::text("220 go ahead\r\n250 AUTH LOGIN\r\n"), "the server sent more before it"},
        {FakeReply::text("454 4.7.0 TLS not available\r\n"), "expected 220"},
    };
    for (const auto& [answer, why] : answers) {
        FakeSmtpServer server([offer, answer](const std::string& command) {
            return command.rfind("EHLO", 0) == 0 ? FakeReply::text(offer)
                   : command == "STARTTLS"       ? answer
                                                 : FakeSmtpServer::standardReply(command);
        });
        DebugCapture debug;
        EXPECT_EQ(makeMail(server.port()).Send(), 0) << why;
        server.waitDone();
        const std::vector<std::string> commands = server.commands();
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands[1], "STARTTLS");
        EXPECT_EQ(server.received().find(kUserBase64), std::string::npos) << why;
        EXPECT_EQ(server.received().find("AUTH"), std::string::npos) << why;
        EXPECT_NE(debug.text().find(why), std::string::npos) << debug.text();
    }
}

TEST(CEMailConversationTest, RepliesSplitOverReadsAndMultiLineRepliesKeepInStep) {
    FakeReply greeting{{"2", "20-fake.example.org ESMTP\r\n220", " ready\r\n"}, 0, 40, false};
    std::string ehlo = "250-fake.example.org greets you\r\n";
    for (int i = 0; i < 12; ++i) {
        ehlo += "250-X-EXTENSION-NUMBER-" + std::to_string(i) + " with a long description\r\n";
    }
    ehlo += "250 AUTH LOGIN\r\n";
    ASSERT_GT(ehlo.size(), 256u);
    auto count = std::make_shared<int>(0);
    FakeSmtpServer server(
        [count, ehlo](const std::string& command) {
            if ((*count)++ == 0) {
                return FakeReply{
                    {ehlo.substr(0, 100), ehlo.substr(100, 200), ehlo.substr(300)}, 0, 30, false};
            }
            FakeReply reply = FakeSmtpServer::standardReply(command);
            const std::string text = reply.chunks.empty() ? "" : reply.chunks[0];
            if (text.size() > 3) {  // each reply in two reads
                reply.chunks = {text.substr(0, 2), text.substr(2)};
                reply.gapMs = 20;
            }
            return reply;
        },
        greeting);
    EXPECT_EQ(makeMail(server.port()).Send(), 1);
    server.waitDone();
    EXPECT_EQ(afterEhlo(server.commands()), kAfterEhlo);
}

TEST(CEMailConversationTest, LongMultiLineReplyIsNotTakenForTheNextReply) {
    // The EHLO reply is longer than one 256-byte read; the refusal of MAIL FROM must be seen.
    std::string ehlo;
    for (int i = 0; i < 10; ++i) {
        ehlo += "250-X-EXTENSION-NUMBER-" + std::to_string(i) + " with a long description\r\n";
    }
    ehlo += "250 OK\r\n";
    auto count = std::make_shared<int>(0);
    FakeSmtpServer server([count, ehlo](const std::string& command) {
        const int index = (*count)++;
        if (index == 0) {
            return FakeReply::text(ehlo);
        }
        return index == 1 ? FakeReply::text("550 5.7.1 sender refused\r\n")
                          : FakeSmtpServer::standardReply(command);
    });
    CEMail mail = makeMail(server.port());
    mail.m_authUser.clear();
    EXPECT_EQ(mail.Send(), 0);
    server.waitDone();
    EXPECT_EQ(afterEhlo(server.commands()),
              (std::vector<std::string>{"MAIL FROM:<sender@example.org>", "QUIT"}));
}

TEST(CEMailConversationTest, SinglePartDataIsHeaderThenStuffedNormalisedBody) {
    FakeSmtpServer server;
    CEMail mail = makeMail(server.port());
    mail.m_body = "first\n.\n.hidden\r\nQUIT\rlast " + std::string(1500, 'x') + "\n";
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    EXPECT_EQ(afterEhlo(server.commands()), kAfterEhlo);  // the "." line did not end the data
    const std::string data = server.data();
    const std::size_t bodyStart = data.find("\r\n\r\n") + 4;
    EXPECT_EQ(data.rfind("From: Quenlor's Probe Guide <sender@example.org>\r\nTo: Quenlor Support "
                         "<support@example.org>\r\nSubject: Wizard Test Results\r\nDate: ",
                         0),
              0u);
    EXPECT_EQ(data.substr(0, bodyStart).find("archive@example.org"), std::string::npos);  // Bcc stays hidden
    EXPECT_NE(data.find("\r\nX-Mailer: Quenlor's Probe Guide\r\nMIME-Version: 1.0\r\n"
                        "Content-type: text/plain; charset=US-ASCII\r\n\r\nfirst"),
              std::string::npos);
    EXPECT_EQ(data.substr(bodyStart), "first\r\n..\r\n..hidden\r\nQUIT\r\nlast " + std::string(993, 'x') +
                                          "\r\n" + std::string(507, 'x') + "\r\n\r\n\r\n.\r\n");
}

TEST(CEMailConversationTest, MultipartDataLayout) {
    FakeSmtpServer server;
    CEMail mail = makeMail(server.port());
    CSMTPAttachment first;
    CSMTPAttachment second;
    first.m_name = first.m_fileName = "MicRecorded.wav";
    first.m_encoded = "QUFB\r\n";
    first.m_encodedLength = 6;
    second.m_name = second.m_fileName = "Echo Test; 2.wav";
    second.m_encoded = "QQ==\r\n";
    second.m_encodedLength = 6;
    ASSERT_EQ(mail.AddAttachment(&first), 0);
    ASSERT_EQ(mail.AddAttachment(&second), 1);
    mail.m_body = "a=b\r\n.\r\n";
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    const std::string data = server.data();
    const std::size_t bodyStart = data.find("\r\n\r\n") + 4;
    EXPECT_EQ(data.substr(bodyStart),
              "\r\n--#BOUNDARY#\r\nContent-Type: text/plain; charset=us-ascii\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
              "a=3Db\r\n..\r\n\r\n"
              "\r\n\r\n--#BOUNDARY#\r\nContent-Type: application/octet-stream; name=\"MicRecorded.wav\"\r\n"
              "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
              "filename=\"MicRecorded.wav\"\r\n"
              "\r\nQUFB\r\n"
              "\r\n\r\n--#BOUNDARY#\r\nContent-Type: application/octet-stream; name=\"Echo Test; 2.wav\"\r\n"
              "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"Echo Test; "
              "2.wav\"\r\n"
              "\r\nQQ==\r\n"
              "\r\n--#BOUNDARY#--\r\n.\r\n");
}

// Non-ASCII text is declared UTF-8 and goes as 8-bit data only to a server that takes it; ASCII
// text keeps its layout byte for byte whatever the server offers.
TEST(CEMailConversationTest, TextTransferFollowsTheTextAndTheServer) {
    struct Case {
        std::string body;
        bool offers8BitMime;
        std::string mailFrom;
        std::string typeLines;  // after "MIME-Version: 1.0\r\n"
        std::string data;       // after the header
    };
    const std::string accented = "caf\xc3\xa9 =\r\n";
    const std::vector<Case> cases = {
        {"cafe =\r\n", true, "MAIL FROM:<sender@example.org>",
         "Content-type: text/plain; charset=US-ASCII\r\n", "cafe =\r\n\r\n"},
        {accented, true, "MAIL FROM:<sender@example.org> BODY=8BITMIME",
         "Content-type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n", accented + "\r\n"},
        {accented, false, "MAIL FROM:<sender@example.org>",
         "Content-type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: quoted-printable\r\n",
         "caf=C3=A9 =3D\r\n\r\n"},
    };
    for (const Case& c : cases) {
        FakeSmtpServer server([&c](const std::string& command) {
            return command.rfind("EHLO", 0) == 0 && c.offers8BitMime
                       ? FakeReply::text("250-fake greets you\r\n250-8BITMIME\r\n250 AUTH LOGIN\r\n")
                       : FakeSmtpServer::standardReply(command);
        });
        CEMail mail = makeMail(server.port());
        mail.m_body = c.body;
        EXPECT_EQ(mail.Send(), 1);
        server.waitDone();
        EXPECT_EQ(server.commands()[4], c.mailFrom);
        const std::string data = server.data();
        const std::size_t bodyStart = data.find("\r\n\r\n") + 4;
        EXPECT_NE(data.find("\r\nMIME-Version: 1.0\r\n" + c.typeLines + "\r\n"), std::string::npos) << data;
        EXPECT_EQ(data.substr(bodyStart), c.data + "\r\n.\r\n");
    }
}

// Protocol keywords and host names compare by ASCII rules, also in a locale whose upper case
// of "i" is not "I": a server that writes "8bitmime" offers 8-bit data.
TEST(CEMailConversationTest, KeywordsCompareByAsciiRulesInATurkishLocale) {
    struct LocaleRestore {
        std::string before = std::setlocale(LC_ALL, nullptr);
        ~LocaleRestore() { std::setlocale(LC_ALL, before.c_str()); }
    } restore;
    if (std::setlocale(LC_ALL, "tr_TR.UTF-8") == nullptr) {
        GTEST_SKIP() << "the tr_TR.UTF-8 locale is not installed";
    }
    FakeSmtpServer server([](const std::string& command) {
        return command.rfind("EHLO", 0) == 0 ? FakeReply::text("250-fake greets you\r\n250 8bitmime\r\n")
                                             : FakeSmtpServer::standardReply(command);
    });
    CEMail mail = makeMail(server.port());
    mail.m_body = "caf\xc3\xa9\r\n";
    EXPECT_EQ(mail.Send(), 1);
    server.waitDone();
    ASSERT_GT(server.commands().size(), 4u);
    EXPECT_EQ(server.commands()[4], "MAIL FROM:<sender@example.org> BODY=8BITMIME");
    EXPECT_TRUE(mailtext::equalsIgnoringAsciiCase("SMTP.MAIL.INFO", "smtp.mail.info"));
    EXPECT_FALSE(mailtext::equalsIgnoringAsciiCase("smtp.mail.info", "smtp.mail.inf0"));
}

TEST(CEMailConversationTest, HeaderValuesThatWouldAddLinesAreRefusedBeforeConnecting) {
    LoopbackListener listener;
    CSMTPAttachment attachment;
    attachment.m_name = attachment.m_fileName = "x.wav";
    attachment.m_encoded = "QQ==\r\n";
    attachment.m_encodedLength = 6;
    const std::vector<std::pair<std::string, std::function<void(CEMail&)>>> faults = {
        {"subject", [](CEMail& m) { m.m_subject = "Results\r\nBcc: eve@example.org"; }},
        {"sender name", [](CEMail& m) { m.m_from.m_name = "Guide\nX-Evil: 1"; }},
        {"To recipient address",
         [](CEMail& m) { m.m_to[0].m_address = "a@b.c>\r\nRCPT TO:<eve@example.org"; }},
        {"Bcc recipient name", [](CEMail& m) { m.m_bcc[0].m_name = std::string("a\0b", 3); }},
        {"mailer", [](CEMail& m) { m.m_mailer = "x\r"; }},
        {"reply-to address", [](CEMail& m) { m.m_replyTo.m_address = "r@e.f\n"; }},
        {"attachment name",
         [&attachment](CEMail& m) {
             attachment.m_name = "a.wav\r\nContent-Type: text/html";
             m.AddAttachment(&attachment);
         }},
    };
    for (const auto& [what, spoil] : faults) {
        CEMail mail = makeMail(listener.port());
        spoil(mail);
        DebugCapture debug;
        EXPECT_EQ(mail.Send(), 0) << what;
        EXPECT_NE(debug.text().find(what + " holds a line break or NUL"), std::string::npos) << debug.text();
    }
    EXPECT_EQ(listener.accept(100), -1);  // nothing connected
}

TEST(CEMailConversationTest, ConnectFailuresReturnZero) {
    int port;
    {
        LoopbackListener gone;
        port = gone.port();
    }
    EXPECT_EQ(makeMail(port).Send(), 0);

    // A server whose connection queue is full never completes the connect: bounded by its time-out.
    LoopbackListener full(0);
    CSocketX fillers[4];
    for (CSocketX& filler : fillers) {
        ASSERT_TRUE(filler.Create());
        if (!filler.Connect("127.0.0.1", full.port(), 300)) {
            break;
        }
    }
    CEMail mail = makeMail(full.port());
    mail.m_connectTimeoutMs = 300;
    DebugCapture debug;
    EXPECT_EQ(mail.Send(), 0);
    EXPECT_NE(debug.text().find("connect"), std::string::npos) << debug.text();
}

}  // namespace

// A server that takes the DATA command and then stops reading: the send of a large attachment
// must give up once nothing more leaves within the reply time-out.
TEST(CEMailConversationTest, ServerThatStopsReadingMidAttachmentEndsTheSend) {
    LoopbackListener listener;
    std::atomic<bool> release{false};
    std::thread peer([&] {
        const int fd = listener.accept(5000);
        if (fd < 0) {
            return;
        }
        sendAllTo(fd, "220 ready\r\n");
        std::string pending;
        char buffer[512];
        bool data = false;
        while (!data) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; !data && (end = pending.find("\r\n")) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                data = line == "DATA";
                sendAllTo(fd, FakeSmtpServer::standardReply(line).chunks.front());
            }
        }
        while (!release) {
            platform::sleepMs(10);
        }
        ::close(fd);
    });

    CEMail mail = makeMail(listener.port());
    CSMTPAttachment attachment;
    attachment.m_name = attachment.m_fileName = "Echo_Test.wav";
    attachment.m_encoded.assign(64 * 1024 * 1024, 'A');
    attachment.m_encodedLength = static_cast<int>(attachment.m_encoded.size());
    ASSERT_EQ(mail.AddAttachment(&attachment), 0);
    DebugCapture debug;
    EXPECT_EQ(mail.Send(), 0);
    // Ended by the stall time-out of the attachment's send, not by the peer.
    EXPECT_NE(debug.text().find("attachment: send: Connection timed out"), std::string::npos) << debug.text();
    release = true;
    peer.join();
}
