// Times the delay search and the measurements on a 10 s two-channel recording at 32000 Hz.
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/CWaveFileReader.h"
#include "audio/CWaveFileWriter.h"
#include "audio/DelayEstimator.h"
#include "audio/RecordingMeasures.h"

namespace {

constexpr int kRate = 32000;
constexpr int kSeconds = 10;
constexpr int kRuns = 20;

std::vector<std::int16_t> noise(std::size_t count, double amplitude, std::uint64_t seed) {
    std::vector<std::int16_t> out(count);
    std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ seed;
    for (auto& sample : out) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        sample = static_cast<std::int16_t>(amplitude *
                                           (static_cast<double>(state >> 11) / 9007199254740992.0 * 2 - 1));
    }
    return out;
}

// Median and fastest of kRuns runs, in milliseconds.
void time(const char* what, const std::function<int()>& run) {
    std::vector<double> ms;
    int result = 0;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        result = run();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %7.2f ms  fastest %7.2f ms  (result %d)\n", what, ms[ms.size() / 2], ms.front(),
                result);
}

}  // namespace

int main() {
    const std::size_t frames = static_cast<std::size_t>(kRate) * kSeconds;
    const auto reference = noise(frames, 8000.0, 1);
    std::vector<std::int16_t> microphone(frames, 0);
    const std::size_t delay = 40 * 32;
    for (std::size_t n = delay; n < frames; ++n) {
        microphone[n] = static_cast<std::int16_t>(reference[n - delay] / 2);
    }
    std::vector<std::int16_t> interleaved(2 * frames);
    for (std::size_t n = 0; n < frames; ++n) {
        interleaved[2 * n] = microphone[n];
        interleaved[2 * n + 1] = reference[n];
    }
    // The delay measurement expects the reference first.
    std::vector<std::int16_t> delayOrder(2 * frames);
    for (std::size_t n = 0; n < frames; ++n) {
        delayOrder[2 * n] = reference[n];
        delayOrder[2 * n + 1] = microphone[n];
    }

    const auto dir = std::filesystem::temp_directory_path() / ("bench_measure." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string echoFile = (dir / "Echo_Test.wav").string();
    const std::string delayFile = (dir / "Delay_Test.wav").string();
    for (const auto& [path, samples] :
         {std::pair{echoFile, &interleaved}, std::pair{delayFile, &delayOrder}}) {
        CWaveFileWriter writer;
        if (!writer.Create(path, CWaveFormat(2, kRate, 16)) ||
            !writer.Write(samples->data(), static_cast<int>(samples->size() * 2)) || !writer.Close()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }

    std::printf("%d s two-channel recording at %d Hz, %d runs each\n", kSeconds, kRate, kRuns);
    time("EstimateDelay, 4 segments (in memory)", [&] {
        int d = 0;
        double c = 0.0;
        return delay_estimator::estimateDelay(reference, microphone, kRate, 4, d, c);
    });
    time("EstimateDelay, 1 segment (in memory)", [&] {
        int d = 0;
        double c = 0.0;
        return delay_estimator::estimateDelay(reference, microphone, kRate, 1, d, c);
    });
    time("MeasureDelay (file)", [&] { return recording_measures::measureDelay(delayFile); });
    time("CalcEchoReduction (file)", [&] {
        std::unique_ptr<CWaveFileReader> slot;
        double lms = 0.0;
        double total = 0.0;
        return recording_measures::calcEchoReduction(slot, echoFile, lms, total);
    });
    std::filesystem::remove_all(dir);
    return 0;
}
