#include "tests/audio/WitnessedRun.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using testing_audio::RecordingFlaw;
using testing_audio::WitnessedRun;

// A recording of 1000 frames at 1 kHz, every sample 1 but the one at `at`.
std::vector<std::int16_t> recording(std::int16_t sample, std::size_t at) {
    std::vector<std::int16_t> samples(1000, 1);
    samples[at] = sample;
    return samples;
}

// The first sample other than 1: a silent one is a gap, another one noise.
std::optional<RecordingFlaw> findFlaw(const std::vector<std::int16_t>& samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] != 1) {
            const char* kind = samples[i] == 0 ? "gap" : "noise";
            return RecordingFlaw{kind, kind, static_cast<double>(i) / 1000};
        }
    }
    return std::nullopt;
}

// What our take and the server's recorder heard: the sample each has at a frame.
struct JudgementCase {
    const char* name;
    std::int16_t ours;
    std::size_t oursAt;
    std::int16_t theirs;
    std::size_t theirsAt;
    int run;
    bool repeated;
};

class WitnessedRunTest : public testing::TestWithParam<JudgementCase> {};

TEST_P(WitnessedRunTest, OnlyAFlawTheServerHeardAtTheSamePlaceIsItsOwnAndRepeatsTheRun) {
    const auto& c = GetParam();
    EXPECT_EQ(testing_audio::serverMadeTheFlaw(recording(c.ours, c.oursAt), recording(c.theirs, c.theirsAt),
                                               findFlaw, {}, c.run),
              c.repeated);
}

INSTANTIATE_TEST_SUITE_P(
    Judgements, WitnessedRunTest,
    testing::Values(JudgementCase{"OursWhole", 1, 100, 0, 100, 1, false},
                    JudgementCase{"OnlyOurs", 0, 100, 1, 100, 1, false},
                    JudgementCase{"BothAtTheSamePlace", 0, 100, 0, 120, WitnessedRun::kMostRuns - 1, true},
                    JudgementCase{"BothApart", 0, 100, 0, 140, 1, false},
                    JudgementCase{"BothOfOtherKinds", 0, 100, 5, 100, 1, false},
                    JudgementCase{"BothOnTheLastRun", 0, 100, 0, 100, WitnessedRun::kMostRuns, false}),
    [](const testing::TestParamInfo<JudgementCase>& info) { return std::string(info.param.name); });

}  // namespace
