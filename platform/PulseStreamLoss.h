#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WaveDevices.h"

namespace platform {

// What the server's reports on a stream mean for its sound, apart from the stream that gets them.

// What a chunk taken from a recording stream (pa_stream_peek) lost: one without sound is a gap
// the server left, recorded as silence.
WaveStreamCounters peekedLoss(const void* data, std::size_t bytes);

// What the server's word that a playing stream ran dry means.
struct DryRunLoss {
    WaveStreamCounters lost;        // a gap now: sound written after that point was played late
    bool gapIfMoreFollows = false;  // all that was written was played: a gap once more is written
};

// at: the byte of the stream where the server ran dry (negative: not told); written: the bytes
// written so far; playedOut: playOut was the last word, so running dry after it is no loss. At
// the start of the stream running dry is no gap at all.
DryRunLoss dryRunLoss(std::int64_t at, std::int64_t written, bool playedOut);

}  // namespace platform
