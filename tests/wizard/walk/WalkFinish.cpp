// The end of the scripted walk: forward again to the finish page, Email Results to a private
// SMTP server, then Save Setting and Exit.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <iostream>

#include "tests/mail/SmtpTestServer.h"
#include "tests/wizard/walk/WizardWalk.h"
#include "wizard/CRegHelper.h"

namespace {

constexpr char kAccount[] = "walk@mail.test";
constexpr char kPassword[] = "walk-secret";

// Points the wizard's results e-mail at the server through the program's own settings.
bool useServer(const SmtpTestServer& server) {
    CRegHelper reg;
    reg.SetRoot(HKEY_CURRENT_USER);
    if (!reg.OpenKey("Software\\Kestu\\Quenlor Probe Guide")) {
        return false;
    }
    reg.SetString("SMTP Server", "127.0.0.1");
    reg.SetString("SMTP Port", std::to_string(server.port()));
    reg.SetString("SMTP Account", kAccount);
    reg.SetString("SMTP Password", kPassword);
    reg.SetString("Support Email", "support@mail.test");
    return true;
}

void emailResults(WizardWalk& walk) {
    CProbeGuideDlg& dlg = walk.dlg;
    // A private server: Debian's python3-aiosmtpd on 127.0.0.1 and a free port.
    SmtpTestServer server(QPG_WALK_SOURCE_DIR, kAccount, kPassword);
    if (!server.running() || !useServer(server)) {
        walk.fail("the private SMTP server did not start");
        return;
    }
    dlg.m_nameEdit->clear();
    dlg.m_emailEdit->clear();
    QTest::keyClicks(dlg.m_nameEdit, "Demo User");
    QTest::keyClicks(dlg.m_emailEdit, "demo.user@mail.test");
    QTest::keyClicks(dlg.m_commentsEdit, "Sent by the scripted walk of scripts/demo.");
    walk.click(dlg.m_actionButton);
    std::cout << "  email results: " << dlg.m_instructions << '\n';
    // The message goes on a worker thread; the page says how it went when it is done.
    if (!QTest::qWaitFor([&dlg] { return !dlg.IsEmailing(); }, 30000)) {
        walk.fail("the sending did not end");
        return;
    }
    const std::string received = server.waitForMessage(1, 5000);
    if (received.empty()) {
        walk.fail("the SMTP server received no message");
        return;
    }
    const std::string kept = walk.folder() + "/results-email.eml";
    std::error_code error;
    std::filesystem::copy_file(received, kept, std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        walk.fail("cannot keep the message as " + kept);
        return;
    }
    std::cout << "  saved " << kept << " (as the server received it)\n";
    if (dlg.m_instructions != "Email with the test results was successfully sent to Quenlor support.") {
        walk.fail("the finish page does not say the e-mail was sent");
    }
    walk.snapshot("email-sent");
}

}  // namespace

bool finishWalk(WizardWalk& walk) {
    CProbeGuideDlg& dlg = walk.dlg;
    for (int clicks = 0; dlg.m_page != PAGE_FINISH && clicks < 8 && !walk.failed(); ++clicks) {
        walk.click(dlg.m_nextButton);
    }
    if (dlg.m_page != PAGE_FINISH) {
        walk.fail("Next did not lead back to the finish page");
        return false;
    }
    std::cout << "  finish: email results, then Save Setting and Exit\n";
    emailResults(walk);
    if (dlg.m_nextButton->text() != "Save Setting and Exit") {
        walk.fail("the finish page's Next does not read \"Save Setting and Exit\"");
        return false;
    }
    walk.click(dlg.m_nextButton);
    if (dlg.isVisible() || dlg.result() != QDialog::Accepted) {
        walk.fail("Save Setting and Exit did not end the wizard");
        return false;
    }
    std::cout << "  the wizard ended with Save Setting and Exit\n";
    return !walk.failed();
}
