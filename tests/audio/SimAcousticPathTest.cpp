#include <gtest/gtest.h>

#include <cmath>

#include "tests/audio/AudioTestSupport.h"

using namespace audiotest;

namespace {

struct EchoFigures {
    double a = 0, b = 0, c = 0, residual = 0;
    double lms() const { return a - b; }
    double total() const { return a - c; }
    bool passes() const { return total() >= 30.0 && lms() >= 0.0; }
};

// Runs the echo test's recording as the dialog does: both canceller stages bypassed at the
// start, switched in at the marks of 2 s and 6 s, recording on the unit's default routing.
EchoFigures runEchoTest(SimRig& rig) {
    for (const std::uint8_t sw : {0x15, 0x0E, 0x06, 0x01}) {
        rig.unit->setSwitch(sw, true);
    }
    rig.unit->setRouting(25, 25);
    rig.unit->setRouting(26, 26);
    const auto record = rig.dir.file("Echo_Test.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), record);
    rig.engine->m_markSeconds = 2.0;
    EXPECT_EQ(rig.engine->Start(&rig.queue), 1);
    EXPECT_TRUE(rig.runEchoDialog(30000));
    rig.stopAndDrain();
    const auto left = readChannel(record, 1);
    EchoFigures figures;
    figures.a = levelDb(left, 0.5, 1.5, 32000);
    figures.b = levelDb(left, 4.0, 1.5, 32000);
    figures.c = levelDb(left, 6.6, 1.5, 32000);
    figures.residual = levelDb(left, 2.2, 1.8, 32000);
    return figures;
}

sim::SimAudioConfig withAcoustic(void (*change)(sim::AcousticConfig&)) {
    auto config = SimRig::fastConfig();
    change(config.acoustic);
    return config;
}

}  // namespace

TEST(SimEchoTest, GoodUnitPassesTheEchoReductionLimits) {
    SimRig rig;
    const auto figures = runEchoTest(rig);
    RecordProperty("lms", std::to_string(figures.lms()));
    RecordProperty("total", std::to_string(figures.total()));
    EXPECT_TRUE(figures.passes()) << "A " << figures.a << " B " << figures.b << " C " << figures.c;
    EXPECT_GT(figures.lms(), 15.0);
    EXPECT_TRUE(rig.boxes->shown().empty());
}

TEST(SimEchoTest, StuckCancellerFails) {
    SimRig rig(withAcoustic([](sim::AcousticConfig& a) { a.fault = sim::EchoCancellerFault::Stuck; }));
    const auto figures = runEchoTest(rig);
    EXPECT_FALSE(figures.passes()) << "A " << figures.a << " B " << figures.b << " C " << figures.c;
    EXPECT_LT(figures.total(), 5.0);
}

TEST(SimEchoTest, DivergingCancellerFails) {
    SimRig rig(withAcoustic([](sim::AcousticConfig& a) { a.fault = sim::EchoCancellerFault::Diverging; }));
    const auto figures = runEchoTest(rig);
    EXPECT_FALSE(figures.passes());
    EXPECT_LT(figures.lms(), 0.0) << "A " << figures.a << " B " << figures.b;
}

TEST(SimEchoTest, NoisyRoomFails) {
    SimRig rig(withAcoustic([](sim::AcousticConfig& a) { a.roomNoiseDbfs = -40.0; }));
    const auto figures = runEchoTest(rig);
    EXPECT_FALSE(figures.passes()) << "A " << figures.a << " C " << figures.c;
    EXPECT_GT(figures.c, -45.0);
}

TEST(SimEchoTest, OlderUnitWithoutStageSwitchesPassesResidualEcho) {
    SimRig rig(withAcoustic([](sim::AcousticConfig& a) { a.stageSwitchesSupported = false; }));
    const auto figures = runEchoTest(rig);
    EXPECT_LE(figures.residual, -45.0);
}

TEST(SimEchoTest, SpeakerDelayParameterMustCoverALongSpeakerPath) {
    // An external speaker path of 150 ms: the canceller, aligned at 0 ms, cannot follow.
    auto config = withAcoustic([](sim::AcousticConfig& a) { a.externalSpeakerDelayMs = 150.0; });
    {
        SimRig rig(config);
        EXPECT_FALSE(runEchoTest(rig).passes());
    }
    {
        SimRig rig(config);
        rig.unit->setParameter(0, 13, 0, 165);  // about what the delay measurement stores
        EXPECT_TRUE(runEchoTest(rig).passes());
    }
}
