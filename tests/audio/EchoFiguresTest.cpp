#include "audio/EchoFigures.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/audio/TestSignals.h"

using namespace echo_figures;
using test_signals::Samples;

TEST(EchoFiguresWindows, ByteCountsOfOneChannel) {
    EXPECT_EQ(channelBytes(kWindowA.startSeconds, 32000), 32000u);
    EXPECT_EQ(channelBytes(kWindowA.lengthSeconds, 32000), 96000u);
    EXPECT_EQ(channelBytes(kWindowB.startSeconds, 32000), 256000u);
    EXPECT_EQ(channelBytes(kWindowC.startSeconds, 32000), 422400u);
    EXPECT_EQ(channelBytes(kWindowR.startSeconds, 32000), 140800u);
    EXPECT_EQ(channelBytes(kWindowR.lengthSeconds, 32000), 115200u);

    EXPECT_EQ(channelBytes(kWindowA.startSeconds, 16000), 16000u);
    EXPECT_EQ(channelBytes(kWindowB.startSeconds, 16000), 128000u);
    EXPECT_EQ(channelBytes(kWindowC.startSeconds, 16000), 211200u);
    // 0.5 x 11025 = 5512.5 rounds up.
    EXPECT_EQ(channelBytes(0.5, 11025), 2u * 5513u);
    EXPECT_EQ(channelBytes(1.5, 0), 0u);

    // The factors that binary cannot hold are the single-precision ones.
    EXPECT_EQ(kWindowC.startSeconds, 6.599999904632568);
    EXPECT_EQ(kWindowR.startSeconds, 2.200000047683716);
    EXPECT_EQ(kWindowR.lengthSeconds, 1.7999999523162842);
}

TEST(EchoFiguresLevel, FullScaleSquareWaveIsJustBelowZero) {
    Samples square(48000);
    for (std::size_t n = 0; n < square.size(); ++n) {
        square[n] = (n / 40) % 2 == 0 ? 32767 : -32767;
    }
    const float level = levelOfSamples(square);
    const double n = static_cast<double>(square.size());
    const float rms = static_cast<float>(std::sqrt(n * 32767.0 * 32767.0 / (n - 1)));
    EXPECT_EQ(level, static_cast<float>(20.0 * std::log10(static_cast<double>(rms)) - 90.309));
    // About 20 x log10(32767) - 90.309 = -0.000265; n / (n - 1) lifts it a little.
    EXPECT_NEAR(level, -0.0003, 0.00015);
}

TEST(EchoFiguresLevel, SineLevelFollowsItsAmplitude) {
    const auto loud = test_signals::sine(32000, 1000.0, 32000, 16384.0);
    const auto quiet = test_signals::sine(32000, 1000.0, 32000, 16384.0 / 100.0);
    // A sine's rms is its amplitude / sqrt(2).
    EXPECT_NEAR(levelOfSamples(loud), 20.0 * std::log10(16384.0 / std::sqrt(2.0)) - 90.309, 0.01);
    EXPECT_NEAR(levelOfSamples(loud) - levelOfSamples(quiet), 40.0, 0.05);
}

TEST(EchoFiguresLevel, SilenceDcAndTinyRangesGiveMinus1000) {
    EXPECT_EQ(levelOfSamples(Samples(1000, 0)), -1000.0f);
    EXPECT_EQ(levelOfSamples(Samples(1000, 1234)), -1000.0f);
    EXPECT_EQ(levelOfSamples(Samples(1000, -32768)), -1000.0f);
    EXPECT_EQ(levelOfSamples(Samples{5000}), -1000.0f);
    EXPECT_EQ(levelOfSamples(Samples{}), -1000.0f);
    EXPECT_EQ(levelFromDeviation(1.0e6, 1), -1000.0f);
    EXPECT_EQ(levelFromDeviation(std::nan(""), 100), -1000.0f);
    // Two samples are enough.
    EXPECT_GT(levelOfSamples(Samples{-100, 100}), -1000.0f);
}

TEST(EchoFiguresLevel, MeanIsRemovedBeforeTheLevel) {
    auto centred = test_signals::sine(16000, 500.0, 16000, 1000.0);
    Samples offset = centred;
    for (auto& sample : offset) {
        sample = static_cast<std::int16_t>(sample + 5000);
    }
    EXPECT_FLOAT_EQ(levelOfSamples(offset), levelOfSamples(centred));
}

TEST(EchoFiguresLimits, EchoReductionPassesAtTheLimitsExactly) {
    const EchoReduction atLimits = echoReduction(-10.0f, -10.0f, -40.0f);
    EXPECT_EQ(atLimits.lms, 0.0);
    EXPECT_EQ(atLimits.total, 30.0);
    EXPECT_TRUE(atLimits.pass);

    const EchoReduction shortTotal = echoReduction(-10.0f, -20.0f, -39.99f);
    EXPECT_NEAR(shortTotal.total, 29.99, 1e-5);
    EXPECT_FALSE(shortTotal.pass);

    const EchoReduction negativeLms = echoReduction(-10.0f, -9.99f, -60.0f);
    EXPECT_LT(negativeLms.lms, 0.0);
    EXPECT_FALSE(negativeLms.pass);

    const EchoReduction good = echoReduction(-12.5f, -20.25f, -55.0f);
    EXPECT_EQ(good.lms, 7.75);
    EXPECT_EQ(good.total, 42.5);
    EXPECT_TRUE(good.pass);
}

TEST(EchoFiguresLimits, SilentReferenceFailsAndUnreadWindowCountsAsZero) {
    const EchoReduction silentA = echoReduction(-1000.0f, -60.0f, -70.0f);
    EXPECT_NEAR(silentA.lms, -940.0, 1e-3);
    EXPECT_FALSE(silentA.pass);

    // A window C that could not be read counts as 0.0 dB: total = A.
    const EchoReduction unreadC = echoReduction(-20.0f, -25.0f, 0.0f);
    EXPECT_EQ(unreadC.total, -20.0);
    EXPECT_FALSE(unreadC.pass);
}

TEST(EchoFiguresLimits, ResidualEchoPassesAtMinus45Exactly) {
    EXPECT_TRUE(residualEchoPasses(-45.0));
    EXPECT_TRUE(residualEchoPasses(-1000.0));
    EXPECT_FALSE(residualEchoPasses(-44.99));
    EXPECT_FALSE(residualEchoPasses(0.0));
}
