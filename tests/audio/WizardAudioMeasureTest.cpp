// The engine's measurements on recordings made through the simulated unit from the installed play
// files, as the echo test's three runs make them.
#include <gtest/gtest.h>

#include <filesystem>

#include "audio/CWizardAudio.h"
#include "audio/IDataFolder.h"
#include "tests/audio/AudioTestSupport.h"

using namespace audiotest;

namespace {

class TestDataFolder : public IDataFolder {
public:
    explicit TestDataFolder(std::string directory) : m_directory(std::move(directory)) {
        std::filesystem::create_directories(m_directory + "WaveFiles");
    }
    std::string dataDirectory() const override { return m_directory; }
    std::string file(const std::string& name) const { return m_directory + "WaveFiles/" + name; }

private:
    std::string m_directory;
};

sim::SimAudioConfig configWith(double acousticDelayMs, double externalDelayMs,
                               sim::EchoCancellerFault fault = sim::EchoCancellerFault::None) {
    auto config = SimRig::fastConfig();
    config.acoustic.acousticDelayMs = acousticDelayMs;
    config.acoustic.externalSpeakerDelayMs = externalDelayMs;
    config.acoustic.fault = fault;
    return config;
}

// One run in mode 5 with the unit's two recorded channels routed from the given sources.
void recordRun(SimRig& rig, const std::string& play, const std::string& record, std::uint8_t left,
               std::uint8_t right) {
    rig.unit->setRouting(left, sim::kRecordLeft);
    rig.unit->setRouting(right, sim::kRecordRight);
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath(play), record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 30000));
    rig.stopAndDrain();
}

// The echo run: both canceller stages bypassed at the start and let in at the marks of 2 s and 6 s.
void recordEchoRun(SimRig& rig, const TestDataFolder& folder) {
    for (const std::uint8_t sw :
         {std::uint8_t{0x15}, std::uint8_t{0x0E}, sim::kSwitchNonLinearBypass, sim::kSwitchAdaptiveBypass}) {
        rig.unit->setSwitch(sw, true);
    }
    rig.unit->setRouting(sim::source::kSend, sim::kRecordLeft);
    rig.unit->setRouting(sim::source::kFarEnd, sim::kRecordRight);
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), folder.file("Echo_Test.wav"));
    rig.engine->m_markSeconds = 2.0;
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    ASSERT_TRUE(rig.runEchoDialog(30000));
    rig.stopAndDrain();
}

double farEndCoherence(const std::string& play, const std::string& record, int channel) {
    const auto played = readChannel(play, 1);
    const auto recorded = readChannel(record, channel);
    // The far-end measurement's range: 0.63 s after 0.017 s.
    const std::size_t offset = 544;
    const std::size_t count = 20160;
    if (played.size() < offset + count || recorded.size() < offset + count) {
        return -1.0;
    }
    int delay = 0;
    double coherence = 0.0;
    CWizardAudio::EstimateDelay({played.data() + offset, count}, {recorded.data() + offset, count}, 32000, 1,
                                delay, coherence);
    return coherence;
}

}  // namespace

TEST(WizardAudioMeasure, FarEndRunFindsThePlayedSource) {
    for (const std::uint8_t played : {sim::source::kFarEndA, sim::source::kFarEndB}) {
        auto config = SimRig::fastConfig();
        config.acoustic.playedFarEndSource = played;
        SimRig rig(config);
        TestDataFolder folder(rig.dir.file("data/"));
        const std::string record = folder.file("FE_Test.wav");
        recordRun(rig, "FE_Play.wav", record, sim::source::kFarEndA, sim::source::kFarEndB);
        const int channel = played == sim::source::kFarEndA ? 1 : 2;
        const double coherence = farEndCoherence(playFilePath("FE_Play.wav"), record, channel);
        RecordProperty("coherence" + std::to_string(channel), std::to_string(coherence));
        EXPECT_GE(coherence, 0.95);
        EXPECT_EQ(rig.engine->GetFEChannel(), channel);
        EXPECT_TRUE(rig.boxes->shown().empty());
    }
}

TEST(WizardAudioMeasure, FarEndRunWithNothingRoutedFindsNoFarEnd) {
    SimRig rig;
    TestDataFolder folder(rig.dir.file("data/"));
    const std::string record = folder.file("FE_Test.wav");
    // Neither destination is fed from a far-end source: both channels are silent.
    recordRun(rig, "FE_Play.wav", record, 0, 0);
    EXPECT_EQ(rig.engine->GetFEChannel(), -1);
}

class DelayRun : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(DelayRun, MeasureDelayRecoversTheSimulatedDelay) {
    const auto [acousticMs, externalMs] = GetParam();
    SimRig rig(configWith(acousticMs, externalMs));
    TestDataFolder folder(rig.dir.file("data/"));
    recordRun(rig, "Delay_Play.wav", folder.file("Delay_Test.wav"), sim::source::kFarEndA,
              sim::source::kMicrophone);
    const int measured = rig.engine->MeasureDelay();
    // The measurement reports the delay less its correction of 5 (a clear, coherent echo).
    const int expected = static_cast<int>(std::lround(acousticMs + externalMs)) - 5;
    EXPECT_NEAR(measured, expected, 1) << "echo delay " << acousticMs + externalMs << " ms";
    EXPECT_TRUE(rig.boxes->shown().empty());
}

INSTANTIATE_TEST_SUITE_P(EchoDelays, DelayRun,
                         ::testing::Values(std::pair{20.0, 0.0}, std::pair{35.0, 0.0}, std::pair{20.0, 150.0},
                                           std::pair{12.0, 250.0}));

TEST(WizardAudioMeasure, EchoFiguresPassForAGoodUnit) {
    SimRig rig;
    TestDataFolder folder(rig.dir.file("data/"));
    recordEchoRun(rig, folder);
    double lms = 0.0;
    double total = 0.0;
    EXPECT_EQ(rig.engine->TestEchoReduction(folder, lms, total), 1);
    RecordProperty("lms", std::to_string(lms));
    RecordProperty("total", std::to_string(total));
    EXPECT_GE(lms, 0.0);
    EXPECT_GE(total, 30.0);
    double residual = 0.0;
    EXPECT_EQ(rig.engine->TestResidualEcho(folder, residual), 1);
    EXPECT_LE(residual, -45.0);
    EXPECT_TRUE(rig.boxes->shown().empty());
    EXPECT_EQ(rig.engine->m_pAnalysisReader, nullptr);
}

TEST(WizardAudioMeasure, EchoFiguresFailForAFaultyUnit) {
    for (const auto fault : {sim::EchoCancellerFault::Stuck, sim::EchoCancellerFault::Diverging}) {
        SimRig rig(configWith(20.0, 0.0, fault));
        TestDataFolder folder(rig.dir.file("data/"));
        recordEchoRun(rig, folder);
        double lms = 0.0;
        double total = 0.0;
        EXPECT_EQ(rig.engine->TestEchoReduction(folder, lms, total), 0);
        EXPECT_LT(total, 30.0);
        double residual = 0.0;
        EXPECT_EQ(rig.engine->TestResidualEcho(folder, residual), 0);
        EXPECT_GT(residual, -45.0);
    }
}

TEST(WizardAudioMeasure, EchoFiguresOfAMissingRecordingNameThePath) {
    SimRig rig;
    TestDataFolder folder(rig.dir.file("data/"));
    double lms = 7.0;
    double total = 7.0;
    EXPECT_EQ(rig.engine->TestEchoReduction(folder, lms, total), 0);
    EXPECT_EQ(total, 0.0);
    EXPECT_EQ(lms, 7.0);
    const auto shown = rig.boxes->shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "WaveOpen");
    EXPECT_EQ(shown[0].text, "Unable to open file: " + folder.file("Echo_Test.wav"));
}
