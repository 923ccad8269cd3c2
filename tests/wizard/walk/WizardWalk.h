#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimDesktop.h"
#include "wizard/CProbeGuideDlg.h"

// The scripted walk through the real wizard dialog on a simulated unit, driven with QTest.
// scripts/demo runs it when there is no display; each page's PNG goes into the output folder.
class WizardWalk {
public:
    WizardWalk(CProbeGuideDlg& dialog, sim::SimDesktop& desktop, std::string outputFolder);

    CProbeGuideDlg& dlg;
    sim::SimDesktop& desktop;

    // Clicks a control as a user would.
    void click(QWidget* widget);
    // Lets the dialog run (timers, audio messages) for `ms` milliseconds.
    void wait(int ms);
    // Runs until `done` holds or `timeoutMs` has passed; true when it holds.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    // Saves a picture of the dialog as "<number>-<name>.png" and prints its path.
    void snapshot(const std::string& name);
    // Notes a failed expectation: the walk then ends with a non-zero status.
    void fail(const std::string& what);

    bool failed() const { return m_failed; }
    // The folder the pictures go to.
    const std::string& folder() const { return m_folder; }

private:
    std::string m_folder;
    int m_pictures = 0;
    bool m_failed = false;
};

// What the walk does on a page before it moves on with Next (or, for `back`, with Back).
// Actions run in list order; each one may click, wait, check and take snapshots.
struct WalkAction {
    int page;
    bool back;  // run on the way back instead of the way forward
    std::string name;
    std::function<void(WizardWalk&)> run;
};

// The actions of the walk, in order (WalkActions.cpp).
const std::vector<WalkAction>& walkActions();

// The walk's end, from the welcome page: forward to the finish page, Email Results to a private
// SMTP server (the message it receives is kept in the folder), then Save Setting and Exit
// (WalkFinish.cpp). True when the wizard ended that way.
bool finishWalk(WizardWalk& walk);
