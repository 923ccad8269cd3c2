// The finish page's Email Results: the message a real SMTP server receives, the checks of the
// name and address, and the settings that point the wizard at a site's own server.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "mail/Base64Coder.h"
#include "mail/CSocketX.h"
#include "mail/MailText.h"
#include "platform/SettingsStore.h"
#include "tests/mail/FakeSmtpServer.h"
#include "tests/mail/SmtpTestServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"
#include "wizard/CVersionInfo.h"
#include "wizard/ResultsMailAccount.h"

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

    // Clicks Email Results, waits for the sending to end and reads the message the server saved;
    // nullopt when none came.
    std::optional<SmtpTestServer::ParsedMessage> emailResults() {
        ButtonWatch watch(*dlg, received);
        click(dlg->m_actionButton);
        EXPECT_TRUE(waitUntil([&] { return !dlg->IsEmailing(); }, 30000));
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
    // As after a recording kept on the microphone page.
    writeRecording("MicRecorded.wav", "RIFF mic bytes\r\n.\r\n\0\xff");
    dlg->m_micRecordingKept = true;
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
    const std::string echo =
        "LMS Echo Reduction \t\t:" + mailtext::formatFixed(dlg->m_lmsEchoDb, 5, 1) +
        " dB.\nTotal Echo Reduction \t\t:" + mailtext::formatFixed(dlg->m_totalEchoDb, 5, 1) + " dB.";
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

// The device block and the echo lines by the state of the unit, without recordings: the
// microphone recording an earlier session left is not this session's and stays out.
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
        // The re-detection lays the page out again: it comes before the click, as the user's does,
        // not over the page that tells how the sending went.
        ASSERT_TRUE(waitUntil([&] { return !dlg->m_devicePresent; }));
        block = "Device : " + product + "\r\nUnit ID : UNIT-7\r\nDevice Software Version : " + firmware +
                "\r\nDevice was disconnected before sending this email!";
    } else if (!c.mixerOnly) {
        block = dlg->m_hidProtocol.GetDeviceInfoReport();
        ASSERT_FALSE(block.empty());
    }
    writeRecording("MicRecorded.wav", "RIFF earlier session");
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

// The built-in account logs in only to the built-in server (a scripted server stands in for
// it); with a server the settings name, only the settings' own account does, and without one
// there is no AUTH at all.
TEST_F(EmailResults, BuiltInPasswordOnlyForTheBuiltInServer) {
    const auto base64 = [](const std::string& text) {
        Base64Coder coder;
        coder.EncodeString(text.c_str());
        return std::string(coder.GetEncoded());
    };
    const ResultsMailAccount builtIn = BuiltInMailAccount();
    struct Case {
        const char* what;
        bool siteServer;
        const char* account;            // the settings' own; nullptr: none
        std::vector<std::string> auth;  // the commands from AUTH LOGIN to MAIL FROM
    };
    const std::vector<Case> cases{
        {"built-in server",
         false,
         nullptr,
         {"AUTH LOGIN", base64(builtIn.account), base64(builtIn.password)}},
        {"site server, no account", true, nullptr, {}},
        {"site server, own account without password",
         true,
         "site@mail.test",
         {"AUTH LOGIN", base64("site@mail.test"), ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSmtpServer probe;
        BuiltInMailAccount().server = c.siteServer ? "mail.example.com" : "127.0.0.1";
        BuiltInMailAccount().port = std::to_string(probe.port());
        std::string text = "[Values]\nSupport Email=sz:" + std::string(kSupport) + "\n";
        if (c.siteServer) {
            text += "SMTP Server=sz:127.0.0.1\nSMTP Port=sz:" + std::to_string(probe.port()) + "\n";
        }
        if (c.account != nullptr) {
            text += "SMTP Account=sz:" + std::string(c.account) + "\n";
        }
        std::ofstream(settingsFile(kKey), std::ios::binary | std::ios::trunc) << text;
        start("velmar-old");
        toFinishPage();
        click(dlg->m_actionButton);
        ASSERT_TRUE(waitUntil([&] { return !dlg->IsEmailing(); }, 30000));
        BuiltInMailAccount() = builtIn;
        expectSent(true);
        probe.waitDone();
        std::vector<std::string> commands = probe.commands();
        ASSERT_GE(commands.size(), 2u);
        const auto mailFrom = std::find_if(commands.begin(), commands.end(), [](const std::string& l) {
            return l.rfind("MAIL FROM:", 0) == 0;
        });
        EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, mailFrom), c.auth);
        EXPECT_EQ(probe.received().find(base64(builtIn.password)) != std::string::npos, !c.siteServer);
        TearDown();
    }
}

// A settings file that cannot be read may name the site's server: nothing goes to the
// built-in one (a private server stands in for it) nor anywhere else, and the page names the
// file and the line.
TEST_F(EmailResults, UnreadableSettingsSendNothing) {
    LoopbackListener builtIn;
    const ResultsMailAccount saved = BuiltInMailAccount();
    BuiltInMailAccount().server = "127.0.0.1";
    BuiltInMailAccount().port = std::to_string(builtIn.port());
    const std::string file = settingsFile(kKey);
    std::ofstream(file, std::ios::app) << "SMTP Server mail.site.example\n";
    start("velmar-old");
    toFinishPage();
    EXPECT_FALSE(emailResults());
    BuiltInMailAccount() = saved;
    const int connection = builtIn.accept(100);
    EXPECT_EQ(connection, -1);
    if (connection >= 0) {
        ::close(connection);
    }
    EXPECT_EQ(dlg->m_instructions,
              "Failed to send Email to Quenlor support.\nThe settings file cannot be read: read " + file +
                  ": line 7 is not a setting");
    EXPECT_EQ(boxes->count(), 0u);
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());
}

// Makes a folder read-only for the scope: by its mode, or (for root, whom modes do not stop)
// by the immutable flag. ok() is false when neither holds.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string path) : m_path(std::move(path)) {
        ::chmod(m_path.c_str(), 0555);
        if (!writable()) {
            return;
        }
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            m_immutable = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~ReadOnlyFolder() {
        if (m_immutable) {
            const int fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) {
                ::close(fd);
            }
        }
        ::chmod(m_path.c_str(), 0755);
    }
    bool ok() const { return !writable(); }

private:
    bool writable() const {
        const std::string probe = m_path + "/.probe";
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        ::unlink(probe.c_str());
        return true;
    }
    std::string m_path;
    bool m_immutable = false;
};

// Settings that cannot be written (a read-only configuration folder): a box names the file,
// and the click still does the rest of its work.
TEST_F(EmailResults, UnwritableSettingsAreToldInABox) {
    struct Case {
        const char* what;
        const char* key;  // whose file the box names
        std::function<void()> click;
        std::function<void()> expectRest;
    };
    std::size_t from = 0;
    const std::vector<Case> cases{
        {"Email Results", kKey, [&] { EXPECT_TRUE(emailResults()); },
         [&] {
             expectSent(true);
             EXPECT_EQ(setting("User Name"), "(none)");
         }},
        {"Save Setting and Exit", "Software\\Kestu\\Quenlor Audio Setup",
         [&] {
             from = mark();
             click(dlg->m_nextButton);
         },
         [&] {
             EXPECT_EQ(dlg->result(), QDialog::Accepted);
             EXPECT_EQ(commandWordsSince(from), (std::vector<std::uint16_t>{0xB100, 0xB7FF, 0xB100}));
             EXPECT_FALSE(std::filesystem::exists(settingsFile("Software\\Kestu\\Quenlor Audio Setup")));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start("brevik-kr600");
        dlg->OnNext();
        dlg->OnNext();
        dlg->OnNext();
        dlg->OnNext();
        ASSERT_EQ(dlg->m_page, PAGE_FINISH);
        toFinishPage();
        boxes->clear();
        {
            const ReadOnlyFolder readOnly(configHome.path() + "/Kestu");
            if (!readOnly.ok()) {
                GTEST_SKIP() << "no way to make a folder read-only here";
            }
            c.click();
        }
        ASSERT_EQ(boxes->count(), 1u);
        const platform::MessageBoxRequest box = boxes->shown()[0];
        EXPECT_EQ(box.caption, "Probe Guide Settings");
        EXPECT_EQ(box.text.rfind("The settings could not be saved to\n" + settingsFile(c.key) + "\n\n", 0),
                  0u)
            << box.text;
        EXPECT_EQ(box.style, platform::mb::kIconWarning | platform::mb::kOk);
        c.expectRest();
        TearDown();
    }
}

// Whether the instructions were painted showing "Emailing ...", and the page's buttons then.
struct PaintWatch : QObject {
    explicit PaintWatch(CProbeGuideDlg& dialog) : dlg(dialog) {
        dlg.findChild<QLabel*>("IDC_1009")->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && static_cast<QLabel*>(watched)->text() == "Emailing ...") {
            paintedEmailing = true;
            for (QPushButton* b :
                 {dlg.m_actionButton, dlg.m_backButton, dlg.m_nextButton, dlg.m_exitButton}) {
                anyButtonEnabled = anyButtonEnabled || b->isEnabled();
            }
        }
        return false;
    }
    CProbeGuideDlg& dlg;
    bool paintedEmailing = false;
    bool anyButtonEnabled = false;
};

// The window stays alive while the message goes: against a normal server, one silent for 5 s
// before its greeting and one slow to every reply, the click returns at once with the sending
// going on, and "Emailing ..." is painted with the page's buttons off. The silent server has
// not seen a command by the time of that paint: the conversation waits on another thread while
// the GUI thread handles its events.
TEST_F(EmailResults, SendingKeepsTheWindowAlive) {
    struct Case {
        const char* what;
        std::uint32_t greetingDelayMs;  // a scripted server; 0 with replyDelayMs 0: the real one
        std::uint32_t replyDelayMs;
    };
    for (const Case& c : {Case{"normal", 0, 0}, Case{"silent", 5000, 0}, Case{"slow", 0, 400}}) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<FakeSmtpServer> fake;
        if (c.greetingDelayMs != 0 || c.replyDelayMs != 0) {
            FakeReply greeting = FakeReply::text("220 fake ready\r\n");
            greeting.delayMs = c.greetingDelayMs;
            const std::uint32_t delay = c.replyDelayMs;
            fake = std::make_unique<FakeSmtpServer>(
                [delay](const std::string& command) {
                    FakeReply reply = FakeSmtpServer::standardReply(command);
                    reply.delayMs = delay;
                    return reply;
                },
                greeting);
            setSetting("SMTP Port", std::to_string(fake->port()));
        }
        start("velmar-old");
        dlg->show();
        toFinishPage();
        processEvents(50);
        PaintWatch paints(*dlg);
        click(dlg->m_actionButton);
        EXPECT_TRUE(dlg->IsEmailing());
        ASSERT_TRUE(waitUntil([&] { return paints.paintedEmailing; }, 30000));
        if (c.greetingDelayMs != 0) {
            EXPECT_TRUE(fake->commands().empty());
        }
        ASSERT_TRUE(waitUntil([&] { return !dlg->IsEmailing(); }, 30000));
        EXPECT_FALSE(paints.anyButtonEnabled);
        expectSent(true);
        if (fake) {
            fake->waitDone();
            EXPECT_NE(fake->data().find("Loud room."), std::string::npos);
        } else {
            EXPECT_FALSE(server->waitForMessage(++received, 2000).empty());
        }
        TearDown();
        setSetting("SMTP Port", std::to_string(server->port()));
    }
}

// Whether a connect to the loopback port is waiting for its answer (a socket in SYN-SENT).
bool connectWaitingOn(int port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string local;
    std::string remote;
    std::string state;
    std::string line;
    std::getline(table, line);
    while (table >> line >> local >> remote >> state) {
        if (remote.size() > 5 && remote.compare(remote.size() - 5, 5, wanted) == 0 && state == "02") {
            return true;
        }
        std::getline(table, line);
    }
    return false;
}

// Closing the window while the message goes ends the sending: the abort reaches the worker
// wherever it waits (for a silent server's greeting, or in a connect that never completes),
// the close does not wait for any time-out, nothing is reported as sent and the server gets
// no end of data.
TEST_F(EmailResults, ClosingWhileSendingEndsItCleanly) {
    struct Case {
        const char* what;
        bool hangingConnect;
        const char* failedStep;  // what the conversation tells of its end
    };
    for (const Case& c : {Case{"silent greeting", false, "greeting: reply not read (10103)"},
                          Case{"hanging connect", true, "connect: connect 127.0.0.1: 127.0.0.1:"}}) {
        SCOPED_TRACE(c.what);
        FakeReply greeting = FakeReply::text("220 fake ready\r\n");
        greeting.delayMs = 3000;
        std::unique_ptr<FakeSmtpServer> silent;
        if (!c.hangingConnect) {
            silent = std::make_unique<FakeSmtpServer>(FakeSmtpServer::standardReply, greeting);
        }
        // A listener whose queue is full never completes a connect.
        LoopbackListener full(0);
        std::vector<std::unique_ptr<CSocketX>> fillers;
        if (c.hangingConnect) {
            for (bool waited = false; !waited && fillers.size() < 8;) {
                fillers.push_back(std::make_unique<CSocketX>());
                waited = !fillers.back()->Connect("127.0.0.1", full.port(), 300);
            }
        }
        setSetting("SMTP Port", std::to_string(c.hangingConnect ? full.port() : silent->port()));
        start("velmar-old");
        dlg->show();
        toFinishPage();
        std::string debug;
        std::mutex debugMutex;
        platform::setDebugOutputSink([&](const std::string& text) {
            std::lock_guard lock(debugMutex);
            debug += text + "\n";
        });
        click(dlg->m_actionButton);
        if (c.hangingConnect) {
            ASSERT_TRUE(waitUntil([&] { return connectWaitingOn(full.port()); }, 5000));
        } else {
            ASSERT_TRUE(waitUntil([&] { return silent->connected(); }, 5000));
        }
        ASSERT_TRUE(dlg->IsEmailing());
        dlg->close();
        platform::setDebugOutputSink({});
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_FALSE(dlg->IsEmailing());
        EXPECT_NE(debug.find(std::string("CEMail::Send: ") + c.failedStep), std::string::npos) << debug;
        EXPECT_NE(debug.find(std::strerror(ECANCELED)), std::string::npos) << debug;
        processEvents(100);
        EXPECT_EQ(dlg->m_instructions, "Emailing ...");
        if (silent) {
            silent->waitDone();
            EXPECT_TRUE(silent->commands().empty());
        }
        TearDown();
    }
}

}  // namespace
