#pragma once

#include <array>
#include <cstdint>
#include <span>

// Multi-tone coherence search between a reference and a microphone signal. Each signal is
// demodulated at three tones, low-passed and decimated by 32; for every tone and every segment of
// 0.63 s the lag of best coherence is searched, and the tones whose lags agree give the delay, in
// decimated values (milliseconds at 32000 Hz).
namespace delay_estimator {

inline constexpr int kToneCount = 3;
inline constexpr std::array<int, kToneCount> kTonesHz = {500, 1000, 3100};
inline constexpr int kMaxSegments = 4;
inline constexpr int kDecimation = 32;
inline constexpr int kSegmentMs = 630;
inline constexpr int kWindowMs = 280;
inline constexpr int kMaxLag = 349;
inline constexpr float kPi = 3.1416f;
inline constexpr double kLowPass = 0.9896;
inline constexpr double kCoherentAt = 0.3;
inline constexpr int kSegmentsNeeded = 3;
inline constexpr int kMaxLagSpread = 5;
inline constexpr int kNoTone = 1222;
inline constexpr int kNothingCoherent = 1000;
inline constexpr double kHighCoherence = 0.7;
inline constexpr int kCorrectionHigh = 5;
inline constexpr int kCorrectionLow = 15;

// Sizes of one search at a sample rate.
struct SearchSizes {
    int segmentSamples = 0;  // L: rate x 630 / 1000
    int decimated = 0;       // D: L / 32
    int window = 0;          // W: (rate x 280 / 1000) / 32
    int maxLag = 0;          // largest lag whose window stays inside the D values
};

// Zero sizes for a rate the search cannot use.
SearchSizes searchSizes(int rateHz);

// Best coherence of one (segment, tone) and the smallest lag that reached it.
struct LagBest {
    double coherence = 0.0;
    int lag = 0;
};

using SearchTable = std::array<std::array<LagBest, kToneCount>, kMaxSegments>;

// Picks the delay from the per-segment bests of `segments` segments (1 to 4): the smallest lag of the
// tones whose coherent segments agree, corrected when more than one segment was searched.
// `coherence` receives the chosen tone's largest coherence.
int selectDelay(const SearchTable& table, int segments, double& coherence);

// Runs the search over `segments` segments of 0.63 s from the start of both signals. Returns the
// delay (also stored in `delay`), or -1 when the segment count is outside 1 to 4, the rate unusable,
// a signal shorter than the segments or the work buffers cannot be had (outputs then unchanged).
// With one segment: the smallest coherent lag uncorrected, or 1000 when no tone is coherent; with
// more: the corrected delay, or -1 when no tone qualifies.
int estimateDelay(std::span<const std::int16_t> reference, std::span<const std::int16_t> microphone,
                  int rateHz, int segments, int& delay, double& coherence);

// out[k] := a[k] x b[k], or a[k] x conj(b[k]) when `conjugate`, for n complex values stored as
// (real, imaginary) pairs.
void complexMultiply(const double* a, const double* b, double* out, int n, bool conjugate);

}  // namespace delay_estimator
