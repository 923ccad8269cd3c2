// The finish page's Email Results, the results message, and the window menu.
#include <QPushButton>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <charconv>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/CEMail.h"
#include "mail/MailText.h"
#include "platform/MessageBox.h"
#include "platform/System.h"
#include "ui_CProbeGuideDlg.h"
#include "wizard/CAboutDlg.h"
#include "wizard/CProbeGuideDlg.h"
#include "wizard/CRegHelper.h"
#include "wizard/CVersionInfo.h"
#include "wizard/ResultsMailAccount.h"

namespace {

constexpr char kSettingsKey[] = "Software\\Kestu\\Quenlor Probe Guide";

constexpr char kEmailResultsCaption[] = "Email Results";
constexpr char kEmailingText[] = "Emailing ...";
constexpr char kSentText[] = "Email with the test results was successfully sent to Quenlor support.";
constexpr char kNotSentText[] = "Failed to send Email to Quenlor support.";
constexpr char kProgramName[] = "Quenlor's Probe Guide";
constexpr char kBccName[] = "Probe Guide Archive";
constexpr char kSeparator[] = "--------------------------------------------------";
constexpr char kCommentsSeparator[] = "-- Comments --------------------------------------";

// Host names are equal but for the case of their ASCII letters, whatever the locale.
bool SameHost(const std::string& a, const std::string& b) {
    return mailtext::equalsIgnoringAsciiCase(a, b);
}

// Where the message goes and the account it goes with.
struct MailSettings {
    ResultsMailAccount account;  // server, port, sender and support addresses
    std::string authUser;        // empty: no AUTH
    std::string authPassword;
};

// The mail account: the built-in values, replaced by those the settings name. The built-in
// account logs in only to the built-in server; with a server of the settings' own, only the
// settings' account does (none: no AUTH). False when the settings file exists but cannot be
// read: it may name a site's own server, so the built-in one must not stand in for it.
bool ReadMailAccount(const ResultsMailAccount& builtIn, MailSettings& mail) {
    CRegHelper reg;
    reg.SetRoot(HKEY_CURRENT_USER);
    ResultsMailAccount& account = mail.account;
    account = builtIn;
    std::string server;
    std::string user;
    std::string password;
    bool ownServer = false;
    bool ownUser = false;
    bool ownPassword = false;
    if (reg.OpenKey(kSettingsKey)) {
        if (const std::string unreadable = reg.ReadError(); !unreadable.empty()) {
            platform::debugOutput("Results not sent: " + unreadable + "\n");
            return false;
        }
        ownServer = reg.GetString("SMTP Server", server) != 0;
        reg.GetString("SMTP Port", account.port);
        ownUser = reg.GetString("SMTP Account", user) != 0;
        ownPassword = reg.GetString("SMTP Password", password) != 0;
        reg.GetString("Support Email", account.supportAddress);
    }
    const bool builtInServer = !ownServer || SameHost(server, account.server);
    if (ownServer) {
        account.server = server;
    }
    if (ownUser) {
        account.account = user;
    }
    if (builtInServer) {
        mail.authUser = account.account;
        mail.authPassword = ownPassword ? password : account.password;
    } else {
        mail.authUser = ownUser ? user : std::string();
        mail.authPassword = ownPassword ? password : std::string();
    }
    return true;
}

// The port text as a TCP port number, or 0 when it is not one.
int ParsePort(const std::string& text) {
    int port = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, port);
    return error == std::errc() && next == end && port >= 1 && port <= 65535 ? port : 0;
}

// printf's "%5.1f" in the C locale, whatever locale the program runs in.
std::string FixedOneDecimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    std::string text(buffer, result.ptr);
    if (text.size() < 5) {
        text.insert(0, 5 - text.size(), ' ');
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

ResultsMailAccount& BuiltInMailAccount() {
    static ResultsMailAccount account;
    return account;
}

// One sending of the results message. The GUI thread takes what the message needs from the
// page and the unit; the worker thread does everything that waits on files or the network:
// remembering the user's name and address, reading the mail settings, reading and encoding the
// recordings, and the conversation with the server.
class CProbeGuideDlg::ResultsEmailJob {
public:
    ~ResultsEmailJob() {
        if (worker.joinable()) {
            worker.join();
        }
    }

    // Runs on the worker: 1 when the message was sent.
    int Run();

    // From the GUI thread.
    ResultsMailAccount builtInAccount;
    std::string userName;
    std::string userEmail;
    std::string bodyBeforeVersion;  // the body up to the version, which the worker reads
    std::string bodyAfterVersion;
    std::string dataDir;
    std::vector<const char*> recordings;

    // What the worker leaves for the GUI thread.
    CRegHelper settings;
    std::string unreadableSettings;  // why the settings file cannot be read; empty when it can

    std::atomic<bool> aborted{false};  // no more files are read once the window closes
    CEMail mail;
    std::vector<std::unique_ptr<CSMTPAttachment>> attachments;  // outlive the Send
    std::thread worker;
};

int CProbeGuideDlg::ResultsEmailJob::Run() {
    settings.SetRoot(HKEY_CURRENT_USER);
    if (settings.OpenKey(kSettingsKey)) {
        settings.SetString("User Name", userName);
        settings.SetString("User Email", userEmail);
    }
    // A settings file that cannot be read may name the site's own server: nothing is sent.
    unreadableSettings = settings.ReadError();
    MailSettings account;
    if (!unreadableSettings.empty() || !ReadMailAccount(builtInAccount, account)) {
        return 0;
    }
    mail.m_smtpServer = account.account.server;
    mail.m_port = ParsePort(account.account.port);
    if (mail.m_port == 0) {
        platform::debugOutput("SMTP Port setting \"" + account.account.port + "\" is not a port number\n");
        return 0;
    }
    mail.m_authUser = account.authUser;
    mail.m_authPassword = account.authPassword;
    mail.m_mailer = kProgramName;
    mail.m_from = CSMTPAddress(kProgramName, account.account.account);
    mail.AddRecipient(CSMTPAddress("Quenlor Support", account.account.supportAddress), RECIPIENT_TO);
    mail.AddRecipient(CSMTPAddress(kBccName, account.account.account), RECIPIENT_BCC);
    mail.m_subject = "Wizard Test Results";

    CVersionInfo versionInfo;
    mail.m_body = bodyBeforeVersion + Trimmed(versionInfo.Load(nullptr)) + bodyAfterVersion;

    // A recording that is missing is left out without a word.
    for (const char* file : recordings) {
        if (aborted) {
            return 0;
        }
        auto attachment = std::make_unique<CSMTPAttachment>();
        attachment->AttachFile(dataDir + file);
        if (mail.AddAttachment(attachment.get()) >= 0) {
            attachments.push_back(std::move(attachment));
        }
    }
    return mail.Send();
}

void CProbeGuideDlg::OnEmailResults() {
    UpdateData(true);
    if (m_userName.empty() || m_userEmail.empty()) {
        platform::showMessageBox("Probe Guide Emailling", "You must fill the Name and Email fields.    ",
                                 platform::mb::kIconWarning | platform::mb::kOk);
        return;
    }
    // The page shows what goes on while the message is sent off the GUI thread.
    m_emailing = true;
    UpdateData(false);
    if (SendResultsEmail() == 0) {
        OnEmailSent(0);
    }
}

void CProbeGuideDlg::ShowEmailingState() {
    m_instructions = kEmailingText;
    m_ui->IDC_1009->setText(kEmailingText);
    m_actionButton->setText(kEmailingText);
    for (QPushButton* button : {m_actionButton, m_backButton, m_nextButton, m_exitButton}) {
        button->setEnabled(false);
    }
}

void CProbeGuideDlg::OnEmailSent(int sent) {
    m_emailing = false;
    m_instructions = sent != 0 ? kSentText : kNotSentText;
    UpdateData(false);
    m_actionButton->setText(kEmailResultsCaption);
    for (QPushButton* button : {m_actionButton, m_backButton, m_nextButton, m_exitButton}) {
        button->setEnabled(true);
    }
}

void CProbeGuideDlg::AbortEmail() {
    if (m_emailJob != nullptr) {
        m_emailJob->aborted = true;
        m_emailJob->mail.Abort();
        m_emailJob.reset();  // waits for the worker
    }
    m_emailing = false;
}

void CProbeGuideDlg::ReportUnsavedSettings(const CRegHelper& settings) {
    if (settings.WriteError().empty()) {
        return;
    }
    platform::showMessageBox(
        "Probe Guide Settings",
        "The settings could not be saved to\n" + settings.FilePath() + "\n\n" + settings.WriteError(),
        platform::mb::kIconWarning | platform::mb::kOk);
}

int CProbeGuideDlg::SendResultsEmail() {
    auto job = std::make_shared<ResultsEmailJob>();
    job->builtInAccount = BuiltInMailAccount();
    job->userName = m_userName;
    job->userEmail = m_userEmail;
    job->dataDir = m_dataDir;

    std::string deviceBlock;
    if (!m_mixerOnly) {
        if (m_hidProtocol.IsConnected()) {
            deviceBlock = m_hidProtocol.GetDeviceInfoReport();
        } else {
            deviceBlock = "Device : " + m_hidProtocol.GetProductName() + "\r\nUnit ID : " + m_unitId +
                          "\r\nDevice Software Version : " + m_hidProtocol.m_firmwareVersionText +
                          "\r\nDevice was disconnected before sending this email!";
        }
    }
    const std::string echoLines =
        m_hidProtocol.m_protocolVersion >= kEchoStageProtocolLevel
            ? "LMS Echo Reduction \t\t:" + FixedOneDecimal(m_lmsEchoDb) +
                  " dB.\nTotal Echo Reduction \t\t:" + FixedOneDecimal(m_totalEchoDb) + " dB."
            : "Residual Echo \t\t: " + FixedOneDecimal(m_totalEchoDb) + " dB.";
    const bool delayModel = m_hidProtocol.m_productCode == 83;
    const std::string delayLine = delayModel ? "Speaker Delay \t\t\t: " + m_speakerDelay + " [msec]" : "";

    job->bodyBeforeVersion = "From  : " + m_userName + "\r\nEmail : " + m_userEmail + "\r\n" + kSeparator +
                             "\r\n" + deviceBlock + "\r\n" + kSeparator +
                             "\r\nProbe Guide Software Version \t: ";
    job->bodyAfterVersion =
        "\r\n" + echoLines + "\r\n" + delayLine + "\r\n" + kCommentsSeparator + "\r\n" + m_comments + "\r\n";
    // The microphone recording goes only when this session made it: one an earlier session
    // left would be taken for this unit's.
    job->recordings = {"WaveFiles/Echo_Test.wav"};
    if (m_micRecordingKept) {
        job->recordings.insert(job->recordings.begin(), "WaveFiles/MicRecorded.wav");
    }
    if (delayModel) {
        job->recordings.push_back("WaveFiles/Delay_Test.wav");
    }

    // The worker's result comes back to the GUI thread, where it is dropped when the sending
    // has been aborted since.
    m_emailJob = job;
    const std::weak_ptr<ResultsEmailJob> running = job;
    job->worker = std::thread([this, running, work = job.get()] {
        const int sent = work->Run();
        QMetaObject::invokeMethod(
            this,
            [this, running, sent] {
                const auto finished = running.lock();
                if (finished == nullptr || finished != m_emailJob) {
                    return;
                }
                m_emailJob.reset();
                OnEmailSent(sent);
                if (!finished->unreadableSettings.empty()) {
                    m_instructions = std::string(kNotSentText) +
                                     "\nThe settings file cannot be read: " + finished->unreadableSettings;
                    UpdateData(false);
                } else {
                    ReportUnsavedSettings(finished->settings);
                }
            },
            Qt::QueuedConnection);
    });
    return 1;
}

void CProbeGuideDlg::AppendWindowMenu() {
    m_windowMenuButton = new QToolButton(this);
    m_windowMenuButton->setObjectName("windowMenuButton");
    m_windowMenuButton->setText(QString::fromUtf8("\u2261"));
    m_windowMenuButton->setToolTip("Menu");
    m_windowMenuButton->setAutoRaise(true);
    m_windowMenuButton->setPopupMode(QToolButton::InstantPopup);
    m_windowMenuButton->setStyleSheet("QToolButton::menu-indicator { image: none; }");
    QFont font = m_windowMenuButton->font();
    font.setPointSize(18);
    m_windowMenuButton->setFont(font);
    m_windowMenuButton->setMenu(m_systemMenu);
    // Right of the page icon, on its line.
    m_windowMenuButton->setGeometry(900, 26, 34, 32);
}

void CProbeGuideDlg::OnSysCommand(int id) {
    switch (id & 0xFFF0) {
        case IDM_ABOUTBOX: {
            CAboutDlg about(this);
            about.exec();
            break;
        }
        case IDM_DEVICE_INFO:
            m_hidProtocol.Connect(-1, false, true);
            ReselectSpeaker();
            platform::showMessageBox("Quenlor Device Info", m_hidProtocol.GetDeviceInfoReport(),
                                     platform::mb::kIconInformation | platform::mb::kOk);
            break;
        default:
            break;
    }
}
