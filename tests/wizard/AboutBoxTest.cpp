// The window menu's button, the About box and the device-information box.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QToolButton>

#include "tests/wizard/WizardFixture.h"
#include "wizard/CAboutDlg.h"
#include "wizard/CVersionInfo.h"

namespace {

std::string versionLine(const QDialog& about) {
    const auto* line = about.findChild<QLabel*>("IDC_1020");
    return line != nullptr ? line->text().toStdString() : "(no line)";
}

struct AboutCase {
    const char* what;
    const char* versionFile;
    const char* text;
};

void PrintTo(const AboutCase& c, std::ostream* os) {
    *os << c.what;
}

class AboutText : public ::testing::TestWithParam<AboutCase> {};

TEST_P(AboutText, NamesLinuxAndTheFileVersion) {
    CAboutDlg about(nullptr, GetParam().versionFile);
    EXPECT_EQ(versionLine(about), GetParam().text);
    EXPECT_EQ(about.windowTitle().toStdString(), "About Quenlor Probe Guide");
}

INSTANTIATE_TEST_SUITE_P(Versions, AboutText,
                         ::testing::Values(AboutCase{"Plain", VERSION_SAMPLE_PLAIN,
                                                     "Quenlor's Probe Guide for Linux Version 1.0.2.3 "},
                                           AboutCase{"SpecialBuild", VERSION_SAMPLE_BETA,
                                                     "Quenlor's Probe Guide for Linux Version 1.0.2.3 beta"}),
                         [](const auto& info) { return std::string(info.param.what); });

using WindowMenu = WizardFixture;

// The entry with that command in the menu the title row's button opens.
QAction* menuEntry(CProbeGuideDlg& dlg, int id) {
    if (dlg.m_windowMenuButton == nullptr || dlg.m_windowMenuButton->menu() != dlg.m_systemMenu) {
        return nullptr;
    }
    for (QAction* action : dlg.m_systemMenu->actions()) {
        if (!action->isSeparator() && action->data().toInt() == id) {
            return action;
        }
    }
    return nullptr;
}

TEST_F(WindowMenu, AboutEntryShowsTheRunningProgramsVersion) {
    start();
    ASSERT_FALSE(dlg->m_windowMenuButton->isHidden());
    EXPECT_TRUE(dlg->rect().contains(dlg->m_windowMenuButton->geometry()));
    QAction* about = menuEntry(*dlg, IDM_ABOUTBOX);
    ASSERT_NE(about, nullptr);
    std::string shown;
    QTimer::singleShot(0, [&shown] {
        if (auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
            shown = versionLine(*box);
            box->accept();
        }
    });
    about->trigger();
    CVersionInfo version;
    EXPECT_EQ(shown, "Quenlor's Probe Guide for Linux Version" + version.Load(nullptr));
}

// "About Device ..." shows the unit's report, and with no unit the box still opens.
TEST_F(WindowMenu, AboutDeviceShowsTheReport) {
    for (const std::string model : {"", "velmar-old"}) {
        SCOPED_TRACE(model);
        start(model);
        const std::string report = dlg->m_hidProtocol.GetDeviceInfoReport();
        EXPECT_EQ(report.empty(), model.empty());
        boxes->clear();
        QAction* entry = menuEntry(*dlg, IDM_DEVICE_INFO);
        ASSERT_NE(entry, nullptr);
        entry->trigger();
        ASSERT_EQ(boxes->count(), 1u);
        EXPECT_EQ(boxes->shown()[0].caption, "Quenlor Device Info");
        EXPECT_EQ(boxes->shown()[0].text, report);
        EXPECT_EQ(boxes->shown()[0].style, platform::mb::kIconInformation | platform::mb::kOk);
        TearDown();
    }
}

}  // namespace
