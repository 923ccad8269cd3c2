#include "audio/DelayEstimator.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "audio/MeasureMessages.h"

namespace delay_estimator {

namespace {

// Rates above this would overflow the segment arithmetic; no sound device offers them.
constexpr int kMaxRateHz = 1'000'000;

// Start of segment s in input samples: s x rate x 630 / 1000, as one integer division.
std::int64_t segmentStart(int segment, int rateHz) {
    return static_cast<std::int64_t>(segment) * rateHz * kSegmentMs / 1000;
}

// e^(i n omega) for n from 0 to length - 1: the phase counts from every segment's start, so one
// table serves all segments of a tone.
void fillPhasors(int length, double omega, double* phasors) {
    for (int n = 0; n < length; ++n) {
        const double phase = n * omega;
        phasors[2 * n] = std::cos(phase);
        phasors[2 * n + 1] = std::sin(phase);
    }
}

// Demodulates one segment of both signals at one tone: X[n] := x[start + n] x e^(i n omega).
void demodulate(const std::int16_t* reference, const std::int16_t* microphone, int length,
                const double* phasors, double* r, double* m) {
    for (int n = 0; n < length; ++n) {
        const double c = phasors[2 * n];
        const double s = phasors[2 * n + 1];
        r[2 * n] = reference[n] * c;
        r[2 * n + 1] = reference[n] * s;
        m[2 * n] = microphone[n] * c;
        m[2 * n + 1] = microphone[n] * s;
    }
}

// One-pole low-pass y := a y + (1 - a) x over `length` complex values of both sequences, keeping
// every 32nd output. The four filters run side by side.
void lowPassDecimate(const double* r, const double* m, int length, double* rOut, double* mOut) {
    double rRe = 0.0;
    double rIm = 0.0;
    double mRe = 0.0;
    double mIm = 0.0;
    int kept = 0;
    for (int n = 0; n < length; ++n) {
        rRe = kLowPass * rRe + (1.0 - kLowPass) * r[2 * n];
        rIm = kLowPass * rIm + (1.0 - kLowPass) * r[2 * n + 1];
        mRe = kLowPass * mRe + (1.0 - kLowPass) * m[2 * n];
        mIm = kLowPass * mIm + (1.0 - kLowPass) * m[2 * n + 1];
        if ((n + 1) % kDecimation == 0) {
            rOut[2 * kept] = rRe;
            rOut[2 * kept + 1] = rIm;
            mOut[2 * kept] = mRe;
            mOut[2 * kept + 1] = mIm;
            ++kept;
        }
    }
}

double energy(const double* x, int n) {
    double sum = 0.0;
    for (int k = 0; k < n; ++k) {
        sum += x[2 * k] * x[2 * k] + x[2 * k + 1] * x[2 * k + 1];
    }
    return sum;
}

struct WorkBuffers {
    std::vector<double> phasors;
    std::vector<double> reference;
    std::vector<double> microphone;
    std::vector<double> referenceDecimated;
    std::vector<double> microphoneDecimated;
    std::vector<double> microphonePower;  // |Md[k]|^2
    std::vector<double> product;
};

// Best coherence over the lags of one segment at one tone; the smallest lag wins among equal values,
// and a lag whose energies are zero (coherence not a number) never wins.
LagBest searchLags(WorkBuffers& work, const SearchSizes& sizes) {
    const double* rd = work.referenceDecimated.data();
    const double* md = work.microphoneDecimated.data();
    double* power = work.microphonePower.data();
    double* product = work.product.data();
    for (int k = 0; k < sizes.decimated; ++k) {
        power[k] = md[2 * k] * md[2 * k] + md[2 * k + 1] * md[2 * k + 1];
    }
    const double referenceEnergy = energy(rd, sizes.window);
    LagBest best;
    for (int lag = 0; lag <= sizes.maxLag; ++lag) {
        complexMultiply(rd, md + 2 * lag, product, sizes.window, true);
        double sRe = 0.0;
        double sIm = 0.0;
        double microphoneEnergy = 0.0;
        for (int k = 0; k < sizes.window; ++k) {
            sRe += product[2 * k];
            sIm += product[2 * k + 1];
            microphoneEnergy += power[lag + k];
        }
        const double coherence = (sRe * sRe + sIm * sIm) / (microphoneEnergy * referenceEnergy);
        if (coherence > best.coherence) {
            best.coherence = coherence;
            best.lag = lag;
        }
    }
    return best;
}

}  // namespace

SearchSizes searchSizes(int rateHz) {
    if (rateHz <= 0 || rateHz > kMaxRateHz) {
        return {};
    }
    SearchSizes sizes;
    sizes.segmentSamples = rateHz * kSegmentMs / 1000;
    sizes.decimated = sizes.segmentSamples / kDecimation;
    sizes.window = (rateHz * kWindowMs / 1000) / kDecimation;
    if (sizes.window <= 0) {
        return {};
    }
    // Below 32000 Hz the 350 lags and the window would run past the decimated values.
    sizes.maxLag = std::min(kMaxLag, sizes.decimated - sizes.window);
    return sizes;
}

int selectDelay(const SearchTable& table, int segments, double& coherence) {
    struct ToneSummary {
        int count = 0;
        int maxLag = 0;
        int minLag = 1000;
        double maxCoherence = 0.0;
    };
    std::array<ToneSummary, kToneCount> tones{};
    int result = kNoTone;
    int chosen = 0;
    for (int t = 0; t < kToneCount; ++t) {
        ToneSummary& tone = tones[t];
        for (int s = 0; s < segments; ++s) {
            const LagBest& best = table[s][t];
            if (best.coherence >= kCoherentAt) {
                ++tone.count;
                tone.maxLag = std::max(tone.maxLag, best.lag);
                tone.minLag = std::min(tone.minLag, best.lag);
                tone.maxCoherence = std::max(tone.maxCoherence, best.coherence);
            }
        }
        const bool tooFew = tone.count < kSegmentsNeeded && segments > 1;
        if (tooFew || tone.maxLag - tone.minLag > kMaxLagSpread) {
            continue;
        }
        if (tone.minLag < result) {
            result = tone.minLag;
            chosen = t;
        }
    }
    if (segments > 1) {
        if (result == kNoTone) {
            result = -1;
        } else {
            result -= tones[chosen].maxCoherence > kHighCoherence ? kCorrectionHigh : kCorrectionLow;
            result = std::max(result, 0);
        }
    }
    coherence = tones[chosen].maxCoherence;
    return result;
}

int estimateDelay(std::span<const std::int16_t> reference, std::span<const std::int16_t> microphone,
                  int rateHz, int segments, int& delay, double& coherence) {
    if (segments < 1 || segments > kMaxSegments) {
        return -1;
    }
    const SearchSizes sizes = searchSizes(rateHz);
    if (sizes.window == 0) {
        return -1;
    }
    const std::int64_t needed = segmentStart(segments - 1, rateHz) + sizes.segmentSamples;
    if (static_cast<std::int64_t>(reference.size()) < needed ||
        static_cast<std::int64_t>(microphone.size()) < needed) {
        return -1;
    }

    WorkBuffers work;
    try {
        work.phasors.resize(2 * static_cast<std::size_t>(sizes.segmentSamples));
        work.reference.resize(2 * static_cast<std::size_t>(sizes.segmentSamples));
        work.microphone.resize(2 * static_cast<std::size_t>(sizes.segmentSamples));
        work.referenceDecimated.resize(2 * static_cast<std::size_t>(sizes.decimated));
        work.microphoneDecimated.resize(2 * static_cast<std::size_t>(sizes.decimated));
        work.microphonePower.resize(static_cast<std::size_t>(sizes.decimated));
        work.product.resize(2 * static_cast<std::size_t>(sizes.window));
    } catch (const std::bad_alloc& error) {
        measure_messages::reportOutOfMemory(error);
        return -1;
    }

    SearchTable table{};
    for (int t = 0; t < kToneCount; ++t) {
        const double omega = kTonesHz[t] * 2.0 * static_cast<double>(kPi) / rateHz;
        fillPhasors(sizes.segmentSamples, omega, work.phasors.data());
        for (int s = 0; s < segments; ++s) {
            const std::int64_t start = segmentStart(s, rateHz);
            demodulate(reference.data() + start, microphone.data() + start, sizes.segmentSamples,
                       work.phasors.data(), work.reference.data(), work.microphone.data());
            lowPassDecimate(work.reference.data(), work.microphone.data(), sizes.segmentSamples,
                            work.referenceDecimated.data(), work.microphoneDecimated.data());
            table[s][t] = searchLags(work, sizes);
        }
    }

    const int result = selectDelay(table, segments, coherence);
    delay = result;
    return result;
}

void complexMultiply(const double* a, const double* b, double* out, int n, bool conjugate) {
    const double sign = conjugate ? -1.0 : 1.0;
    for (int k = 0; k < n; ++k) {
        const double aRe = a[2 * k];
        const double aIm = a[2 * k + 1];
        const double bRe = b[2 * k];
        const double bIm = sign * b[2 * k + 1];
        out[2 * k] = aRe * bRe - aIm * bIm;
        out[2 * k + 1] = aRe * bIm + aIm * bRe;
    }
}

}  // namespace delay_estimator
