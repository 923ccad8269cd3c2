#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

// Signals whose truth is known, made for the measurement tests.
namespace test_signals {

using Samples = std::vector<std::int16_t>;

inline std::int16_t clampSample(double value) {
    return static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

// Deterministic white noise, uniform in [-amplitude, amplitude].
inline std::vector<double> whiteNoise(std::size_t count, double amplitude, std::uint32_t seed) {
    std::vector<double> out(count);
    std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ seed;
    for (double& value : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        value = amplitude * (static_cast<double>(state >> 11) / static_cast<double>(1ULL << 53) * 2.0 - 1.0);
    }
    return out;
}

// x delayed by `delay` samples (zeros before it), scaled, added into `into`.
inline void addDelayed(std::vector<double>& into, const std::vector<double>& x, std::size_t delay,
                       double gain) {
    for (std::size_t n = delay; n < into.size() && n - delay < x.size(); ++n) {
        into[n] += gain * x[n - delay];
    }
}

inline Samples toSamples(const std::vector<double>& x) {
    Samples out(x.size());
    std::transform(x.begin(), x.end(), out.begin(), clampSample);
    return out;
}

inline Samples sine(std::size_t count, double frequencyHz, int rateHz, double amplitude) {
    Samples out(count);
    for (std::size_t n = 0; n < count; ++n) {
        out[n] = clampSample(
            amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * static_cast<double>(n) / rateHz));
    }
    return out;
}

// Left and right channels as one two-channel stream, left first.
inline Samples interleave(const Samples& left, const Samples& right) {
    Samples out(2 * std::min(left.size(), right.size()));
    for (std::size_t n = 0; n < out.size() / 2; ++n) {
        out[2 * n] = left[n];
        out[2 * n + 1] = right[n];
    }
    return out;
}

}  // namespace test_signals
