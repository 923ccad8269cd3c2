#pragma once

#include <cstdint>
#include <span>

// Levels and echo figures of the echo test, with their pass limits. Levels are in dB relative to
// the 16-bit full scale, in single precision, and -1000 for a silent range.
namespace echo_figures {

inline constexpr double kLmsLimitDb = 0.0;         // LMS echo reduction: at least
inline constexpr double kTotalLimitDb = 30.0;      // total echo reduction: at least
inline constexpr double kResidualLimitDb = -45.0;  // residual echo: at most
inline constexpr float kSilentDb = -1000.0f;
inline constexpr double kFullScaleDb = 90.309;  // about 20 x log10(32768)

// A stretch of the echo recording, in seconds of sound.
struct Window {
    double startSeconds;
    double lengthSeconds;
};

// Factors that are not exact in binary are the single-precision values widened to double.
inline constexpr Window kWindowA{0.5, 1.5};  // reference level, before the stage command at 2 s
inline constexpr Window kWindowB{4.0, 1.5};  // between the stage commands at 2 s and 6 s
inline constexpr Window kWindowC{static_cast<double>(6.6f), 1.5};  // after the stage command at 6 s
inline constexpr Window kWindowR{static_cast<double>(2.2f), static_cast<double>(1.8f)};  // residual echo

// Bytes of one channel's 16-bit samples in `seconds` of sound: 2 x round(seconds x rate), where
// round adds 0.5 and drops the fraction.
std::uint32_t channelBytes(double seconds, int rateHz);

// The two passes of a level measurement: the sum of the samples, then, with the mean, the sum of
// the squared deviations.
double sampleSum(std::span<const std::int16_t> samples);
double squaredDeviationSum(std::span<const std::int16_t> samples, double mean);

// The level of `sampleCount` samples from their squared deviations: 20 x log10(rms) - 90.309 with
// rms the sample standard deviation in single precision; -1000 when it is 0 or not a number,
// including ranges of fewer than 2 samples.
float levelFromDeviation(double squaredDeviations, std::uint32_t sampleCount);

// The level of samples held in memory, computed as from a file.
float levelOfSamples(std::span<const std::int16_t> samples);

struct EchoReduction {
    double lms = 0.0;    // A - B
    double total = 0.0;  // A - C
    bool pass = false;   // total >= 30.0 and LMS >= 0.0
};

// The echo-reduction figures from the levels A, B and C.
EchoReduction echoReduction(float levelA, float levelB, float levelC);

// Residual echo passes at or below -45.0 dB.
bool residualEchoPasses(double residualDb);

}  // namespace echo_figures
