// A Qt generic plugin for the installation test: loaded into the installed program (by
// QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS=qpginstallprobe), it works the real dialog as a
// user would and prints what the program shows:
//   DESKTOPFILE <the desktop file name the program gives Qt>
//   ABOUT <the About box's version line>
//   PLAYFILE <the play file the program has open once Play Voice is pressed>
//   BOX <caption>: <text>   for any message box that comes up
// then ends the dialog. It adds nothing to the program itself.
#include <QAction>
#include <QApplication>
#include <QGenericPlugin>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <filesystem>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// The path of an open file whose name ends with `tail`, from /proc/self/fd; empty when none.
QString openFileEndingWith(const std::string& tail) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
        if (!linkError && target.size() >= tail.size() &&
            target.compare(target.size() - tail.size(), tail.size(), tail) == 0) {
            return QString::fromStdString(target);
        }
    }
    return {};
}

class InstallProbe : public QObject {
public:
    InstallProbe() {
        connect(&m_timer, &QTimer::timeout, this, &InstallProbe::step);
        m_timer.start(50);
    }

private:
    QWidget* wizard() const {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == "IDD_WIZARD_DIALOG" && widget->isVisible()) {
                return widget;
            }
        }
        return nullptr;
    }

    void step() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            say("BOX " + box->windowTitle() + ": " + box->text());
            box->done(QMessageBox::Ok);
            return;
        }
        QWidget* dialog = wizard();
        if (dialog == nullptr) {
            return;
        }
        ++m_ticks;
        switch (m_stage) {
            case 0: {  // open the About box from the window menu
                auto* button = dialog->findChild<QToolButton*>("windowMenuButton");
                if (button == nullptr || button->menu() == nullptr) {
                    return;
                }
                for (QAction* action : button->menu()->actions()) {
                    if (action->data().toInt() == 16) {
                        m_stage = 1;
                        QTimer::singleShot(0, action, &QAction::trigger);
                        return;
                    }
                }
                return;
            }
            case 1: {  // read it and close it
                QWidget* about = QApplication::activeModalWidget();
                if (about == nullptr || about->objectName() != "IDD_ABOUTBOX") {
                    return;
                }
                auto* line = about->findChild<QLabel*>("IDC_1020");
                say("DESKTOPFILE " + QGuiApplication::desktopFileName());
                say("ABOUT " + (line != nullptr ? line->text() : QString()));
                static_cast<QDialog*>(about)->accept();
                m_stage = 2;
                return;
            }
            case 2: {  // Next to the speaker test, then Play Voice
                auto* next = dialog->findChild<QPushButton*>("IDC_1003");
                auto* action = dialog->findChild<QPushButton*>("IDC_1001");
                if (next == nullptr || action == nullptr || !action->isEnabled()) {
                    return;
                }
                // Queued, so that a box the click brings up finds this timer free to run.
                QTimer::singleShot(0, action, [next, action] {
                    next->click();
                    action->click();
                });
                m_stage = 3;
                m_ticks = 0;
                return;
            }
            case 3: {  // the play file, once the speaker thread has it open
                const QString path = openFileEndingWith("/WaveFiles/VoicePlayback.wav");
                if (path.isEmpty() && m_ticks < 100) {
                    return;
                }
                say("PLAYFILE " + path);
                m_timer.stop();
                static_cast<QDialog*>(dialog)->reject();
                return;
            }
        }
    }

    QTimer m_timer;
    int m_stage = 0;
    int m_ticks = 0;
};

}  // namespace

class InstallProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "InstallProbe.json")

public:
    QObject* create(const QString&, const QString&) override { return new InstallProbe; }
};

#include "InstallProbe.moc"
