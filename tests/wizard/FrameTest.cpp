// The dialog's frame: start-up, the form, the window menu, the audio message pump and the ends
// of the dialog.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>

#include "audio/CWizardAudio.h"
#include "tests/wizard/WizardFixture.h"

namespace {

using Frame = WizardFixture;

TEST_F(Frame, StartUpWithoutSettings) {
    start();
    EXPECT_EQ(dlg->m_installDir, std::string(std::getenv("QPG_SOURCE_DIR")) + "/resources/");
    EXPECT_EQ(dlg->m_dataDir, dataHome.path() + "/Kestu/Quenlor Probe Guide/");
    EXPECT_TRUE(std::filesystem::is_directory(dlg->m_dataDir + "WaveFiles"));
    EXPECT_EQ(dlg->m_micVolume, 12);
    EXPECT_EQ(dlg->m_speakerVolume, 12);
    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
    EXPECT_EQ(dlg->m_page, PAGE_WELCOME);
    EXPECT_EQ(dlg->m_userName, "");
    EXPECT_FALSE(dlg->m_playing);
    EXPECT_TRUE(dlg->m_resultPicture->isHidden());
    EXPECT_EQ(dlg->m_levelLow->minimum(), 56);
    EXPECT_EQ(dlg->m_levelLow->maximum(), 83);
    EXPECT_EQ(dlg->m_levelHigh->minimum(), 84);
    EXPECT_EQ(dlg->m_levelHigh->maximum(), 90);
    EXPECT_EQ(dlg->m_speakerSlider->maximum(), 24);
    EXPECT_EQ(dlg->m_micSlider->maximum(), 65535);
    EXPECT_EQ(dlg->windowTitle(), "Quenlor Device Probe Guide");

    std::vector<std::pair<std::string, int>> entries;
    for (QAction* action : dlg->m_systemMenu->actions()) {
        entries.emplace_back(action->isSeparator() ? "-" : action->text().toStdString(),
                             action->data().toInt());
    }
    ASSERT_GE(entries.size(), 3u);
    const std::vector<std::pair<std::string, int>> last(entries.end() - 3, entries.end());
    EXPECT_EQ(last,
              (std::vector<std::pair<std::string, int>>{{"-", 0},
                                                        {"About Device ...", IDM_DEVICE_INFO},
                                                        {"&About Quenlor's Probe Guide...", IDM_ABOUTBOX}}));
}

}  // namespace
