#include "audio/DelayEstimator.h"

#include <gtest/gtest.h>

#include <complex>

#include "tests/audio/TestSignals.h"

using namespace delay_estimator;
using test_signals::Samples;

namespace {

constexpr int kRate = 32000;
constexpr std::size_t kFourSegments = 4 * 20160;

struct Estimate {
    int result = 0;
    int delay = -7;
    double coherence = -7.0;
};

Estimate estimate(const Samples& reference, const Samples& microphone, int rate, int segments) {
    Estimate e;
    e.result = estimateDelay(reference, microphone, rate, segments, e.delay, e.coherence);
    return e;
}

// Broadband noise as the loudspeaker plays it, and what the microphone hears of it: the direct
// sound after `delaySamples`, two room reflections and the room's own noise.
struct RoomRecording {
    Samples reference;
    Samples microphone;
};

RoomRecording roomRecording(std::size_t count, std::size_t delaySamples, double noiseAmplitude,
                            std::uint32_t seed) {
    const auto played = test_signals::whiteNoise(count, 8000.0, seed);
    auto heard = test_signals::whiteNoise(count, noiseAmplitude, seed + 1000);
    test_signals::addDelayed(heard, played, delaySamples, 0.5);
    test_signals::addDelayed(heard, played, delaySamples + 7 * 32, 0.2);
    test_signals::addDelayed(heard, played, delaySamples + 23 * 32, 0.1);
    return {test_signals::toSamples(played), test_signals::toSamples(heard)};
}

SearchTable tableOf(std::initializer_list<std::array<LagBest, kToneCount>> rows) {
    SearchTable table{};
    std::size_t s = 0;
    for (const auto& row : rows) {
        table[s++] = row;
    }
    return table;
}

}  // namespace

TEST(DelayEstimatorSizes, WindowAndLagsFitTheSegmentAtEveryRate) {
    const SearchSizes at32k = searchSizes(32000);
    EXPECT_EQ(at32k.segmentSamples, 20160);
    EXPECT_EQ(at32k.decimated, 630);
    EXPECT_EQ(at32k.window, 280);
    EXPECT_EQ(at32k.maxLag, 349);

    const SearchSizes at16k = searchSizes(16000);
    EXPECT_EQ(at16k.decimated, 315);
    EXPECT_EQ(at16k.window, 140);
    EXPECT_EQ(at16k.maxLag, 175);

    EXPECT_EQ(searchSizes(48000).maxLag, 349);
    for (int rate : {8000, 11025, 22050, 44100, 48000, 96000}) {
        const SearchSizes sizes = searchSizes(rate);
        EXPECT_LE(sizes.maxLag + sizes.window, sizes.decimated) << rate;
    }
    EXPECT_EQ(searchSizes(0).window, 0);
    EXPECT_EQ(searchSizes(-32000).window, 0);
}

TEST(DelayEstimatorSearch, IdenticalChannelsGiveZero) {
    const auto signal = test_signals::toSamples(test_signals::whiteNoise(kFourSegments, 6000.0, 1));
    const Estimate e = estimate(signal, signal, kRate, 4);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.delay, 0);
    EXPECT_NEAR(e.coherence, 1.0, 1e-9);
}

TEST(DelayEstimatorSearch, BroadbandReferenceDelayedBy1280SamplesGives35) {
    const auto played = test_signals::whiteNoise(kFourSegments, 8000.0, 2);
    std::vector<double> heard(kFourSegments, 0.0);
    test_signals::addDelayed(heard, played, 1280, 1.0);
    const Estimate e = estimate(test_signals::toSamples(played), test_signals::toSamples(heard), kRate, 4);
    EXPECT_EQ(e.result, 35);
    EXPECT_EQ(e.delay, 35);
    EXPECT_GT(e.coherence, 0.99);
}

TEST(DelayEstimatorSearch, SilentMicrophoneFindsNothing) {
    const auto reference = test_signals::toSamples(test_signals::whiteNoise(kFourSegments, 6000.0, 3));
    const Samples silence(kFourSegments, 0);

    const Estimate four = estimate(reference, silence, kRate, 4);
    EXPECT_EQ(four.result, -1);
    EXPECT_EQ(four.delay, -1);
    EXPECT_EQ(four.coherence, 0.0);

    const Estimate one = estimate(reference, silence, kRate, 1);
    EXPECT_EQ(one.result, 1000);
    EXPECT_EQ(one.coherence, 0.0);

    EXPECT_EQ(estimate(silence, silence, kRate, 1).result, 1000);
}

TEST(DelayEstimatorSearch, OneSegmentGivesTheLagUncorrected) {
    const auto room = roomRecording(20160, 40 * 32, 200.0, 4);
    const Estimate e = estimate(room.reference, room.microphone, kRate, 1);
    EXPECT_EQ(e.result, 40);
    EXPECT_GT(e.coherence, 0.7);
}

TEST(DelayEstimatorSearch, SegmentCountOutsideOneToFourLeavesOutputsAlone) {
    const auto signal = test_signals::toSamples(test_signals::whiteNoise(5 * 20160, 6000.0, 5));
    for (int segments : {0, -1, 5}) {
        const Estimate e = estimate(signal, signal, kRate, segments);
        EXPECT_EQ(e.result, -1) << segments;
        EXPECT_EQ(e.delay, -7) << segments;
        EXPECT_EQ(e.coherence, -7.0) << segments;
    }
}

TEST(DelayEstimatorSearch, SignalShorterThanTheSegmentsIsRefused) {
    const auto signal = test_signals::toSamples(test_signals::whiteNoise(kFourSegments - 1, 6000.0, 6));
    const Estimate e = estimate(signal, signal, kRate, 4);
    EXPECT_EQ(e.result, -1);
    EXPECT_EQ(e.delay, -7);
    // Three segments fit in the same samples.
    EXPECT_EQ(estimate(signal, signal, kRate, 3).result, 0);
}

TEST(DelayEstimatorSearch, RateWithTooFewValuesForAWindowIsRefused) {
    const Samples signal(1000, 100);
    EXPECT_EQ(estimate(signal, signal, 100, 1).result, -1);
    EXPECT_EQ(estimate(signal, signal, 0, 1).result, -1);
}

TEST(DelayEstimatorSearch, At16000HzTheLagsStayInsideTheSegment) {
    // One decimated value is 2 ms at 16000 Hz: 40 values are 1280 samples.
    const std::size_t count = 4 * 10080;
    const auto room = roomRecording(count, 40 * 32, 200.0, 7);
    const Estimate e = estimate(room.reference, room.microphone, 16000, 4);
    EXPECT_EQ(e.result, 35);

    // A delay beyond the shortened lag range finds no coherent lag at the true delay.
    const auto far = roomRecording(count, 200 * 32, 0.0, 8);
    const Estimate beyond = estimate(far.reference, far.microphone, 16000, 4);
    EXPECT_NE(beyond.result, 195);
}

class DelayAcrossRoom : public ::testing::TestWithParam<int> {};

TEST_P(DelayAcrossRoom, RecoversTheDelayWithNoiseAndEcho) {
    const int delayMs = GetParam();
    const auto room = roomRecording(kFourSegments, static_cast<std::size_t>(delayMs) * 32, 400.0,
                                    static_cast<std::uint32_t>(100 + delayMs));
    const Estimate e = estimate(room.reference, room.microphone, kRate, 4);
    EXPECT_EQ(e.result, std::max(delayMs - 5, 0));
    EXPECT_GT(e.coherence, 0.7);
}

INSTANTIATE_TEST_SUITE_P(ZeroTo300Ms, DelayAcrossRoom, ::testing::Values(0, 3, 5, 12, 40, 87, 150, 233, 300));

TEST(DelayEstimatorSearch, DelayBetweenDecimatedValuesLandsOnANeighbour) {
    // 40.5 ms lies between two decimated values: the lag is one of them, at a lower coherence.
    const auto played = test_signals::whiteNoise(kFourSegments, 8000.0, 9);
    std::vector<double> heard(kFourSegments, 0.0);
    test_signals::addDelayed(heard, played, 40 * 32 + 16, 1.0);
    const auto reference = test_signals::toSamples(played);
    const auto microphone = test_signals::toSamples(heard);

    const Estimate one = estimate(reference, microphone, kRate, 1);
    EXPECT_GE(one.result, 40);
    EXPECT_LE(one.result, 41);
    EXPECT_LT(one.coherence, 0.99);

    const Estimate four = estimate(reference, microphone, kRate, 4);
    const int correction = four.coherence > 0.7 ? 5 : 15;
    EXPECT_GE(four.result + correction, 40);
    EXPECT_LE(four.result + correction, 41);
}

TEST(DelayEstimatorSelect, SmallestLagOfTheAgreeingTonesWins) {
    // One segment: 500 Hz at lag 12, 1000 Hz at lag 10, 3100 Hz not coherent.
    const SearchTable one = tableOf({{{{0.9, 12}, {0.8, 10}, {0.1, 3}}}});
    double coherence = 0.0;
    EXPECT_EQ(selectDelay(one, 1, coherence), 10);
    EXPECT_DOUBLE_EQ(coherence, 0.8);

    // Equal lags: the earlier tone is chosen and its coherence reported.
    const SearchTable equal = tableOf({{{{0.6, 10}, {0.9, 10}, {0.95, 10}}}});
    EXPECT_EQ(selectDelay(equal, 1, coherence), 10);
    EXPECT_DOUBLE_EQ(coherence, 0.6);
}

TEST(DelayEstimatorSelect, CorrectionFollowsTheChosenTonesCoherence) {
    const std::array<LagBest, kToneCount> high = {{{0.71, 40}, {0.2, 0}, {0.2, 0}}};
    const std::array<LagBest, kToneCount> low = {{{0.7, 40}, {0.2, 0}, {0.2, 0}}};
    double coherence = 0.0;
    EXPECT_EQ(selectDelay(tableOf({high, high, high, high}), 4, coherence), 35);
    EXPECT_DOUBLE_EQ(coherence, 0.71);
    // 0.7 is not above 0.7.
    EXPECT_EQ(selectDelay(tableOf({low, low, low, low}), 4, coherence), 25);
    // Never below 0.
    const std::array<LagBest, kToneCount> near = {{{0.5, 9}, {0.0, 0}, {0.0, 0}}};
    EXPECT_EQ(selectDelay(tableOf({near, near, near}), 3, coherence), 0);
}

TEST(DelayEstimatorSelect, ToneNeedsThreeCoherentSegmentsThatAgree) {
    double coherence = 0.0;
    // Lags 10, 12 and 17: spread 7, rejected; the 1000 Hz tone agrees at 20.
    const SearchTable spread = tableOf({{{{0.9, 10}, {0.8, 20}, {0.0, 0}}},
                                        {{{0.9, 12}, {0.8, 21}, {0.0, 0}}},
                                        {{{0.9, 17}, {0.8, 25}, {0.0, 0}}}});
    EXPECT_EQ(selectDelay(spread, 3, coherence), 20 - 5);
    EXPECT_DOUBLE_EQ(coherence, 0.8);

    // Coherence 0.3 counts, just below does not.
    const std::array<LagBest, kToneCount> atLimit = {{{0.3, 30}, {0.0, 0}, {0.0, 0}}};
    const std::array<LagBest, kToneCount> below = {{{0.2999, 30}, {0.0, 0}, {0.0, 0}}};
    EXPECT_EQ(selectDelay(tableOf({atLimit, atLimit, atLimit, below}), 4, coherence), 15);
    EXPECT_EQ(selectDelay(tableOf({atLimit, atLimit, below, below}), 4, coherence), -1);

    // Two segments can never give three coherent ones.
    EXPECT_EQ(selectDelay(tableOf({atLimit, atLimit}), 2, coherence), -1);

    // Spread of exactly 5 is accepted.
    const SearchTable five = tableOf({{{{0.9, 10}, {0.0, 0}, {0.0, 0}}},
                                      {{{0.9, 15}, {0.0, 0}, {0.0, 0}}},
                                      {{{0.9, 12}, {0.0, 0}, {0.0, 0}}}});
    EXPECT_EQ(selectDelay(five, 3, coherence), 5);
}

TEST(DelayEstimatorSelect, NoCoherentToneWithOneSegmentGives1000) {
    double coherence = -1.0;
    EXPECT_EQ(selectDelay(SearchTable{}, 1, coherence), 1000);
    EXPECT_EQ(coherence, 0.0);
    // A single coherent segment with a spread above 5 cannot happen: one lag has no spread.
    const SearchTable one = tableOf({{{{0.2, 10}, {0.31, 300}, {0.0, 0}}}});
    EXPECT_EQ(selectDelay(one, 1, coherence), 300);
}

TEST(ComplexMultiplyTest, MatchesComplexArithmeticWithAndWithoutConjugate) {
    constexpr int n = 7;  // not a multiple of four
    std::vector<std::complex<double>> a(n);
    std::vector<std::complex<double>> b(n);
    for (int k = 0; k < n; ++k) {
        a[k] = {1.5 * k - 2.0, 0.25 * k + 1.0};
        b[k] = {-0.5 * k + 3.0, 2.0 - k};
    }
    for (bool conjugate : {false, true}) {
        std::vector<std::complex<double>> out(n + 1, {99.0, 99.0});
        complexMultiply(reinterpret_cast<const double*>(a.data()), reinterpret_cast<const double*>(b.data()),
                        reinterpret_cast<double*>(out.data()), n, conjugate);
        for (int k = 0; k < n; ++k) {
            const auto expected = a[k] * (conjugate ? std::conj(b[k]) : b[k]);
            EXPECT_DOUBLE_EQ(out[k].real(), expected.real()) << k;
            EXPECT_DOUBLE_EQ(out[k].imag(), expected.imag()) << k;
        }
        EXPECT_EQ(out[n], std::complex<double>(99.0, 99.0));
    }
}
