// Volume sliders, loading and default volumes, and the playback-device combo on simulated units.
#include <QApplication>
#include <QComboBox>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>

#include "tests/wizard/WizardFixture.h"

namespace {

constexpr const char* kBuiltIn = sim::kSimBuiltInDeviceName;
constexpr const char* kUnitSpeaker = sim::kSimSpeakerDeviceName;

class Volumes : public WizardFixture {
protected:
    // The dialog on `model`, on the speaker page as Next from the welcome page leaves it.
    void openSpeakerPage(const std::string& model = "brevik-kr600", sim::SimAudioConfig audio = fastAudio()) {
        start(model, std::move(audio));
        click(dlg->m_nextButton);
        ASSERT_EQ(dlg->m_page, PAGE_SPEAKER_TEST);
        ASSERT_FALSE(dlg->m_mixerOnly);
    }

    // Moves a slider to its top (the loudest) as a user would; the handler runs queued.
    void sliderToTop(QSlider* slider) {
        slider->triggerAction(QAbstractSlider::SliderToMinimum);
        processEvents();
    }

    // The register commands (0x50..0x67 high bytes) since a mark.
    std::vector<std::uint16_t> registerWords(std::size_t from) const {
        std::vector<std::uint16_t> out;
        for (const auto word : commandWordsSince(from)) {
            if (word >= 0x5000 && word < 0x6800) {
                out.push_back(word);
            }
        }
        return out;
    }

    float endpointScalar(platform::EndpointFlow flow, const std::string& id) const {
        return desktop->endpoints().endpoint(flow, id)->scalar;
    }
};

using Words = std::vector<std::uint16_t>;

struct SpeakerTopCase {
    const char* name;
    std::string model;
    int protocolVersion;  // 0: the unit's own
    Words expected;
};

class SpeakerSliderTop : public Volumes, public ::testing::WithParamInterface<SpeakerTopCase> {};

TEST_P(SpeakerSliderTop, SendsTheSpeakerRegisters) {
    const auto& c = GetParam();
    openSpeakerPage(c.model);
    if (c.protocolVersion != 0) {
        dlg->m_hidProtocol.m_protocolVersion = c.protocolVersion;
    }
    const auto from = mark();
    sliderToTop(dlg->m_speakerSlider);
    EXPECT_EQ(registerWords(from), c.expected);
    EXPECT_EQ(dlg->m_speakerVolume, 24);
}

INSTANTIATE_TEST_SUITE_P(Units, SpeakerSliderTop,
                         ::testing::Values(
                             // Level 22 reads parameter (0, 4), which is 2 on this model.
                             SpeakerTopCase{"register0", "brevik-kr600", 0, {0x5118, 0x5018, 0x5218}},
                             // Below level 13 the parameter cannot be read.
                             SpeakerTopCase{"level12", "brevik-kr600", 12, {0x5118, 0x5218}},
                             SpeakerTopCase{"noSecondRegisters", "ansel-kr201", 0, {0x5118}},
                             SpeakerTopCase{"older", "h880", 0, {0x5418}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The keys and the wheel move a slider's handle up for louder, as its drawing shows, and the
// level follows the handle.
enum class Input { KeyUp, PageUp, WheelUp };

struct SliderInputCase {
    const char* name;
    bool microphone;
    Input input;
};

class SliderInput : public Volumes, public ::testing::WithParamInterface<SliderInputCase> {};

TEST_P(SliderInput, UpMakesLouder) {
    const auto& c = GetParam();
    openSpeakerPage();
    QSlider* slider = c.microphone ? dlg->m_micSlider : dlg->m_speakerSlider;
    if (c.microphone) {
        dlg->m_page = PAGE_MICROPHONE_TEST;
        slider->setEnabled(true);  // as the microphone page lays it out
    }
    slider->setValue(slider->maximum() / 2);
    dlg->OnVScroll(slider);
    const int position = slider->value();
    const int level = c.microphone ? dlg->m_micVolume : dlg->m_speakerVolume;
    switch (c.input) {
        case Input::KeyUp:
            QTest::keyClick(slider, Qt::Key_Up);
            break;
        case Input::PageUp:
            QTest::keyClick(slider, Qt::Key_PageUp);
            break;
        case Input::WheelUp: {
            const QPointF at(slider->width() / 2.0, slider->height() / 2.0);
            QWheelEvent wheel(at, slider->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(slider, &wheel);
            break;
        }
    }
    processEvents();
    EXPECT_LT(slider->value(), position) << "the handle moves up";
    const int after = c.microphone ? dlg->m_micVolume : dlg->m_speakerVolume;
    if (c.microphone && c.input != Input::PageUp) {
        EXPECT_GE(after, level);  // a few of 65535 positions may stay within one step
    } else {
        EXPECT_GT(after, level);
    }
}

INSTANTIATE_TEST_SUITE_P(Sliders, SliderInput,
                         ::testing::Values(SliderInputCase{"speakerKey", false, Input::KeyUp},
                                           SliderInputCase{"speakerPage", false, Input::PageUp},
                                           SliderInputCase{"speakerWheel", false, Input::WheelUp},
                                           SliderInputCase{"microphoneKey", true, Input::KeyUp},
                                           SliderInputCase{"microphonePage", true, Input::PageUp},
                                           SliderInputCase{"microphoneWheel", true, Input::WheelUp}),
                         [](const auto& info) { return std::string(info.param.name); });

// Back to the welcome page and Next again with the computer's speaker chosen: that speaker keeps
// its level, and the unit's speaker registers are not written with it.
TEST_F(Volumes, AnotherSpeakerIsNeitherSetToFullNorWrittenToTheUnit) {
    openSpeakerPage();
    desktop->endpoints().setVolumeScalar(platform::EndpointFlow::Render, "builtin-out", 0.3f);
    dlg->FillPlaybackDevices();
    dlg->m_playbackDeviceCombo->setCurrentIndex(0);
    dlg->OnPlaybackDeviceChange();
    ASSERT_EQ(dlg->m_playbackDevice, kBuiltIn);
    click(dlg->m_backButton);
    const auto from = mark();
    click(dlg->m_nextButton);
    ASSERT_EQ(dlg->m_page, PAGE_SPEAKER_TEST);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Render, "builtin-out"), 0.3, 1e-4);
    for (const auto word : registerWords(from)) {
        const int reg = word >> 8;
        EXPECT_TRUE(reg != 0x50 && reg != 0x51 && reg != 0x52) << std::hex << word;
    }
}

TEST_F(Volumes, SpeakerSliderWithAnotherSpeakerSetsItsEndpointOnly) {
    openSpeakerPage();
    dlg->m_endpoints.SelectSpeakerByName(kBuiltIn);
    const int before = dlg->m_speakerVolume;
    dlg->m_speakerSlider->setValue(18);  // step 6
    const auto from = mark();
    dlg->OnVScroll(dlg->m_speakerSlider);
    EXPECT_TRUE(commandWordsSince(from).empty());
    EXPECT_EQ(dlg->m_speakerVolume, before);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Render, "builtin-out"), 6 * 65535 / 24 / 65535.0,
                1e-4);
}

TEST_F(Volumes, MicrophoneSliderActsOffTheSpeakerPageOnly) {
    openSpeakerPage();
    auto from = mark();
    sliderToTop(dlg->m_micSlider);
    EXPECT_TRUE(commandWordsSince(from).empty());

    dlg->m_page = PAGE_MICROPHONE_TEST;
    dlg->m_micSlider->setValue(65535 - 4500);  // step 12 of the level table
    from = mark();
    dlg->OnVScroll(dlg->m_micSlider);
    EXPECT_EQ(registerWords(from), (Words{0x530C, 0x540C, 0x570C}));
    EXPECT_EQ(dlg->m_micVolume, 12);
}

// Loading: the reads, the corrections of units below protocol level 10 and the write-back.
struct LoadCase {
    const char* name;
    int protocolVersion;
    std::map<std::uint8_t, std::uint16_t> registers;
    int speaker;
    int mic;
    Words expected;  // empty: the reads and writes of a unit below level 10
};

class LoadVolumes : public Volumes, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadVolumes, ReadsCorrectsAndWritesBack) {
    const auto& c = GetParam();
    openSpeakerPage();
    dlg->m_hidProtocol.m_protocolVersion = c.protocolVersion;
    for (const auto& [reg, value] : c.registers) {
        desktop->unitState().setReg(reg, value);
    }
    desktop->endpoints().setVolumeScalar(platform::EndpointFlow::Render, "unit0-out", 0.25f);
    const auto from = mark();
    dlg->LoadVolumes();
    EXPECT_EQ(dlg->m_speakerVolume, c.speaker);
    EXPECT_EQ(dlg->m_micVolume, c.mic);
    // The unit's registers carry the volume: its speaker endpoint passes the sound at full level.
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Render, "unit0-out"), 1.0, 1e-6);
    const Words older{0x6300,
                      0x6400,
                      0x6100,
                      0x6600,
                      static_cast<std::uint16_t>(0x5300 + c.mic),
                      static_cast<std::uint16_t>(0x5400 + c.speaker),
                      0x5118,
                      0x5618};
    EXPECT_EQ(registerWords(from), c.expected.empty() ? older : c.expected);
    EXPECT_EQ(dlg->m_speakerSlider->maximum(), 24);
    EXPECT_EQ(dlg->m_speakerSlider->value(), 24 - c.speaker);
    EXPECT_EQ(dlg->m_micSlider->value(), 65535 - CHIDProtocol::LevelToSliderValue(c.mic));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Registers, LoadVolumes, ::testing::Values(
    // Register 1 reads 18: 6 / 1.5 + 0.5 = 4.5, so the speaker drops by 4; register 6 reads 20.
    LoadCase{"corrections", 5, {{4, 12}, {1, 18}, {3, 12}, {6, 20}}, 8, 8, {}},
    LoadCase{"atLeastOne", 5, {{4, 3}, {1, 18}, {3, 2}, {6, 0}}, 1, 1, {}},
    // Register 1 reads 23: 1 / 1.5 + 0.5 = 1.17, so the speaker drops by 1.
    LoadCase{"correctionRounded", 5, {{4, 12}, {1, 23}, {3, 12}, {6, 24}}, 11, 12, {}},
    // Six register bits hold up to 63: a step above 24 is taken as 24 and never spills into
    // the next register's command.
    LoadCase{"oldStepClamped", 5, {{4, 40}, {1, 24}, {3, 63}, {6, 24}}, 24, 24, {}},
    LoadCase{"newStepClamped", 22, {{1, 63}, {3, 30}}, 24, 24,
             {0x6300, 0x6100, 0x5318, 0x5118, 0x5018, 0x5218, 0x5418, 0x5718}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Default volumes by protocol level, product and firmware.
struct DefaultsCase {
    const char* name;
    bool mixerOnly;
    int protocolVersion;
    int productCode;
    int firmware;
    int mic;
    int speaker;
    Words expected;
};

class DefaultVolumes : public Volumes, public ::testing::WithParamInterface<DefaultsCase> {};

TEST_P(DefaultVolumes, ByLevelProductAndFirmware) {
    const auto& c = GetParam();
    openSpeakerPage();
    desktop->unitState().setReg(1, 20);
    desktop->unitState().setReg(3, 7);
    CHIDProtocol& unit = dlg->m_hidProtocol;
    unit.m_protocolVersion = c.protocolVersion;
    unit.m_productCode = c.productCode;
    unit.m_firmwareNumber = c.firmware;
    dlg->m_mixerOnly = c.mixerOnly;
    dlg->m_micVolume = dlg->m_speakerVolume = -1;
    const auto from = mark();
    dlg->SetDefaultVolumes();
    EXPECT_EQ(dlg->m_micVolume, c.mic);
    EXPECT_EQ(dlg->m_speakerVolume, c.speaker);
    EXPECT_EQ(commandWordsSince(from), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Units, DefaultVolumes,
    ::testing::Values(DefaultsCase{"mixerOnly", true, 22, 83, 7003, 9215, 57343, {}},
                      DefaultsCase{"code20OldFirmware", false, 5, 20, 1001, 18, 8, {}},
                      DefaultsCase{"code20", false, 5, 20, 1002, 18, 12, {}},
                      DefaultsCase{"code19OldFirmware", false, 5, 19, 1002, 18, 15, {}},
                      DefaultsCase{"code19", false, 5, 19, 1003, 18, 12, {}},
                      DefaultsCase{"code22", false, 8, 22, 1000, 18, 12, {}},
                      DefaultsCase{"code18", false, 8, 18, 1000, 12, 12, {}},
                      DefaultsCase{"code23", false, 5, 23, 1000, 12, 12, {}},
                      // Level 9: the reply of 0x5118 gives the speaker default.
                      DefaultsCase{"level9", false, 9, 83, 7003, 7, 24, {0x643F, 0x5118, 0x633F}},
                      DefaultsCase{"level22", false, 22, 83, 7003, 7, 20, {0x613F, 0x633F}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Volumes, MixerOnlyVolumesStayOnTheEndpointScale) {
    start("brevik-kr600");
    dlg->m_mixerOnly = true;
    dlg->m_defaultVolumesRequested = true;
    const auto from = mark();
    dlg->LoadVolumes();
    EXPECT_FALSE(dlg->m_defaultVolumesRequested);
    EXPECT_TRUE(commandWordsSince(from).empty());
    EXPECT_EQ(dlg->m_speakerSlider->maximum(), 65535);
    EXPECT_EQ(dlg->m_speakerSlider->value(), 65535 - 57343);
    EXPECT_EQ(dlg->m_micSlider->value(), 65535 - 9215);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Render, "unit0-out"), 57343 / 65535.0, 1e-4);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Capture, "unit0-in"), 9215 / 65535.0, 1e-3);

    // Both sliders set their endpoints, upside down: position 0 is the loudest.
    dlg->m_speakerSlider->setValue(65535 - 20000);
    dlg->OnVScroll(dlg->m_speakerSlider);
    dlg->m_micSlider->setValue(65535 - 30000);
    dlg->OnVScroll(dlg->m_micSlider);
    EXPECT_EQ(dlg->m_speakerVolume, 20000);
    EXPECT_EQ(dlg->m_micVolume, 30000);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Render, "unit0-out"), 20000 / 65535.0, 1e-4);
    EXPECT_NEAR(endpointScalar(platform::EndpointFlow::Capture, "unit0-in"), 30000 / 65535.0, 1e-4);

    // Another speaker chosen in the combo: its level, on the same scale.
    desktop->endpoints().setVolumeScalar(platform::EndpointFlow::Render, "builtin-out", 0.5f);
    dlg->FillPlaybackDevices();
    dlg->m_playbackDeviceCombo->setCurrentIndex(0);
    dlg->OnPlaybackDeviceChange();
    EXPECT_EQ(dlg->m_playbackDevice, kBuiltIn);
    EXPECT_EQ(dlg->m_speakerVolume, 32767);
    EXPECT_EQ(dlg->m_speakerSlider->value(), 65535 - 32767);
    EXPECT_TRUE(commandWordsSince(from).empty());
}

TEST_F(Volumes, ComboSelectsTheLastDeviceOfTheSpeakersNameAndItsChoiceSurvivesReselect) {
    auto audio = fastAudio();
    audio.outputNames = {kUnitSpeaker, kBuiltIn, kUnitSpeaker};
    openSpeakerPage("brevik-kr600", audio);
    dlg->FillPlaybackDevices();
    QComboBox* combo = dlg->m_playbackDeviceCombo;
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentIndex(), 2);
    EXPECT_EQ(dlg->m_playbackDevice, kUnitSpeaker);

    // Another speaker: its endpoint level, on the unit's step scale.
    desktop->endpoints().setVolumeScalar(platform::EndpointFlow::Render, "builtin-out", 0.5f);
    combo->setCurrentIndex(1);
    const auto from = mark();
    dlg->OnPlaybackDeviceChange();
    EXPECT_TRUE(commandWordsSince(from).empty());
    EXPECT_EQ(dlg->m_playbackDevice, kBuiltIn);
    EXPECT_EQ(dlg->m_speakerVolume, 32767 * 24 / 65535);
    EXPECT_EQ(dlg->m_speakerSlider->value(), 24 - 11);

    dlg->ReselectSpeaker();
    EXPECT_EQ(dlg->m_endpoints.GetSpeakerName(), kBuiltIn);

    // Back to the unit's speaker: its register, whose six bits are taken as a step of at most
    // 24, and a refresh finds the unit's speaker again.
    desktop->unitState().setReg(1, 50);
    combo->setCurrentIndex(0);
    dlg->OnPlaybackDeviceChange();
    EXPECT_EQ(dlg->m_speakerVolume, 24);
    EXPECT_EQ(dlg->m_speakerSlider->value(), 0);
    dlg->ReselectSpeaker();
    EXPECT_EQ(dlg->m_endpoints.GetSpeakerName(), kUnitSpeaker);
}

}  // namespace
