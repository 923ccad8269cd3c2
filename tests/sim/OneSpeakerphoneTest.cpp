// The simulated unit's HID side and acoustic side are one speakerphone: what the program
// commands over HID changes what the unit does to the sound.
#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "sim/SimAcousticPath.h"
#include "sim/SimHidBus.h"
#include "sim/UnitCatalogue.h"

namespace {

class OneSpeakerphone : public ::testing::Test {
protected:
    void SetUp() override {
        bus.attach(sim::makeUnit(sim::catalogueProfile("brevik-kr600"), state));
        ASSERT_TRUE(protocol.Connect(-1, false, true));
        ASSERT_EQ(protocol.m_productCode, 83);
    }

    // Echo gain the canceller leaves after `ms` of sound in the unit's current state.
    double cancellerGainAfter(sim::EchoCanceller& canceller, double ms) {
        double gain = 0.0;
        for (double t = 0; t < ms; t += 10.0) {
            gain = canceller.advance(*state, 10.0);
        }
        return gain;
    }

    std::shared_ptr<sim::UnitState> state = std::make_shared<sim::UnitState>();
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
};

TEST_F(OneSpeakerphone, EchoTestSwitchesDecideWhatTheCancellerRemoves) {
    // The unit's stored speaker delay (80 ms) matches its speaker path.
    sim::AcousticConfig config;
    config.externalSpeakerDelayMs = 80.0 - config.acousticDelayMs;
    sim::EchoCanceller canceller(config);

    ASSERT_GE(protocol.SendCommand(0x8601, 1000), 0);  // adaptive stage bypassed
    ASSERT_GE(protocol.SendCommand(0x8606, 1000), 0);  // non-linear stage bypassed
    EXPECT_TRUE(state->switchOn(sim::kSwitchAdaptiveBypass));
    EXPECT_NEAR(cancellerGainAfter(canceller, 1000), 0.0, 0.5);

    ASSERT_GE(protocol.SendCommand(0x8401, 1000), 0);
    const double adaptiveOnly = cancellerGainAfter(canceller, 2000);
    EXPECT_LT(adaptiveOnly, -20.0);

    ASSERT_GE(protocol.SendCommand(0x8406, 1000), 0);
    EXPECT_FALSE(state->switchOn(sim::kSwitchNonLinearBypass));
    EXPECT_LT(cancellerGainAfter(canceller, 500), adaptiveOnly - 20.0);

    // A speaker delay that misses the speaker path leaves the adaptive stage nothing to do.
    ASSERT_GE(protocol.SetParameterItem(sim::kSpeakerDelayPage, sim::kSpeakerDelayParameter, 0, 300), 0);
    ASSERT_GE(protocol.SendCommand(0x8606, 1000), 0);
    sim::EchoCanceller misaligned(config);
    EXPECT_GT(cancellerGainAfter(misaligned, 2000), -3.0);
}

TEST_F(OneSpeakerphone, RoutingAndSpeakerDelayWrittenOverHidReachTheAcousticSide) {
    ASSERT_GE(protocol.SetRouting(31, 25), 0);
    ASSERT_GE(protocol.SetRouting(32, 26), 0);
    EXPECT_EQ(state->routingSource(sim::kRecordLeft), 31);
    EXPECT_EQ(state->routingSource(sim::kRecordRight), 32);

    ASSERT_GE(protocol.SetParameterItem(sim::kSpeakerDelayPage, sim::kSpeakerDelayParameter, 0, 35), 0);
    EXPECT_EQ(state->parameter(sim::kSpeakerDelayPage, sim::kSpeakerDelayParameter, 0), 35);
}

}  // namespace
