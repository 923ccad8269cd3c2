// What the scripted walk does on each page besides taking its picture. Add an action to the
// list to show a page's work in the demo; the walk runs them in order on their page.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <iostream>

#include "mail/MailText.h"
#include "tests/wizard/walk/WizardWalk.h"

namespace {

// The echo test: model 83 measures its speaker delay first, so the far-end, delay and echo runs
// chain; a picture while the echo run records and one of the verdict, with the figures printed.
void runEchoTest(WizardWalk& walk) {
    CProbeGuideDlg& dlg = walk.dlg;
    if (!dlg.m_measureDelayRadio->isHidden()) {
        walk.click(dlg.m_measureDelayRadio);
    }
    walk.click(dlg.m_actionButton);
    if (!walk.waitUntil([&] { return !dlg.m_playing || dlg.m_echoStep == ECHO_STEP_ECHO; }, 60000)) {
        walk.fail("the echo test did not reach its echo run");
        return;
    }
    walk.wait(700);
    if (dlg.m_playing) {
        walk.snapshot("echo-test-running");
    }
    if (!walk.waitUntil([&] { return !dlg.m_playing; }, 60000)) {
        walk.fail("the echo test did not end");
        return;
    }
    if (dlg.m_echoVerdict == VERDICT_NONE) {
        walk.fail("the echo test ended without a verdict");
        return;
    }
    // With a point, as the dialog and the mail show them, whatever the session's locale.
    const auto db = [](double value) { return mailtext::formatFixed(value, 0, 1) + " dB"; };
    const std::string figures =
        dlg.m_hidProtocol.m_protocolVersion >= kEchoStageProtocolLevel
            ? "LMS echo reduction " + db(dlg.m_lmsEchoDb) + ", total echo reduction " + db(dlg.m_totalEchoDb)
            : "residual echo " + db(dlg.m_totalEchoDb);
    std::cout << "  echo test: " << (dlg.m_echoVerdict == VERDICT_PASS ? "PASS" : "FAIL") << ", " << figures;
    if (!dlg.m_delayEdit->isHidden()) {
        std::cout << ", speaker delay " << dlg.m_speakerDelay << " ms";
    }
    std::cout << '\n';
    walk.snapshot("echo-verdict");
}

}  // namespace

// The work of the speaker and microphone pages (WalkSpeakerMicrophone.cpp).
void playVoiceAndMusic(WizardWalk& walk);
void recordAndPlayBack(WizardWalk& walk);

const std::vector<WalkAction>& walkActions() {
    static const std::vector<WalkAction> actions{
        {PAGE_WELCOME, false, "unit found",
         [](WizardWalk& walk) {
             if (!walk.dlg.m_devicePresent) {
                 walk.fail("the simulated unit was not found on the welcome page");
             }
         }},
        {PAGE_SPEAKER_TEST, false, "play voice and music", playVoiceAndMusic},
        {PAGE_MICROPHONE_TEST, false, "record and play back", recordAndPlayBack},
        {PAGE_ECHO_TEST, false, "echo test", runEchoTest},
    };
    return actions;
}
