// The finish page's Email Results: the message a real SMTP server receives, the checks of the
// name and address, and the settings that point the wizard at a site's own server.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>

#include "tests/mail/SmtpTestServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"
#include "wizard/CVersionInfo.h"

namespace {

constexpr char kKey[] = "Software\\Kestu\\Quenlor Probe Guide";
constexpr char kAccount[] = "wizard@mail.test";
constexpr char kPassword[] = "site-secret";
constexpr char kSupport[] = "help@mail.test";
constexpr char kSeparator[] = "--------------------------------------------------";

class EmailResults : public WizardFixture {
protected:
    static void SetUpTestSuite() {
        server = new SmtpTestServer(std::getenv("QPG_SOURCE_DIR"), kAccount, kPassword);
        received = 0;
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server->running());
        setSetting("SMTP Server", "127.0.0.1");
        setSetting("SMTP Port", std::to_string(server->port()));
        setSetting("SMTP Account", kAccount);
        setSetting("SMTP Password", kPassword);
        setSetting("Support Email", kSupport);
    }

    static void setSetting(const std::string& name, const std::string& value) {
        CRegHelper reg;
        ASSERT_TRUE(reg.OpenKey(kKey));
        reg.SetString(name, value);
    }
    static std::string setting(const std::string& name) {
        CRegHelper reg;
        std::string value = "(none)";
        if (reg.OpenKey(kKey)) {
            reg.GetString(name, value);
        }
        return value;
    }

    // The finish page after a test with the verdict, the user's fields filled in.
    void toFinishPage(const std::string& name = "Ann Example", const std::string& email = "ann@mail.test") {
        dlg->m_page = PAGE_FINISH;
        if (dlg->m_echoVerdict == VERDICT_NONE) {
            dlg->m_echoVerdict = VERDICT_PASS;
        }
        dlg->ShowPage();
        dlg->m_nameEdit->setText(QString::fromStdString(name));
        dlg->m_emailEdit->setText(QString::fromStdString(email));
        dlg->m_commentsEdit->setPlainText("Loud room.");
    }

    // Clicks Email Results and reads the message the server saved; nullopt when none came. The
    // click returns once the server has accepted (and saved) the message.
    std::optional<SmtpTestServer::ParsedMessage> emailResults() {
        ButtonWatch watch(*dlg, received);
        click(dlg->m_actionButton);
        sendingState = watch.seen;
        const std::string path = server->waitForMessage(++received, 500);
        if (path.empty()) {
            --received;
            return std::nullopt;
        }
        rawMessage = readFileBytes(path);
        envelope = server->envelope(received);
        return server->parse(path);
    }

    // Whatever a click must leave behind.
    void expectSent(bool sent) {
        EXPECT_EQ(dlg->m_instructions,
                  sent ? "Email with the test results was successfully sent to Quenlor support."
                       : "Failed to send Email to Quenlor support.");
        EXPECT_EQ(dlg->m_actionButton->text().toStdString(), "Email Results");
        EXPECT_TRUE(dlg->m_actionButton->isEnabled());
    }

    // The body as the server reads it: SMTP carries every line break as CR LF, so a bare LF or
    // CR of the text (the template joins the two echo lines with a bare LF) goes out as CR LF.
    // A single-part message holds it as it is; Python's email package reads the same text.
    void expectBody(const SmtpTestServer::ParsedMessage& message, const std::string& expected) const {
        std::string wire;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (expected[i] == '\r' || expected[i] == '\n') {
                wire += "\r\n";
                i += expected.compare(i, 2, "\r\n") == 0 ? 1 : 0;
            } else {
                wire += expected[i];
            }
        }
        if (message.attachments.empty()) {
            EXPECT_NE(rawMessage.find("\r\n\r\n" + wire + "\r\n"), std::string::npos);
        }
        std::string parsed = message.body;
        for (std::size_t at; (at = parsed.find("\r\n")) != std::string::npos;) {
            parsed.replace(at, 2, "\n");
        }
        for (std::size_t at; (at = wire.find("\r\n")) != std::string::npos;) {
            wire.replace(at, 2, "\n");
        }
        EXPECT_EQ(parsed.substr(0, parsed.find_last_not_of('\n') + 1),
                  wire.substr(0, wire.find_last_not_of('\n') + 1));
    }

    std::string recording(const std::string& name) const {
        return readFileBytes(dlg->m_dataDir + "WaveFiles/" + name);
    }
    void writeRecording(const std::string& name, const std::string& bytes) const {
        ASSERT_TRUE(writeFileBytes(dlg->m_dataDir + "WaveFiles/" + name, bytes));
    }

    static std::string version() {
        CVersionInfo info;
        std::string text = info.Load(nullptr);
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    }

    static std::string body(const std::string& deviceBlock, const std::string& echoLines,
                            const std::string& delayLine) {
        return "From  : Ann Example\r\nEmail : ann@mail.test\r\n" + std::string(kSeparator) + "\r\n" +
               deviceBlock + "\r\n" + kSeparator + "\r\nProbe Guide Software Version \t: " + version() +
               "\r\n" + echoLines + "\r\n" + delayLine +
               "\r\n-- Comments --------------------------------------\r\nLoud room.\r\n";
    }

    // What the page shows when the action button is disabled for sending: its caption, the
    // instructions, and whether the server had the message yet.
    struct ButtonWatch : QObject {
        ButtonWatch(CProbeGuideDlg& dialog, int before) : dlg(dialog), messagesBefore(before) {
            dlg.m_actionButton->installEventFilter(this);
        }
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::EnabledChange && !dlg.m_actionButton->isEnabled()) {
                const bool sentYet = !server->waitForMessage(messagesBefore + 1, 0).empty();
                seen = dlg.m_actionButton->text().toStdString() + "|" +
                       dlg.findChild<QLabel*>("IDC_1009")->text().toStdString() + (sentYet ? "|sent" : "");
            }
            return false;
        }
        CProbeGuideDlg& dlg;
        int messagesBefore;
        std::string seen;
    };

    static SmtpTestServer* server;
    std::string sendingState;
    static int received;
    std::string rawMessage;
    std::vector<std::string> envelope;
};

SmtpTestServer* EmailResults::server = nullptr;
int EmailResults::received = 0;

TEST_F(EmailResults, FullMessageAfterEchoTest) {
    start("brevik-kr600");
    // A unit that never had its speaker delay set.
    dlg->m_hidProtocol.SetParameterItem(0, 13, 0, 0xFFFF);
    dlg->m_hidProtocol.SetParameterItem(0, 13, 1, 0xFFFF);
    dlg->OnNext();
    dlg->OnNext();
    dlg->OnNext();
    ASSERT_EQ(dlg->m_page, PAGE_ECHO_TEST);
    dlg->m_keepDelayRadio->click();
    click(dlg->m_actionButton);
    ASSERT_TRUE(waitUntil([&] { return dlg->m_echoVerdict != VERDICT_NONE && !dlg->m_playing; }, 30000));
    dlg->OnNext();
    ASSERT_EQ(dlg->m_page, PAGE_FINISH);
    writeRecording("MicRecorded.wav", "RIFF mic bytes\r\n.\r\n\0\xff");
    writeRecording("Delay_Test.wav", std::string(57, 'd'));
    toFinishPage();
    const std::string report = dlg->m_hidProtocol.GetDeviceInfoReport();
    ASSERT_FALSE(report.empty());
    ASSERT_EQ(dlg->m_speakerDelay, "Not Set");
    ASSERT_GE(dlg->m_hidProtocol.m_protocolVersion, 6);

    const auto message = emailResults();
    ASSERT_TRUE(message);
    EXPECT_EQ(sendingState, "Emailing ...|Emailing ...");
    expectSent(true);
    EXPECT_TRUE(message->parsedCleanly);
    char echo[128];
    std::snprintf(echo, sizeof echo, "LMS Echo Reduction \t\t:%5.1f dB.\nTotal Echo Reduction \t\t:%5.1f dB.",
                  dlg->m_lmsEchoDb, dlg->m_totalEchoDb);
    expectBody(*message, body(report, echo, "Speaker Delay \t\t\t: Not Set [msec]"));

    const std::vector<std::pair<std::string, std::string>> attachments = {
        {"MicRecorded.wav", recording("MicRecorded.wav")},
        {"Echo_Test.wav", recording("Echo_Test.wav")},
        {"Delay_Test.wav", recording("Delay_Test.wav")}};
    EXPECT_GT(attachments[1].second.size(), 44u);
    EXPECT_EQ(message->attachments, attachments);

    EXPECT_EQ(message->header("Subject"), "Wizard Test Results");
    EXPECT_EQ(message->header("From"), std::string("Quenlor's Probe Guide <") + kAccount + ">");
    EXPECT_EQ(message->header("To"), std::string("Quenlor Support <") + kSupport + ">");
    EXPECT_EQ(message->header("X-Mailer"), "Quenlor's Probe Guide");
    EXPECT_FALSE(message->hasHeader("Cc"));
    EXPECT_FALSE(message->hasHeader("Bcc"));
    EXPECT_EQ(envelope,
              (std::vector<std::string>{std::string("login ") + kAccount, std::string("from ") + kAccount,
                                        std::string("to ") + kSupport, std::string("to ") + kAccount}));
    // The name and address are remembered for the next start.
    EXPECT_EQ(setting("User Name"), "Ann Example");
    EXPECT_EQ(setting("User Email"), "ann@mail.test");
}

// The device block and the echo lines by the state of the unit, without recordings.
struct BlockCase {
    const char* what;
    const char* model;
    int protocolLevel;  // 0: as the unit reports it
    bool mixerOnly;
    bool unplugged;
    const char* echoLines;
    const char* delayLine;
};

void PrintTo(const BlockCase& c, std::ostream* os) {
    *os << c.what;
}

class EmailBlocks : public EmailResults, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(EmailBlocks, BodyByState) {
    const BlockCase& c = GetParam();
    start(c.model);
    dlg->m_lmsEchoDb = 12.34;
    dlg->m_totalEchoDb = -3.46;
    dlg->m_unitId = "UNIT-7";
    dlg->m_speakerDelay = "12";
    if (c.protocolLevel != 0) {
        dlg->m_hidProtocol.m_protocolVersion = c.protocolLevel;
    }
    dlg->m_mixerOnly = c.mixerOnly;
    const std::string product = dlg->m_hidProtocol.GetProductName();
    const std::string firmware = dlg->m_hidProtocol.m_firmwareVersionText;
    ASSERT_FALSE(product.empty());
    ASSERT_FALSE(firmware.empty());
    std::string block;
    if (c.unplugged) {
        desktop->unplug();
        block = "Device : " + product + "\r\nUnit ID : UNIT-7\r\nDevice Software Version : " + firmware +
                "\r\nDevice was disconnected before sending this email!";
    } else if (!c.mixerOnly) {
        block = dlg->m_hidProtocol.GetDeviceInfoReport();
        ASSERT_FALSE(block.empty());
    }
    toFinishPage();

    const auto message = emailResults();
    ASSERT_TRUE(message);
    expectSent(true);
    expectBody(*message, body(block, c.echoLines, c.delayLine));
    // No recordings: a single-part message.
    EXPECT_TRUE(message->attachments.empty());
    EXPECT_EQ(message->partTypes, std::vector<std::string>{"text/plain; charset=us-ascii"});
}

INSTANTIATE_TEST_SUITE_P(
    States, EmailBlocks,
    ::testing::Values(BlockCase{"Level6", "velmar-old", 0, false, false,
                                "LMS Echo Reduction \t\t: 12.3 dB.\nTotal Echo Reduction \t\t: -3.5 dB.", ""},
                      BlockCase{"Level5", "velmar-old", 5, false, false, "Residual Echo \t\t:  -3.5 dB.", ""},
                      BlockCase{"MixerOnly", "velmar-old", 0, true, false,
                                "LMS Echo Reduction \t\t: 12.3 dB.\nTotal Echo Reduction \t\t: -3.5 dB.", ""},
                      BlockCase{"UnitGone", "brevik-kr600", 0, false, true,
                                "LMS Echo Reduction \t\t: 12.3 dB.\nTotal Echo Reduction \t\t: -3.5 dB.",
                                "Speaker Delay \t\t\t: 12 [msec]"}),
    [](const auto& info) { return std::string(info.param.what); });

// A field left empty: the warning box, and nothing stored or sent.
TEST_F(EmailResults, NameAndAddressBothNeeded) {
    start("velmar-old");
    for (const auto& [name, email] :
         {std::pair<std::string, std::string>{"Ann Example", ""}, {"", "ann@mail.test"}}) {
        SCOPED_TRACE(name + "|" + email);
        boxes->clear();
        toFinishPage(name, email);
        const std::string instructions = dlg->m_instructions;
        click(dlg->m_actionButton);
        ASSERT_EQ(boxes->count(), 1u);
        const platform::MessageBoxRequest box = boxes->shown()[0];
        EXPECT_EQ(box.caption, "Probe Guide Emailling");
        EXPECT_EQ(box.text, "You must fill the Name and Email fields.    ");
        EXPECT_EQ(box.style, platform::mb::kIconWarning | platform::mb::kOk);
        EXPECT_EQ(dlg->m_instructions, instructions);
        EXPECT_EQ(setting("User Name"), "(none)");
        EXPECT_EQ(setting("User Email"), "(none)");
        EXPECT_FALSE(std::filesystem::exists(server->directory() + "/message-" +
                                             std::to_string(received + 1) + ".eml"));
    }
}

// A port setting that is no port: nothing is sent, the page says so, the user may try again.
TEST_F(EmailResults, BadPortSettingFailsTheSend) {
    start("velmar-old");
    setSetting("SMTP Port", "25x");
    toFinishPage();
    EXPECT_FALSE(emailResults());
    expectSent(false);
    setSetting("SMTP Port", std::to_string(server->port()));
    EXPECT_TRUE(emailResults());
    expectSent(true);
}

}  // namespace
