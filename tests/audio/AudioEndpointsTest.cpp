#include "audio/AudioEndpoints.h"

#include <gtest/gtest.h>

#include "sim/SimEndpoints.h"
#include "tests/support/SessionLocale.h"

namespace {

using platform::EndpointFlow;
using sim::SimEndpoints;

constexpr auto kRender = EndpointFlow::Render;
constexpr auto kCapture = EndpointFlow::Capture;

SimEndpoints::Endpoint endpoint(std::string id, std::string name) {
    SimEndpoints::Endpoint e;
    e.id = std::move(id);
    e.friendlyName = std::move(name);
    return e;
}

// A desk with a built-in card and one unit.
struct OneUnit : testing::Test {
    OneUnit() {
        sim.addEndpoint(kRender, endpoint("hdmi", "HDMI Output"));
        sim.addEndpoint(kRender, endpoint("spk", "Speakers (Qnlr Speakerphone)"));
        sim.addEndpoint(kCapture, endpoint("int", "Internal Microphone"));
        sim.addEndpoint(kCapture, endpoint("mic", "Microphone (Qnlr Speakerphone)"));
        sim.addEndpoint(kCapture, endpoint("line", "Line In"));
    }
    const SimEndpoints::Endpoint& speaker() { return *sim.endpoint(kRender, "spk"); }
    const SimEndpoints::Endpoint& microphone() { return *sim.endpoint(kCapture, "mic"); }

    SimEndpoints sim;
};

TEST(AudioEndpointsSearch, NoSpeakerphoneMeansNoNamesAndEveryOperationFails) {
    SimEndpoints sim;
    sim.addEndpoint(kRender, endpoint("a", "Built-in Audio"));
    sim.addEndpoint(kCapture, endpoint("b", "Built-in Audio Microphone"));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.GetSpeakerName(), "");
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
    EXPECT_EQ(endpoints.speakerIndex(), -1);
    EXPECT_EQ(endpoints.microphoneIndex(), -1);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
    EXPECT_FALSE(endpoints.IsBrandSpeaker());
    EXPECT_EQ(endpoints.SetSpeakerVolume(100), -1);
    EXPECT_EQ(endpoints.GetSpeakerVolume(), -1);
    EXPECT_EQ(endpoints.UnmuteSpeaker(), -1);
    EXPECT_EQ(endpoints.SetMicrophoneVolume(100), -1);
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), -1);
    EXPECT_EQ(endpoints.UnmuteMicrophone(), -1);
    EXPECT_EQ(endpoints.GetSpeakerName(), "");
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
    EXPECT_EQ(sim.endpoint(kRender, "a")->scalar, 1.0f);
}

TEST(AudioEndpointsSearch, WithoutAnEnumeratorNothingIsPresent) {
    CAudioEndpoints endpoints(nullptr);
    EXPECT_EQ(endpoints.GetEndpointCount(1), -1);
    EXPECT_EQ(endpoints.GetEndpointCount(0), -1);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
    EXPECT_EQ(endpoints.FindEndpointIndex(1, "Qnlr"), -1);
    EXPECT_EQ(endpoints.FindSpeakerName(), "");
    EXPECT_EQ(endpoints.FindMicrophoneName(), "");
    endpoints.SelectSpeakerByName("Qnlr");
    EXPECT_EQ(endpoints.SetSpeakerVolume(1), -1);
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), -1);
}

TEST_F(OneUnit, FindsSpeakerAndMicrophoneWithTheirPositions) {
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "Microphone (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.microphoneIndex(), 1);
    EXPECT_TRUE(endpoints.IsBrandSpeaker());
    EXPECT_EQ(endpoints.GetEndpointCount(1), 2);
    EXPECT_EQ(endpoints.GetEndpointCount(0), 3);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 1);
}

TEST(AudioEndpointsSearch, FirstOfTwoUnitsIsTheSpeakerAndBothCount) {
    SimEndpoints sim;
    sim.addEndpoint(kRender, endpoint("x", "Built-in Audio"));
    sim.addEndpoint(kRender, endpoint("a", "Qnlr Speakerphone"));
    sim.addEndpoint(kRender, endpoint("b", "Qnlr Speakerphone"));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.speakerIndex(), 1);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 2);
}

TEST(AudioEndpointsSearch, FragmentOrderDecidesBeforeEndpointOrder) {
    SimEndpoints sim;
    sim.addEndpoint(kRender, endpoint("old", "AK4571 USB Audio"));
    sim.addEndpoint(kRender, endpoint("new", "Speakers (Qnlr 40)"));
    sim.addEndpoint(kCapture, endpoint("old", "GL 400/800 Microphone"));
    sim.addEndpoint(kCapture, endpoint("new", "Varnholt H880 Mic"));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr 40)");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "GL 400/800 Microphone");
    EXPECT_EQ(endpoints.microphoneIndex(), 0);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 2);
    EXPECT_TRUE(endpoints.IsBrandSpeaker());
}

TEST(AudioEndpointsSearch, MatchingIsCaseSensitive) {
    SimEndpoints sim;
    sim.addEndpoint(kRender, endpoint("a", "qnlr speakerphone"));
    sim.addEndpoint(kCapture, endpoint("a", "QNLR microphone"));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.GetSpeakerName(), "");
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
    EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
}

TEST(AudioEndpointsSearch, EchoCancellingFragmentsDifferBetweenSpeakerAndMicrophone) {
    SimEndpoints sim;
    sim.addEndpoint(kRender, endpoint("plain", "Echo Cancelling Speakerphone"));
    sim.addEndpoint(kCapture, endpoint("plain", "Echo Cancelling Speakerphone"));
    CAudioEndpoints plain(&sim);
    EXPECT_EQ(plain.GetSpeakerName(), "");  // the speaker needs "(P" after the words
    EXPECT_EQ(plain.CountSpeakerphones(), 0);
    EXPECT_EQ(plain.GetMicrophoneName(), "Echo Cancelling Speakerphone");

    sim.addEndpoint(kRender, endpoint("pro", "Echo Cancelling Speakerphone (Pro 60)"));
    CAudioEndpoints withBracket(&sim);
    EXPECT_EQ(withBracket.GetSpeakerName(), "Echo Cancelling Speakerphone (Pro 60)");
    EXPECT_EQ(withBracket.speakerIndex(), 1);
    EXPECT_EQ(withBracket.CountSpeakerphones(), 1);
}

TEST_F(OneUnit, AnEndpointHoldingSeveralFragmentsCountsOnce) {
    sim.addEndpoint(kRender, endpoint("combo", "Qnlr AK4571 GL 400/800"));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 2);
}

TEST_F(OneUnit, SearchTextIsTrimmedAndNamesTooBeforeMatching) {
    sim.addEndpoint(kRender, endpoint("padded", "  Qnlr Padded  "));
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.FindEndpointIndex(1, " \tQnlr \n"), endpoints.FindEndpointIndex(1, "Qnlr"));
    EXPECT_EQ(endpoints.FindEndpointIndex(1, "Qnlr Padded"), 2);
    std::string name = "  ignored  ";
    EXPECT_EQ(endpoints.GetEndpointName(1, 2, name), 1);
    EXPECT_EQ(name, "  Qnlr Padded  ");  // a name read is not trimmed
}

TEST_F(OneUnit, GetEndpointNameFailsOutsideTheListAndLeavesTheTrimmedName) {
    CAudioEndpoints endpoints(&sim);
    std::string name = " kept ";
    EXPECT_EQ(endpoints.GetEndpointName(1, 2, name), -1);
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(endpoints.GetEndpointName(1, -1, name), -1);
    EXPECT_EQ(name, "kept");
}

TEST_F(OneUnit, EmptySearchTextUsesTheCachedOrFoundName) {
    CAudioEndpoints endpoints(&sim);
    EXPECT_EQ(endpoints.FindEndpointIndex(0, ""), 1);
    SimEndpoints empty;
    CAudioEndpoints none(&empty);
    EXPECT_EQ(none.FindEndpointIndex(1, ""), -1);
    EXPECT_EQ(none.FindEndpointIndex(0, ""), -1);
}

TEST_F(OneUnit, SelectingAnUnknownSpeakerKeepsTheNameWithoutAnIndex) {
    CAudioEndpoints endpoints(&sim);
    endpoints.SelectSpeakerByName("Headphones (USB)");
    EXPECT_EQ(endpoints.GetSpeakerName(), "Headphones (USB)");
    EXPECT_EQ(endpoints.speakerIndex(), -1);
    EXPECT_FALSE(endpoints.IsBrandSpeaker());

    EXPECT_EQ(endpoints.SetSpeakerVolume(1000), -1);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Headphones (USB)");
    EXPECT_EQ(endpoints.GetSpeakerVolume(), -1);
    EXPECT_EQ(endpoints.GetSpeakerName(), "");
    // The next operation finds the speaker again by the fragment list.
    EXPECT_EQ(endpoints.SetSpeakerVolume(65535), 0);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
}

TEST_F(OneUnit, SelectingAnEmptyNameRestoresTheAutomaticChoice) {
    sim.addEndpoint(kRender, endpoint("usb", "USB Headset"));
    CAudioEndpoints endpoints(&sim);
    endpoints.SelectSpeakerByName("USB Headset");
    EXPECT_EQ(endpoints.speakerIndex(), 2);
    endpoints.SelectSpeakerByName("");
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
}

TEST_F(OneUnit, ANameUnreadableAfterTheSearchLeavesTheFragmentAsName) {
    CAudioEndpoints endpoints(&sim);
    sim.failEnumerationsAfter(1);  // the search succeeds, reading the name fails
    EXPECT_EQ(endpoints.FindSpeakerName(), "Qnlr");
    EXPECT_EQ(endpoints.GetSpeakerName(), "Qnlr");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
}

TEST_F(OneUnit, FailedEnumerationGivesFailureResults) {
    CAudioEndpoints endpoints(&sim);
    sim.failEnumerationsAfter(0);
    EXPECT_EQ(endpoints.GetEndpointCount(1), -1);
    EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
    EXPECT_EQ(endpoints.FindEndpointIndex(1, "Qnlr"), -1);
    EXPECT_EQ(endpoints.speakerIndex(), 1);  // a miss stores nothing
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), -1);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
}

TEST_F(OneUnit, SpeakerVolumeUsesTheScalarScaleAndResetsTheProgramsOwnVolume) {
    sim.removeEndpoint(kRender, "spk");
    auto spk = endpoint("spk", "Speakers (Qnlr Speakerphone)");
    spk.ownStreams = {0.25f, 0.5f};
    sim.addEndpoint(kRender, spk);
    CAudioEndpoints endpoints(&sim);

    EXPECT_EQ(endpoints.SetSpeakerVolume(0), 0);
    EXPECT_EQ(speaker().scalar, 0.0f);
    EXPECT_EQ(speaker().ownStreams, (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 0);

    EXPECT_EQ(endpoints.SetSpeakerVolume(65535), 0);
    EXPECT_EQ(speaker().scalar, 1.0f);
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 65535);

    EXPECT_EQ(endpoints.ApplySpeakerVolume(13107, 0), 0);  // the second level plays no part
    EXPECT_FLOAT_EQ(speaker().scalar, 0.2f);
    const int readBack = endpoints.GetSpeakerVolume();
    EXPECT_TRUE(readBack == 13107 || readBack == 13106) << readBack;

    EXPECT_EQ(endpoints.SetSpeakerVolume(65536), -1);
    EXPECT_EQ(endpoints.SetSpeakerVolume(-1), -1);
    EXPECT_FLOAT_EQ(speaker().scalar, 0.2f);
}

TEST_F(OneUnit, HalfScalarReadsAs32767) {
    CAudioEndpoints endpoints(&sim);
    ASSERT_TRUE(sim.setVolumeScalar(kRender, "spk", 0.5f));
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 32767);
}

TEST_F(OneUnit, ARejectedLevelIsWrittenWithAPointInAnySessionLocale) {
    ScopedSessionLocale session;
    if (!session.ok()) {
        GTEST_SKIP() << "no Turkish or German locale installed";
    }
    const auto rejected = sim.setVolumeScalar(kRender, "spk", 1.5f);
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().what, "volume scalar of spk: 1.500000 is out of range");
}

TEST_F(OneUnit, MicrophoneIsSetLinearlyInDbAndReadOnTheScalarScale) {
    sim.removeEndpoint(kCapture, "mic");
    auto mic = endpoint("mic", "Microphone (Qnlr Speakerphone)");
    mic.range = {-12.0f, 30.0f, 1.5f};
    sim.addEndpoint(kCapture, mic);
    CAudioEndpoints endpoints(&sim);

    EXPECT_EQ(endpoints.SetMicrophoneVolume(0), 0);
    EXPECT_FLOAT_EQ(sim.volumeDb(kCapture, "mic").value(), -12.0f);
    EXPECT_EQ(endpoints.SetMicrophoneVolume(65535), 0);
    EXPECT_FLOAT_EQ(sim.volumeDb(kCapture, "mic").value(), 30.0f);
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), 65535);
    EXPECT_EQ(endpoints.SetMicrophoneVolume(32768), 0);
    const float db = sim.volumeDb(kCapture, "mic").value();
    EXPECT_GT(db, 9.0f);
    EXPECT_NEAR(db, 9.0 + 21.0 / 65535, 1e-4);
    EXPECT_EQ(endpoints.ApplyMicrophoneVolume(65535, 0), 0);
    EXPECT_FLOAT_EQ(sim.volumeDb(kCapture, "mic").value(), 30.0f);
    EXPECT_EQ(endpoints.SetMicrophoneVolume(70000), -1);
    EXPECT_FLOAT_EQ(sim.volumeDb(kCapture, "mic").value(), 30.0f);
}

TEST_F(OneUnit, UnmuteClearsMute) {
    CAudioEndpoints endpoints(&sim);
    ASSERT_TRUE(sim.setMute(kRender, "spk", true));
    ASSERT_TRUE(sim.setMute(kCapture, "mic", true));
    EXPECT_EQ(endpoints.UnmuteSpeaker(), 0);
    EXPECT_EQ(endpoints.UnmuteMicrophone(), 0);
    EXPECT_FALSE(speaker().muted);
    EXPECT_FALSE(microphone().muted);
    EXPECT_TRUE(sim.setMute(kCapture, "mic", true));
    EXPECT_TRUE(sim.isMuted(kCapture, "mic").value());
}

TEST_F(OneUnit, FailedGettersAndUnmutesForgetTheNameButSettersKeepIt) {
    CAudioEndpoints endpoints(&sim);
    sim.setFailVolumeCalls(true);
    EXPECT_EQ(endpoints.SetSpeakerVolume(100), -1);
    EXPECT_EQ(endpoints.SetMicrophoneVolume(100), -1);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.GetMicrophoneName(), "Microphone (Qnlr Speakerphone)");

    EXPECT_EQ(endpoints.GetSpeakerVolume(), -1);
    EXPECT_EQ(endpoints.GetSpeakerName(), "");
    EXPECT_EQ(endpoints.UnmuteMicrophone(), -1);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
    EXPECT_EQ(endpoints.speakerIndex(), 1);  // the index waits for the next search

    sim.setFailVolumeCalls(false);
    EXPECT_EQ(endpoints.UnmuteSpeaker(), 0);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
    EXPECT_GE(endpoints.GetMicrophoneVolume(), 0);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "Microphone (Qnlr Speakerphone)");
}

TEST_F(OneUnit, OwnVolumeFailureFailsTheSpeakerVolumeAfterTheScalarIsSet) {
    CAudioEndpoints endpoints(&sim);
    sim.setFailOwnStreamVolume(true);
    EXPECT_EQ(endpoints.SetSpeakerVolume(0), -1);
    EXPECT_EQ(speaker().scalar, 0.0f);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");
}

TEST_F(OneUnit, AnEndpointGoneSinceTheSearchFailsAndIsFoundAgain) {
    CAudioEndpoints endpoints(&sim);
    sim.removeEndpoint(kCapture, "line");
    sim.removeEndpoint(kCapture, "mic");
    sim.removeEndpoint(kCapture, "int");
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), -1);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "");
    sim.addEndpoint(kCapture, endpoint("mic2", "Qnlr Microphone"));
    EXPECT_EQ(endpoints.UnmuteMicrophone(), 0);
    EXPECT_EQ(endpoints.GetMicrophoneName(), "Qnlr Microphone");
    EXPECT_EQ(endpoints.microphoneIndex(), 0);
}

TEST_F(OneUnit, RefreshFollowsAChangeOfDevices) {
    CAudioEndpoints endpoints(&sim);
    sim.removeEndpoint(kRender, "spk");
    sim.addEndpoint(kRender, endpoint("spk2", "Varnholt HCD300 Speaker"));
    EXPECT_EQ(endpoints.GetSpeakerName(), "Speakers (Qnlr Speakerphone)");  // a cache until refreshed
    endpoints.Refresh();
    EXPECT_EQ(endpoints.GetSpeakerName(), "Varnholt HCD300 Speaker");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
    EXPECT_FALSE(endpoints.IsBrandSpeaker());
}

}  // namespace
