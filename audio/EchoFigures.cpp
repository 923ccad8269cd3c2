#include "audio/EchoFigures.h"

#include <cmath>

namespace echo_figures {

std::uint32_t channelBytes(double seconds, int rateHz) {
    if (rateHz <= 0 || seconds <= 0.0) {
        return 0;
    }
    return 2 * static_cast<std::uint32_t>(seconds * rateHz + 0.5);
}

double sampleSum(std::span<const std::int16_t> samples) {
    double sum = 0.0;
    for (const std::int16_t sample : samples) {
        sum += static_cast<double>(sample);
    }
    return sum;
}

double squaredDeviationSum(std::span<const std::int16_t> samples, double mean) {
    double sum = 0.0;
    for (const std::int16_t sample : samples) {
        const double deviation = static_cast<double>(sample) - mean;
        sum += deviation * deviation;
    }
    return sum;
}

float levelFromDeviation(double squaredDeviations, std::uint32_t sampleCount) {
    if (sampleCount < 2) {
        return kSilentDb;
    }
    const double variance = squaredDeviations / static_cast<double>(sampleCount - 1);
    const float rms = static_cast<float>(std::sqrt(variance));
    if (rms > 0.0f) {
        return static_cast<float>(20.0 * std::log10(static_cast<double>(rms)) - kFullScaleDb);
    }
    return kSilentDb;
}

float levelOfSamples(std::span<const std::int16_t> samples) {
    const auto count = static_cast<std::uint32_t>(samples.size());
    if (count == 0) {
        return kSilentDb;
    }
    const double mean = sampleSum(samples) / count;
    return levelFromDeviation(squaredDeviationSum(samples, mean), count);
}

EchoReduction echoReduction(float levelA, float levelB, float levelC) {
    EchoReduction figures;
    // The differences are taken in single precision, as the levels are.
    figures.lms = static_cast<double>(levelA - levelB);
    figures.total = static_cast<double>(levelA - levelC);
    figures.pass = figures.total >= kTotalLimitDb && figures.lms >= kLmsLimitDb;
    return figures;
}

bool residualEchoPasses(double residualDb) {
    return residualDb <= kResidualLimitDb;
}

}  // namespace echo_figures
