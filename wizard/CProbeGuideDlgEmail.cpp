// The finish page's Email Results, the results message, and the window menu.
#include <QPushButton>
#include <QToolButton>
#include <charconv>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/CEMail.h"
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

// The mail account: the built-in values, replaced by those the settings name. False when the
// settings file exists but cannot be read: it may name a site's own server, so the built-in
// one must not stand in for it.
bool ReadMailAccount(ResultsMailAccount& mail) {
    CRegHelper reg;
    reg.SetRoot(HKEY_CURRENT_USER);
    if (reg.OpenKey(kSettingsKey)) {
        if (const std::string unreadable = reg.ReadError(); !unreadable.empty()) {
            platform::debugOutput("Results not sent: " + unreadable + "\n");
            return false;
        }
        reg.GetString("SMTP Server", mail.server);
        reg.GetString("SMTP Port", mail.port);
        reg.GetString("SMTP Account", mail.account);
        reg.GetString("SMTP Password", mail.password);
        reg.GetString("Support Email", mail.supportAddress);
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

// One sending of the results message. The message and its attachments are made on the GUI
// thread and handed over whole; the worker thread only talks to the server.
class CProbeGuideDlg::ResultsEmailJob {
public:
    ~ResultsEmailJob() {
        if (worker.joinable()) {
            worker.join();
        }
    }

    CEMail mail;
    std::vector<std::unique_ptr<CSMTPAttachment>> attachments;  // outlive the Send
    std::thread worker;
};

void CProbeGuideDlg::OnEmailResults() {
    UpdateData(true);
    if (m_userName.empty() || m_userEmail.empty()) {
        platform::showMessageBox("Probe Guide Emailling", "You must fill the Name and Email fields.    ",
                                 platform::mb::kIconWarning | platform::mb::kOk);
        return;
    }
    CRegHelper reg;
    reg.SetRoot(HKEY_CURRENT_USER);
    if (reg.OpenKey(kSettingsKey)) {
        reg.SetString("User Name", m_userName);
        reg.SetString("User Email", m_userEmail);
    }
    // A settings file that cannot be read may name the site's own server: nothing is sent.
    if (const std::string unreadable = reg.ReadError(); !unreadable.empty()) {
        m_instructions = std::string(kNotSentText) + "\nThe settings file cannot be read: " + unreadable;
        UpdateData(false);
        return;
    }
    ReportUnsavedSettings(reg);

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
    ResultsMailAccount account = BuiltInMailAccount();
    if (!ReadMailAccount(account)) {
        return 0;
    }
    auto job = std::make_shared<ResultsEmailJob>();
    CEMail& mail = job->mail;
    mail.m_smtpServer = account.server;
    mail.m_port = ParsePort(account.port);
    if (mail.m_port == 0) {
        platform::debugOutput("SMTP Port setting \"" + account.port + "\" is not a port number\n");
        return 0;
    }
    mail.m_authUser = account.account;
    mail.m_authPassword = account.password;
    mail.m_mailer = kProgramName;
    mail.m_from = CSMTPAddress(kProgramName, account.account);
    mail.AddRecipient(CSMTPAddress("Quenlor Support", account.supportAddress), RECIPIENT_TO);
    mail.AddRecipient(CSMTPAddress(kBccName, account.account), RECIPIENT_BCC);
    mail.m_subject = "Wizard Test Results";

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

    CVersionInfo versionInfo;
    const std::string version = Trimmed(versionInfo.Load(nullptr));

    const std::string echoLines =
        m_hidProtocol.m_protocolVersion >= kEchoStageProtocolLevel
            ? "LMS Echo Reduction \t\t:" + FixedOneDecimal(m_lmsEchoDb) +
                  " dB.\nTotal Echo Reduction \t\t:" + FixedOneDecimal(m_totalEchoDb) + " dB."
            : "Residual Echo \t\t: " + FixedOneDecimal(m_totalEchoDb) + " dB.";
    const bool delayModel = m_hidProtocol.m_productCode == 83;
    const std::string delayLine = delayModel ? "Speaker Delay \t\t\t: " + m_speakerDelay + " [msec]" : "";

    mail.m_body = "From  : " + m_userName + "\r\nEmail : " + m_userEmail + "\r\n" + kSeparator + "\r\n" +
                  deviceBlock + "\r\n" + kSeparator + "\r\nProbe Guide Software Version \t: " + version +
                  "\r\n" + echoLines + "\r\n" + delayLine + "\r\n" + kCommentsSeparator + "\r\n" +
                  m_comments + "\r\n";

    // A recording that is missing is left out without a word.
    std::vector<const char*> recordings = {"WaveFiles/MicRecorded.wav", "WaveFiles/Echo_Test.wav"};
    if (delayModel) {
        recordings.push_back("WaveFiles/Delay_Test.wav");
    }
    for (const char* file : recordings) {
        auto attachment = std::make_unique<CSMTPAttachment>();
        attachment->AttachFile(m_dataDir + file);
        if (mail.AddAttachment(attachment.get()) >= 0) {
            job->attachments.push_back(std::move(attachment));
        }
    }

    // The conversation runs on a worker; its result comes back to the GUI thread, where it is
    // dropped when the sending has been aborted since.
    m_emailJob = job;
    const std::weak_ptr<ResultsEmailJob> running = job;
    job->worker = std::thread([this, running, message = &job->mail] {
        const int sent = message->Send();
        QMetaObject::invokeMethod(
            this,
            [this, running, sent] {
                const auto finished = running.lock();
                if (finished != nullptr && finished == m_emailJob) {
                    m_emailJob.reset();
                    OnEmailSent(sent);
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
