#include "platform/PulseStreamLoss.h"

namespace platform {

WaveStreamCounters peekedLoss(const void* data, std::size_t bytes) {
    WaveStreamCounters lost;
    if (data == nullptr && bytes > 0) {
        ++lost.holes;
    }
    return lost;
}

DryRunLoss dryRunLoss(std::int64_t at, std::int64_t written, bool playedOut) {
    DryRunLoss loss;
    if (at > 0 && at < written) {
        ++loss.lost.underflows;
    } else if ((at > 0 || (at < 0 && written > 0)) && !playedOut) {
        loss.gapIfMoreFollows = true;
    }
    return loss;
}

}  // namespace platform
