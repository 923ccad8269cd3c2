// The speaker-delay controls of model 83: the delay shown, Set, the four radios and the typed
// delay's checks.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "tests/wizard/EchoTestSupport.h"

namespace {

constexpr const char* kInvalidDelay =
    "The Speaker Delay must be a whole number of milliseconds from 0 to 32767.\r\nNothing was sent to the "
    "device.";

class DelayControls : public EchoFixture {
protected:
    void SetUp() override { openEchoPage(); }

    void storeWords(std::uint16_t word0, std::uint16_t word1) {
        desktop->unitState().setParameter(0, 13, 0, word0);
        desktop->unitState().setParameter(0, 13, 1, word1);
    }
};

TEST_F(DelayControls, ShowsTheUnitsDelayAsASignedNumberOrNotSet) {
    const struct {
        std::uint16_t word0, word1;
        const char* shown;
    } cases[] = {{80, 0xFFFF, "80"},         {0xFFFF, 30, "30"},      {0xFFFF, 0xFFFF, "Not Set"},
                 {0x8000, 0xFFFF, "-32768"}, {0xFFF6, 0xFFFF, "-10"}, {0, 0xFFFF, "0"}};
    for (const auto& c : cases) {
        storeWords(c.word0, c.word1);
        dlg->ReadSpeakerDelay();
        EXPECT_EQ(dlg->m_speakerDelay, c.shown);
        EXPECT_EQ(dlg->m_delayEdit->text().toStdString(), c.shown);
    }
    desktop->unplug();
    dlg->ReadSpeakerDelay();
    EXPECT_EQ(dlg->m_speakerDelay, "Not Connected");
}

TEST_F(DelayControls, SetWritesAWholeNumberAndStoresItElseSendsNothing) {
    const struct {
        const char* typed;
        Trace sent;
        const char* box;
    } cases[] = {{"25", {"delay[0]=25", "B102"}, nullptr},
                 {"32767", {"delay[0]=32767", "B102"}, nullptr},
                 {"", {}, nullptr},
                 {"32768", {}, kInvalidDelay},
                 {"99999999999", {}, kInvalidDelay},
                 {"Not Set", {}, kInvalidDelay},
                 {"-5", {}, kInvalidDelay}};
    for (const auto& c : cases) {
        boxes->clear();
        dlg->m_delayEdit->setText(c.typed);
        const auto from = reportMark();
        dlg->OnSetDelay();
        EXPECT_EQ(trace(from), c.sent) << c.typed;
        ASSERT_EQ(boxes->count(), c.box ? 1u : 0u) << c.typed;
        if (c.box) {
            EXPECT_EQ(boxes->shown()[0].text, c.box);
            EXPECT_EQ(boxes->shown()[0].caption, "Probe Guide");
        }
    }
}

TEST_F(DelayControls, ManualDelayAtTestRefusesWhatTheUnitCannotHold) {
    dlg->m_manualDelayRadio->setChecked(true);
    const struct {
        const char* typed;
        const char* box;
    } cases[] = {
        {"", "Yous should set a value for the Speaker Delay, or \r\nuse 'Measure Speaker Delay' Option"},
        {"40000", kInvalidDelay},
        {"Not Connected", kInvalidDelay}};
    for (const auto& c : cases) {
        boxes->clear();
        dlg->m_delayEdit->setText(c.typed);
        const auto from = reportMark();
        dlg->OnActionButton();
        EXPECT_TRUE(trace(from).empty()) << c.typed;
        EXPECT_FALSE(dlg->m_playing);
        EXPECT_EQ(dlg->m_actionButton->text(), "Test");
        ASSERT_EQ(boxes->count(), 1u);
        EXPECT_EQ(boxes->shown()[0].text, c.box);
        EXPECT_EQ(boxes->shown()[0].style, platform::mb::kIconWarning);
    }
}

TEST_F(DelayControls, EraseConfirmedUnsetsBothWordsThenStores) {
    dlg->m_eraseDelayRadio->setChecked(true);
    boxes->scriptAnswer(platform::id::kYes);
    const auto from = reportMark();
    dlg->OnEraseDelay();
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "Probe Guide Erasing Delay");
    EXPECT_EQ(boxes->shown()[0].text, "Are you sure you want to erase the delay ?");
    EXPECT_EQ(boxes->shown()[0].style, platform::mb::kYesNo | platform::mb::kIconWarning);
    EXPECT_EQ(trace(from), (Trace{"delay[0]=65535", "delay[1]=65535", "0636", "B102"}));
    EXPECT_EQ(dlg->m_speakerDelay, "Not Set");
    EXPECT_TRUE(dlg->m_setDelayButton->isHidden());
    EXPECT_FALSE(dlg->m_delayEdit->isEnabled());
}

TEST_F(DelayControls, EraseDeclinedChangesNothingOnTheUnit) {
    dlg->m_delayEdit->clear();
    boxes->scriptAnswer(platform::id::kNo);
    const auto from = reportMark();
    dlg->OnEraseDelay();
    EXPECT_TRUE(trace(from).empty());
    EXPECT_EQ(dlg->m_speakerDelay, "Not Set");
    EXPECT_EQ(desktop->unitState().parameter(0, 13, 0).value(), 80);
}

TEST_F(DelayControls, RadiosShowSetAndTheEditOnlyForTheManualDelay) {
    storeWords(0xFFFF, 0xFFFF);
    dlg->m_manualDelayRadio->setChecked(true);
    dlg->m_delayEdit->setText("Not Set");
    dlg->OnSetDelayManually();
    EXPECT_EQ(dlg->m_delayEdit->text(), "");
    EXPECT_FALSE(dlg->m_setDelayButton->isHidden());
    EXPECT_TRUE(dlg->m_delayEdit->isEnabled());

    storeWords(42, 0xFFFF);
    dlg->m_measureDelayRadio->setChecked(true);
    dlg->OnMeasureDelay();
    EXPECT_EQ(dlg->m_delayEdit->text(), "42");
    EXPECT_TRUE(dlg->m_setDelayButton->isHidden());
    EXPECT_FALSE(dlg->m_delayEdit->isEnabled());

    dlg->m_setDelayButton->setVisible(true);
    dlg->m_delayEdit->setEnabled(true);
    storeWords(7, 0xFFFF);
    dlg->m_keepDelayRadio->setChecked(true);
    dlg->OnKeepDelay();
    EXPECT_EQ(dlg->m_delayEdit->text(), "7");
    EXPECT_TRUE(dlg->m_setDelayButton->isHidden());
    EXPECT_FALSE(dlg->m_delayEdit->isEnabled());
}

}  // namespace
