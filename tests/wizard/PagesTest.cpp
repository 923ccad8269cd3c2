// The wizard's pages, Next and Back, re-detection and the ends of the dialog on simulated units.
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "platform/SettingsStore.h"
#include "sim/SimHidUnit.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"

namespace {

constexpr const char* kConnectText = "Connect a device and click the 'next >' button to start the test.";
constexpr const char* kVolumesHint = "Use the 'Default Volumes' To reset to default volume level.";
constexpr const char* kSetupKey = "Software\\Kestu\\Quenlor Audio Setup";

class Pages : public WizardFixture {
protected:
    // Presses Next until the page is `page` (or a press changes nothing).
    void nextUntil(int page) {
        for (int i = 0; i < 8 && dlg->m_page != page; ++i) {
            click(dlg->m_nextButton);
        }
        ASSERT_EQ(dlg->m_page, page);
    }

    std::map<std::string, platform::SettingValue> setupValues() const {
        auto values = platform::SettingsFile(settingsFile(kSetupKey)).readAll();
        return values ? values.value() : std::map<std::string, platform::SettingValue>{};
    }

    static std::uint32_t dword(const platform::SettingValue& v) {
        return v.bytes[0] | v.bytes[1] << 8 | v.bytes[2] << 16 | static_cast<std::uint32_t>(v.bytes[3]) << 24;
    }
};

// What the welcome page says and where Next leads, by what is plugged in.
struct WelcomeCase {
    const char* name;
    std::vector<std::string> models;  // plugged in, in order
    bool openable;                    // the first unit opens over HID
    std::string instructions;         // "" : the product's own text
    bool actionEnabled;
    int pageAfterNext;
    bool mixerOnly;
    bool present;
};

class Welcome : public Pages, public ::testing::WithParamInterface<WelcomeCase> {};

TEST_P(Welcome, TextActionAndNext) {
    const auto& c = GetParam();
    makeDesktop(c.models.empty() ? "" : c.models.front());
    for (std::size_t i = 1; i < c.models.size(); ++i) {
        desktop->plugIn(c.models[i]);
    }
    desktop->setHidOpenable(c.openable);
    startDialog();

    const std::string expected =
        c.instructions.empty()
            ? "You are testing " + dlg->m_hidProtocol.GetProductName() + " device.\n" + kVolumesHint
            : c.instructions;
    EXPECT_EQ(dlg->m_instructions, expected);
    EXPECT_EQ(dlg->findChild<QLabel*>("IDC_1009")->text().toStdString(), expected);
    EXPECT_EQ(dlg->m_title, "Welcome to Quenlor Device Probe Guide");
    EXPECT_EQ(dlg->m_actionButton->isEnabled(), c.actionEnabled);
    EXPECT_EQ(dlg->m_actionButton->text(), "Default Volumes");
    EXPECT_FALSE(dlg->m_backButton->isEnabled());
    EXPECT_EQ(dlg->m_mixerOnly, c.mixerOnly);
    EXPECT_EQ(dlg->m_devicePresent, c.present);
    // The presence picture starts as "absent" and shows "present" once the unit opens over HID.
    const QPixmap& picture = c.present && !c.mixerOnly ? dlg->m_presentBitmap : dlg->m_absentBitmap;
    EXPECT_EQ(dlg->m_presencePicture->pixmap().cacheKey(), picture.cacheKey());

    click(dlg->m_nextButton);
    EXPECT_EQ(dlg->m_page, c.pageAfterNext);
    EXPECT_EQ(dlg->m_mixerOnly, c.mixerOnly);
}

INSTANTIATE_TEST_SUITE_P(
    Units, Welcome,
    ::testing::Values(
        WelcomeCase{"one", {"brevik-kr600"}, true, "", true, PAGE_SPEAKER_TEST, false, true},
        WelcomeCase{"none", {}, true, kConnectText, false, PAGE_WELCOME, false, false},
        WelcomeCase{
            "two",
            {"brevik-kr600", "kr401"},
            true,
            "There are 2 Quenlor devices connected. Disconnect all devices except the one you want to test, "
            "and click the 'Next >' button to start the test.",
            false,
            PAGE_WELCOME,
            false,
            true},
        WelcomeCase{"mixerOnly",
                    {"brevik-kr600"},
                    false,
                    std::string("You are testing Quenlor device.\n") + kVolumesHint,
                    true,
                    PAGE_SPEAKER_TEST,
                    true,
                    true},
        WelcomeCase{"hub", {"velmar-controller-with-unit"}, true, "", true, PAGE_SPEAKER_TEST, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pages, NextAndBackWalkThePagesBothWays) {
    start();
    const std::vector<int> forward{PAGE_SPEAKER_TEST, PAGE_MICROPHONE_TEST, PAGE_ECHO_TEST, PAGE_FINISH};
    for (const int page : forward) {
        click(dlg->m_nextButton);
        EXPECT_EQ(dlg->m_page, page);
    }
    EXPECT_EQ(dlg->m_nextButton->text(), "Save Setting and Exit");
    EXPECT_FALSE(dlg->m_exitButton->isHidden());
    EXPECT_EQ(dlg->m_title, "You are about to leave the probe guide.");
    EXPECT_FALSE(dlg->m_nameEdit->isHidden());

    const std::vector<int> back{PAGE_ECHO_TEST, PAGE_MICROPHONE_TEST, PAGE_SPEAKER_TEST, PAGE_WELCOME};
    for (const int page : back) {
        click(dlg->m_backButton);
        EXPECT_EQ(dlg->m_page, page);
        if (page == PAGE_ECHO_TEST) {
            EXPECT_EQ(dlg->m_nextButton->text(), "Next >");
            EXPECT_TRUE(dlg->m_exitButton->isHidden());
            EXPECT_TRUE(dlg->m_nameEdit->isHidden());
        }
    }
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(dlg->isVisible() == false);
}

TEST_F(Pages, EchoPageTextsFollowTheVerdict) {
    start();
    nextUntil(PAGE_ECHO_TEST);
    EXPECT_EQ(dlg->m_instructions, "Please be quiet during this test.");
    EXPECT_TRUE(dlg->m_secondActionButton->isHidden());
    const QLabel* instructions = dlg->findChild<QLabel*>("IDC_1009");
    EXPECT_EQ(instructions->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    dlg->m_echoVerdict = VERDICT_FAIL;
    dlg->ShowPage();
    EXPECT_EQ(dlg->m_instructions, "It is recommended to re-test the echo\nwhile keeping quiet.");
    EXPECT_EQ(dlg->m_secondActionButton->text(), "Listen to Residual Echo");
    EXPECT_TRUE(dlg->m_secondActionButton->isHidden());

    click(dlg->m_nextButton);
    EXPECT_EQ(dlg->m_title, "Your Quenlor Device failed the echo test.");
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());
    EXPECT_EQ(instructions->palette().color(QPalette::WindowText), QColor(0, 0, 0));
}

TEST_F(Pages, ABurstOfDeviceEventsGivesOneDetectionAfterTheLast) {
    start("");
    ASSERT_EQ(dlg->m_instructions, kConnectText);
    desktop->plugIn("brevik-kr600");  // a burst of three events
    processEvents();
    EXPECT_FALSE(dlg->m_devicePresent);
    QElapsedTimer sinceLast;
    desktop->deviceChanges().raise(platform::devchange::kNodesChanged);
    sinceLast.start();
    ASSERT_TRUE(waitUntil([&] { return dlg->m_devicePresent; }, 2000));
    EXPECT_GE(sinceLast.elapsed(), 300);
    EXPECT_EQ(dlg->m_instructions.rfind("You are testing ", 0), 0u);
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());

    // One detection: no other is waiting to run, and the burst sent as many words as one more
    // detection sends.
    drainWithNoTimerRunning();
    const std::size_t afterBurst = mark();
    dlg->DetectDevice();
    EXPECT_EQ(commandWordsSince(afterBurst).size(), afterBurst);
}

TEST_F(Pages, NextBeforeTheRedetectionLaysTheWelcomePageOutAgain) {
    start("");
    desktop->plugIn("brevik-kr600");
    click(dlg->m_nextButton);  // before the 300 ms have passed
    EXPECT_EQ(dlg->m_page, PAGE_WELCOME);
    EXPECT_EQ(dlg->m_instructions.rfind("You are testing ", 0), 0u);
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());
    click(dlg->m_nextButton);
    EXPECT_EQ(dlg->m_page, PAGE_SPEAKER_TEST);
}

TEST_F(Pages, EscapeCloseAndExitWriteNothingAndSendNoStoreCommand) {
    const std::vector<std::function<void(CProbeGuideDlg&)>> ends{
        [](CProbeGuideDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); },
        [](CProbeGuideDlg& d) { d.close(); },
        [this](CProbeGuideDlg& d) {
            nextUntil(PAGE_FINISH);
            click(d.m_exitButton);
        },
    };
    for (std::size_t i = 0; i < ends.size(); ++i) {
        start();
        dlg->show();
        const std::size_t from = mark();
        ends[i](*dlg);
        EXPECT_FALSE(dlg->isVisible()) << "end " << i;
        for (const auto word : commandWordsSince(from)) {
            EXPECT_NE(word, CMD_STORE_SETTINGS) << "end " << i;
            EXPECT_NE(word, 0xB7FF) << "end " << i;
        }
        EXPECT_FALSE(std::filesystem::exists(settingsFile(kSetupKey))) << "end " << i;
        TearDown();
    }
}

// The unit on the finish page: answering, or gone since the test (unplugged and detected
// again, or no longer answering).
enum class UnitThen { Answers, Unplugged, Silent };

struct SaveCase {
    const char* name;
    const char* model;
    bool openable;
    int micVolume, speakerVolume;
    std::uint32_t storedMic, storedSpeaker;
    std::vector<std::uint16_t> words;
    UnitThen unit = UnitThen::Answers;
};

class SaveSettingAndExit : public Pages, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveSettingAndExit, StoresVolumesAndSendsTheCommands) {
    const auto& c = GetParam();
    makeDesktop(c.model);
    desktop->setHidOpenable(c.openable);
    startDialog();
    nextUntil(PAGE_FINISH);
    dlg->m_micVolume = c.micVolume;
    dlg->m_speakerVolume = c.speakerVolume;
    if (c.unit == UnitThen::Unplugged) {
        desktop->unplug();
        dlg->OnTimer(TIMER_REDETECT);
    } else if (c.unit == UnitThen::Silent) {
        sim::SimFaults noAnswer;
        noAnswer.silentForever = true;
        desktop->unit()->setFaults(noAnswer);
    }
    const std::size_t from = mark();
    click(dlg->m_nextButton);

    EXPECT_EQ(commandWordsSince(from), c.words);
    if (c.unit != UnitThen::Answers) {
        // Nothing reached the unit: the box says so, nothing is stored, the dialog stays.
        EXPECT_NE(dlg->result(), QDialog::Accepted);
        ASSERT_EQ(boxes->count(), 1u);
        EXPECT_NE(boxes->shown()[0].text.find("could not be stored"), std::string::npos);
        EXPECT_TRUE(setupValues().empty());
        return;
    }
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(boxes->count(), 0u);
    const auto values = setupValues();
    ASSERT_EQ(values.size(), 4u);
    for (const auto& [name, value] : values) {
        EXPECT_EQ(value.type, platform::SettingType::Dword) << name;
    }
    EXPECT_EQ(dword(values.at("Microphone Volume")), c.storedMic);
    EXPECT_EQ(dword(values.at("Speaker Volume")), c.storedSpeaker);
    EXPECT_EQ(dword(values.at("From PC Volume")), 24u);
    EXPECT_EQ(dword(values.at("To PC Volume")), 24u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SaveSettingAndExit,
    ::testing::Values(
        SaveCase{"device", "brevik-kr600", true, 10, 20, 10, 20, {0xB100, 0xB7FF, 0xB100}},
        SaveCase{"storesWithoutQuery", "kr401", true, 3, 4, 3, 4, {0xB100, 0xB100}},
        SaveCase{"mixerOnly", "brevik-kr600", false, 65535, 0, 24, 0, {}},
        SaveCase{"unplugged", "brevik-kr600", true, 10, 20, 0, 0, {}, UnitThen::Unplugged},
        // One command, tried twice.
        SaveCase{"stoppedAnswering", "brevik-kr600", true, 10, 20, 0, 0, {0xB100, 0xB100}, UnitThen::Silent}),
    [](const auto& info) { return std::string(info.param.name); });

// What the user typed on the finish page stays through a re-detection and through Back and
// Next; the stored name and address fill the fields when the page is first shown.
TEST_F(Pages, TypedTextOnTheFinishPageStays) {
    {
        CRegHelper reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Kestu\\Quenlor Probe Guide"));
        reg.SetString("User Name", "Stored Name");
        reg.SetString("User Email", "stored@mail.test");
    }
    start();
    dlg->show();
    nextUntil(PAGE_FINISH);
    EXPECT_EQ(dlg->m_nameEdit->text().toStdString(), "Stored Name");
    EXPECT_EQ(dlg->m_emailEdit->text().toStdString(), "stored@mail.test");

    const std::vector<std::pair<const char*, std::function<void()>>> disturbances{
        {"device change",
         [this] {
             // The re-detection runs on the GUI thread and asks the unit who it is.
             const auto from = mark();
             desktop->deviceChanges().raise(platform::devchange::kNodesChanged);
             ASSERT_TRUE(waitUntil([&] { return mark() > from; }));
         }},
        {"Back and Next",
         [this] {
             click(dlg->m_backButton);
             ASSERT_EQ(dlg->m_page, PAGE_ECHO_TEST);
             click(dlg->m_nextButton);
             ASSERT_EQ(dlg->m_page, PAGE_FINISH);
         }},
    };
    for (const auto& [what, disturb] : disturbances) {
        SCOPED_TRACE(what);
        const std::string typed = std::string("typed before ") + what;
        for (QWidget* field :
             std::initializer_list<QWidget*>{dlg->m_nameEdit, dlg->m_emailEdit, dlg->m_commentsEdit}) {
            field->setFocus();
            QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(field, QString::fromStdString(typed));
        }
        disturb();
        EXPECT_EQ(dlg->m_nameEdit->text().toStdString(), typed);
        EXPECT_EQ(dlg->m_emailEdit->text().toStdString(), typed);
        EXPECT_EQ(dlg->m_commentsEdit->toPlainText().toStdString(), typed);
    }
}

}  // namespace
