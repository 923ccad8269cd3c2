#include "platform/PulseStreamLoss.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using platform::dryRunLoss;
using platform::peekedLoss;

// A chunk taken from a recording stream: only one without sound is a gap.
struct PeekCase {
    const char* name;
    bool hasSound;
    std::size_t bytes;
    std::uint32_t holes;
};

class PulsePeekedLossTest : public testing::TestWithParam<PeekCase> {};

TEST_P(PulsePeekedLossTest, AChunkWithoutSoundIsOneHole) {
    const std::uint8_t sound[960] = {};
    const auto lost = peekedLoss(GetParam().hasSound ? sound : nullptr, GetParam().bytes);
    EXPECT_EQ(lost.holes, GetParam().holes);
    EXPECT_EQ(lost.underflows + lost.overflows + lost.discardedBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Chunks, PulsePeekedLossTest,
                         testing::Values(PeekCase{"Sound", true, 960, 0}, PeekCase{"Hole", false, 960, 1},
                                         PeekCase{"Nothing", false, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The server ran dry at a byte of a playing stream: late sound is a gap at once, the end of
// what was written one only if more follows without a play-out, the start none.
struct DryRunCase {
    const char* name;
    std::int64_t at;  // negative: the server did not say
    std::int64_t written;
    bool playedOut;
    std::uint32_t underflows;
    bool gapIfMoreFollows;
};

class PulseDryRunLossTest : public testing::TestWithParam<DryRunCase> {};

TEST_P(PulseDryRunLossTest, TheIndexTellsAGapFromAnEnd) {
    const auto& c = GetParam();
    const auto loss = dryRunLoss(c.at, c.written, c.playedOut);
    EXPECT_EQ(loss.lost.underflows, c.underflows);
    EXPECT_EQ(loss.gapIfMoreFollows, c.gapIfMoreFollows);
    EXPECT_EQ(loss.lost.overflows + loss.lost.holes + loss.lost.discardedBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Indexes, PulseDryRunLossTest,
                         testing::Values(DryRunCase{"AtTheStart", 0, 9600, false, 0, false},
                                         DryRunCase{"BeforeSoundWritten", 4800, 9600, false, 1, false},
                                         DryRunCase{"BeforeSoundWrittenAfterPlayOut", 4800, 9600, true, 1,
                                                    false},
                                         DryRunCase{"AtTheEnd", 9600, 9600, false, 0, true},
                                         DryRunCase{"AtTheEndAfterPlayOut", 9600, 9600, true, 0, false},
                                         DryRunCase{"UntoldAfterSound", -1, 9600, false, 0, true},
                                         DryRunCase{"UntoldAfterPlayOut", -1, 9600, true, 0, false},
                                         DryRunCase{"UntoldBeforeSound", -1, 0, false, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
