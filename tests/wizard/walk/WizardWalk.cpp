// wizard_walk: runs the wizard dialog on a simulated unit and walks every page with Next, then
// back to the welcome page with Back, saving a picture of each page, and ends on the finish
// page with Email Results and Save Setting and Exit. Exit status 0 only when every page was
// reached and the walk ended so. Usage: wizard_walk --out FOLDER [--model=MODEL] [--fault=FAULT]
#include "tests/wizard/walk/WizardWalk.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>

#include "platform/System.h"
#include "wizard/CProbeGuideApp.h"
#include "wizard/GuiMessageBoxHandler.h"

namespace {

const char* pageName(int page) {
    static const char* names[] = {"welcome",        "speaker-test", "microphone-test", "recording",
                                  "playing-record", "echo-test",    "listening-echo",  "finish"};
    return page >= 0 && page <= PAGE_FINISH ? names[page] : "unknown";
}

void runActions(WizardWalk& walk, int page, bool back) {
    for (const auto& action : walkActions()) {
        if (action.page == page && action.back == back) {
            std::cout << "  " << pageName(page) << ": " << action.name << '\n';
            action.run(walk);
        }
    }
}

}  // namespace

WizardWalk::WizardWalk(CProbeGuideDlg& dialog, sim::SimDesktop& simDesktop, std::string outputFolder)
    : dlg(dialog), desktop(simDesktop), m_folder(std::move(outputFolder)) {}

void WizardWalk::click(QWidget* widget) {
    if (!widget->isVisible() || !widget->isEnabled()) {
        fail(widget->objectName().toStdString() + " cannot be clicked: hidden or disabled");
        return;
    }
    QTest::mouseClick(widget, Qt::LeftButton);
}

void WizardWalk::wait(int ms) {
    QTest::qWait(ms);
}

bool WizardWalk::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

void WizardWalk::snapshot(const std::string& name) {
    // Let pending layouts and paints settle first.
    QTest::qWait(50);
    char number[16];
    std::snprintf(number, sizeof number, "%02d", ++m_pictures);
    const std::string path = m_folder + "/" + number + "-" + name + ".png";
    if (!dlg.grab().save(QString::fromStdString(path))) {
        fail("cannot save " + path);
        return;
    }
    std::cout << "  saved " << path << '\n';
}

void WizardWalk::fail(const std::string& what) {
    std::cout << "  FAILED: " << what << '\n';
    m_failed = true;
}

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // As the program does: the debug texts go to the program's logging category, off by default.
    RouteDebugOutputToLog(false);
    std::string folder;
    std::string model = "brevik-kr600";
    std::string faultName = "none";
    sim::SimAudioConfig audio;
    // The sound runs faster than real time, so that the echo test's runs take seconds; not so
    // fast that a busy machine handling its stage marks late would spoil the verdict.
    audio.speedFactor = 4.0;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) {
            folder = args[++i].toStdString();
        } else if (args[i].startsWith("--model=")) {
            model = args[i].mid(8).toStdString();
        } else if (args[i].startsWith("--fault=")) {
            faultName = args[i].mid(8).toStdString();
        } else {
            std::cerr << "usage: wizard_walk --out FOLDER [--model=MODEL] [--fault=FAULT]\n";
            return 2;
        }
    }
    if (folder.empty() || !QDir().mkpath(QString::fromStdString(folder))) {
        std::cerr << "wizard_walk: no output folder to write to\n";
        return 2;
    }
    std::string error;
    const auto options = ParseWizardCommandLine({"--simulate=" + model, "--fault=" + faultName}, error);
    if (!options) {
        std::cerr << "wizard_walk: " << error << '\n';
        return 2;
    }
    audio.acoustic.fault = options->simulatedFault;
    // The walk keeps its settings and recordings in its own folder, not in the user's.
    ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    // Nobody answers boxes in a walk: each is printed and gets its default button.
    GuiMessageBoxHandler::install([](const platform::MessageBoxRequest& request) {
        std::cout << "  message box [" << request.caption << "] " << request.text << '\n';
        return platform::defaultAnswer(request.style);
    });

    sim::SimDesktop desktop(model, audio);
    WizardServices services{desktop.hidBus(),
                            &desktop.endpoints(),
                            desktop.waveDevices(),
                            &desktop.deviceChanges(),
                            DefaultInstallDir(platform::programPath()),
                            DefaultDataDir()};
    bool ok = true;
    {
        CProbeGuideDlg dialog(services);
        dialog.OnInitDialog();
        dialog.show();
        WizardWalk walk(dialog, desktop, folder);
        if (!QTest::qWaitForWindowExposed(&dialog)) {
            walk.fail("the dialog was never shown");
        }

        const std::vector<int> forward{PAGE_WELCOME, PAGE_SPEAKER_TEST, PAGE_MICROPHONE_TEST, PAGE_ECHO_TEST,
                                       PAGE_FINISH};
        std::set<int> reached;
        std::cout << "wizard_walk: " << model << ", canceller fault " << faultName << ", pictures in "
                  << folder << '\n';
        for (std::size_t i = 0; i < forward.size(); ++i) {
            if (dialog.m_page != forward[i]) {
                walk.fail(std::string("Next led to page ") + std::to_string(dialog.m_page) + ", not " +
                          pageName(forward[i]));
                break;
            }
            reached.insert(dialog.m_page);
            walk.snapshot(pageName(dialog.m_page));
            runActions(walk, dialog.m_page, false);
            if (i + 1 < forward.size()) {
                walk.click(dialog.m_nextButton);
            }
        }
        for (std::size_t i = forward.size() - 1; i > 0 && dialog.m_page == forward[i]; --i) {
            runActions(walk, dialog.m_page, true);
            walk.click(dialog.m_backButton);
            if (dialog.m_page != forward[i - 1]) {
                walk.fail(std::string("Back led to page ") + std::to_string(dialog.m_page) + ", not " +
                          pageName(forward[i - 1]));
                break;
            }
            walk.snapshot(std::string("back-") + pageName(dialog.m_page));
        }
        ok = !walk.failed() && reached.size() == forward.size() && dialog.m_page == PAGE_WELCOME &&
             finishWalk(walk);
        if (dialog.isVisible()) {
            dialog.reject();
        }
    }
    GuiMessageBoxHandler::uninstall();
    std::cout << (ok ? "wizard_walk: every page reached\n"
                     : "wizard_walk: the walk did not reach every page\n");
    return ok ? 0 : 1;
}
