// The dialog's frame: start-up, the form, the window menu, the audio message pump and the ends
// of the dialog.
#include <sys/wait.h>
#include <unistd.h>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <filesystem>
#include <fstream>

#include "audio/CWizardAudio.h"
#include "platform/DeviceChanges.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CProbeGuideApp.h"
#include "wizard/CRegHelper.h"

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

// A recording that a process which has ended left unfinished is removed at start-up.
TEST_F(Frame, StartUpRemovesTheTemporaryRecordingsOfEndedProcesses) {
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const std::string folder = dataHome.path() + "/Kestu/Quenlor Probe Guide/WaveFiles/";
    std::filesystem::create_directories(folder);
    const std::string stale = folder + ".Echo_Test.wav." + std::to_string(ended) + "-0.part";
    const std::string running = folder + ".Echo_Test.wav." + std::to_string(::getppid()) + "-0.part";
    for (const auto& path : {stale, running}) {
        std::ofstream(path) << "RIFF";
    }
    start();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(running));
}

TEST_F(Frame, StartUpReadsTheSettingsAndEndsFoldersWithASlash) {
    struct Case {
        std::string stored, expected;
    };
    const std::vector<Case> cases{{"/opt/qpg", "/opt/qpg/"}, {"/srv/data/", "/srv/data/"}};
    for (const auto& c : cases) {
        {
            CRegHelper settings;
            ASSERT_TRUE(settings.OpenKey("Software\\Kestu\\Quenlor Probe Guide"));
            settings.SetString("User Name", "Ann");
            settings.SetString("User Email", "ann@example.org");
            settings.SetString("Install Directory", c.stored);
            settings.SetString("Data Directory", c.stored);
        }
        start();
        EXPECT_EQ(dlg->m_userName, "Ann");
        EXPECT_EQ(dlg->m_userEmail, "ann@example.org");
        EXPECT_EQ(dlg->m_nameEdit->text(), "Ann");
        EXPECT_EQ(dlg->m_installDir, c.expected);
        EXPECT_EQ(dlg->m_dataDir, c.expected);
        TearDown();
    }
}

TEST(CommandLine, SimulateAndNothingElse) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::optional<std::string> model;
    };
    const std::vector<Case> cases{
        {{}, true, std::nullopt},
        {{"--simulate"}, true, "brevik-kr600"},
        {{"--simulate=kr401"}, true, "kr401"},
        {{"--simulate", "kr401"}, true, "kr401"},
        {{"--simulate=no-such-unit"}, false, std::nullopt},
        {{"--verbose"}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = ParseWizardCommandLine(c.args, error);
        ASSERT_EQ(options.has_value(), c.ok) << error;
        EXPECT_EQ(error.empty(), c.ok);
        if (options) {
            EXPECT_EQ(options->simulatedModel, c.model);
        }
    }
    EXPECT_EQ(DefaultInstallDir("/opt/q/bin/quenlor-probe-guide"), "/opt/q/share/quenlor-probe-guide/");
    EXPECT_EQ(DefaultInstallDir(std::string(std::getenv("QPG_BINARY_DIR")) + "/wizard/quenlor-probe-guide"),
              std::string(std::getenv("QPG_SOURCE_DIR")) + "/resources/");
}

TEST(DeviceChanges, UdevActionsMapToTheEventCodes) {
    const std::vector<std::pair<const char*, std::uintptr_t>> cases{
        {"add", 0x8000}, {"remove", 0x8004}, {"change", 7}, {"bind", 7}, {nullptr, 7}};
    for (const auto& [action, event] : cases) {
        EXPECT_EQ(platform::deviceChangeEvent(action), event) << (action != nullptr ? action : "null");
    }
    // The monitor starts and stops cleanly, with or without udev on this machine.
    platform::UdevDeviceChanges changes;
    changes.setListener([](std::uintptr_t) {});
    changes.setListener({});
}

TEST_F(Frame, AudioMessagesOfAStoppedRunAreDroppedAndPayloadsLiveUntilHandled) {
    start();
    click(dlg->m_nextButton);
    ASSERT_EQ(dlg->m_page, PAGE_SPEAKER_TEST);
    dlg->m_audio.m_testMode = AUDIO_MODE_NONE;  // a run that starts no thread
    const auto post = [this](std::uint32_t message, std::shared_ptr<const void> payload = nullptr) {
        dlg->notifyTarget().post({message, 0, 0, std::move(payload)});
    };

    // A message of a run that has been stopped since is dropped on arrival.
    dlg->StartAudio();
    dlg->m_playing = true;
    post(WM_AUDIO_DONE);
    dlg->StopAudio();
    processEvents();
    EXPECT_TRUE(dlg->m_playing);

    // The current run's messages arrive; the payload lives until its message is handled.
    dlg->StartAudio();
    auto block = std::make_shared<std::vector<std::uint8_t>>(64);
    std::weak_ptr<std::vector<std::uint8_t>> watched = block;
    dlg->notifyTarget().post(
        {WM_AUDIO_LEVEL, reinterpret_cast<std::uintptr_t>(block->data()), 64, std::move(block)});
    post(WM_AUDIO_DONE);
    EXPECT_FALSE(watched.expired());
    processEvents();
    EXPECT_TRUE(watched.expired());
    EXPECT_FALSE(dlg->m_playing);
}

TEST_F(Frame, TheDialogGoesWhileTheEngineRuns) {
    start();
    click(dlg->m_nextButton);
    click(dlg->m_nextButton);
    ASSERT_EQ(dlg->m_page, PAGE_MICROPHONE_TEST);
    ASSERT_TRUE(waitUntil([this] { return dlg->m_audio.IsRunning(); }));
    processEvents(100);  // level messages on their way
    dlg.reset();
    processEvents(50);
}

TEST_F(Frame, FontsOfThePage) {
    start();
    const auto* title = dlg->findChild<QLabel*>("IDC_1008");
    EXPECT_EQ(title->font().pixelSize(), 32);
    EXPECT_EQ(title->font().weight(), QFont::Black);
    EXPECT_EQ(dlg->m_nextButton->font().pixelSize(), 20);
    EXPECT_EQ(dlg->m_nextButton->font().weight(), QFont::Medium);
    EXPECT_EQ(QFontInfo(title->font()).family(), "Liberation Sans");
}

}  // namespace
