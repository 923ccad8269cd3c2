#include "audio/RecordingMeasures.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "audio/CWaveFileReader.h"
#include "audio/DelayEstimator.h"
#include "audio/EchoFigures.h"
#include "audio/MeasureMessages.h"
#include "audio/WaveFileErrors.h"

namespace recording_measures {

namespace {

constexpr double kFarEndCoherence = 0.95;
constexpr std::uint32_t kBlockBytes = 2048;

int sampleRateOf(const CWaveFileReader& reader) {
    return reader.m_pFormat ? static_cast<int>(reader.m_pFormat->samplesPerSec) : 0;
}

int channelCountOf(const CWaveFileReader& reader) {
    return reader.m_pFormat ? reader.m_pFormat->channels : 0;
}

// round(factor x rate) in single precision: add 0.5 and drop the fraction.
std::uint32_t roundedSamples(float factor, int rateHz) {
    return static_cast<std::uint32_t>(factor * static_cast<float>(rateHz) + 0.5f);
}

// Where the far-end and delay measurements read: 2 x round(0.017 x rate) samples of the file in,
// and `count` samples of the file (count / 2 of one channel of a two-channel file).
struct ReadPlan {
    std::uint32_t offset = 0;
    std::uint32_t count = 0;
};

ReadPlan readPlan(int rateHz, float seconds) {
    return {2 * roundedSamples(0.017f, rateHz), 2 * roundedSamples(seconds, rateHz)};
}

// Reads one channel of a two-channel file into `buffer` (count samples of room) at the plan's
// offset; true when the whole count / 2 samples of the channel came.
bool readChannelAt(CWaveFileReader& reader, const ReadPlan& plan, int channel,
                   std::vector<std::int16_t>& buffer) {
    if (!reader.SeekData(2 * plan.offset)) {
        return false;
    }
    return reader.ReadChannel(buffer.data(), plan.count, channel) >= plan.count;
}

// The samples kept by readChannelAt.
std::span<const std::int16_t> keptSamples(const std::vector<std::int16_t>& buffer, const ReadPlan& plan) {
    return {buffer.data(), plan.count / 2};
}

double coherenceOf(std::span<const std::int16_t> reference, std::span<const std::int16_t> microphone,
                   int rateHz) {
    int delay = 0;
    double coherence = 0.0;
    delay_estimator::estimateDelay(reference, microphone, rateHz, 1, delay, coherence);
    return coherence;
}

// Reads `count` bytes of the chosen channel from the reader's position in blocks of at most 2048,
// handing each block's whole samples to `take`. False, after the box, when the data ends first.
bool readRange(CWaveFileReader& reader, int channel, std::uint32_t count,
               const std::function<void(std::span<const std::int16_t>)>& take) {
    std::vector<std::int16_t> block(kBlockBytes);  // room for a block of both channels
    std::uint32_t taken = 0;
    while (taken < count) {
        const std::uint32_t want = std::min(kBlockBytes, count - taken);
        const std::uint32_t got = channel == 0 ? reader.ReadChannel(block.data(), want / 2, 0)
                                               : reader.ReadChannel(block.data(), want, 1);
        if (got == 0) {
            measure_messages::reportReadBeyondEof(reader.m_fileName, "CalcRMS");
            return false;
        }
        take({block.data(), got / 2});
        taken += got;
    }
    return true;
}

// Seconds written as the figures are, with a point whatever the locale: "6.6 s".
std::string secondsText(double seconds) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 1);
    return std::string(text, result.ptr) + " s";
}

// Whether `count` bytes of a channel, from byte `offset` of that channel, hold sound: samples that
// are not all alike (digital zero, as any constant, measures as silence). Nullopt when they
// cannot be read. Shows nothing.
std::optional<bool> holdsSound(CWaveFileReader& reader, int channel, std::uint32_t offset,
                               std::uint32_t count) {
    const std::uint32_t channels = channel == 0 ? 1 : 2;
    if (!reader.SeekData(offset * channels)) {
        return std::nullopt;
    }
    std::vector<std::int16_t> block(kBlockBytes);  // room for a block of both channels as read
    std::optional<std::int16_t> first;
    for (std::uint32_t taken = 0; taken < count;) {
        const std::uint32_t want = std::min(kBlockBytes, count - taken);
        const std::uint32_t got = reader.ReadChannel(block.data(), want / 2 * channels, channel);
        if (got == 0) {
            return std::nullopt;
        }
        for (const std::int16_t sample : std::span(block.data(), got / 2)) {
            if (!first) {
                first = sample;
            } else if (sample != *first) {
                return true;
            }
        }
        taken += got;
    }
    return false;
}

}  // namespace

int getFEChannel(const std::string& playFile, const std::string& recordFile) {
    static const std::string kCaption = "GetFEChannel";
    try {
        CWaveFileReader reader;
        if (!reader.Open(playFile)) {
            measure_messages::reportCannotOpenWav(playFile, kCaption);
            return -1;
        }
        const int rate = sampleRateOf(reader);
        const ReadPlan plan = readPlan(rate, 0.63f);
        std::vector<std::int16_t> played(plan.count);
        const bool playedRead = readChannelAt(reader, plan, 1, played);
        reader.Close();
        if (!playedRead) {
            measure_messages::reportShortRecording(playFile, kCaption);
            return -1;
        }

        if (!reader.Open(recordFile)) {
            measure_messages::reportCannotOpenWav(recordFile, kCaption);
            return -1;
        }
        std::vector<std::int16_t> recorded(plan.count);
        if (!readChannelAt(reader, plan, 1, recorded)) {
            measure_messages::reportShortRecording(recordFile, kCaption);
            return -1;
        }
        const double coherence1 = coherenceOf(keptSamples(played, plan), keptSamples(recorded, plan), rate);
        if (!readChannelAt(reader, plan, 2, recorded)) {
            measure_messages::reportShortRecording(recordFile, kCaption);
            return -1;
        }
        reader.Close();
        const double coherence2 = coherenceOf(keptSamples(played, plan), keptSamples(recorded, plan), rate);

        if (coherence1 >= coherence2 && coherence1 >= kFarEndCoherence) {
            return 1;
        }
        if (coherence2 > coherence1 && coherence2 >= kFarEndCoherence) {
            return 2;
        }
        return -1;
    } catch (const std::bad_alloc& error) {
        measure_messages::reportOutOfMemory(error);
        return -1;
    }
}

int measureDelay(const std::string& recordFile) {
    try {
        CWaveFileReader reader;
        if (!reader.Open(recordFile)) {
            measure_messages::reportCannotOpenWav(recordFile, "MeasureDelay");
            return -1;
        }
        const int rate = sampleRateOf(reader);
        const ReadPlan plan = readPlan(rate, 2.52f);
        std::vector<std::int16_t> reference(plan.count);
        std::vector<std::int16_t> microphone(plan.count);
        if (!readChannelAt(reader, plan, 1, reference)) {
            measure_messages::reportShortRecording(recordFile, "MeasureDelay");
            return -1;
        }
        if (!readChannelAt(reader, plan, 2, microphone)) {
            measure_messages::reportShortRecording(recordFile, "Measure Delay");
            return -1;
        }
        reader.Close();
        int delay = -1;
        double coherence = 0.0;
        return delay_estimator::estimateDelay(keptSamples(reference, plan), keptSamples(microphone, plan),
                                              rate, 4, delay, coherence);
    } catch (const std::bad_alloc& error) {
        measure_messages::reportOutOfMemory(error);
        return -1;
    }
}

float calcRms(CWaveFileReader& reader, int channel, std::uint32_t offset, std::uint32_t count) {
    // Half a sample at the end of the range is left out.
    count &= ~std::uint32_t{1};
    const std::uint64_t position = channel != 0 ? 2 * static_cast<std::uint64_t>(offset) : offset;
    const auto seekToRange = [&] {
        if (position > std::numeric_limits<std::uint32_t>::max() ||
            !reader.SeekData(static_cast<std::uint32_t>(position))) {
            measure_messages::reportReadError(reader.m_fileName);
            return false;
        }
        return true;
    };
    const std::uint32_t samples = count / 2;

    if (!seekToRange()) {
        return 0.0f;
    }
    double sum = 0.0;
    if (!readRange(reader, channel, count,
                   [&](std::span<const std::int16_t> block) { sum += echo_figures::sampleSum(block); })) {
        return 0.0f;
    }
    const double mean = samples > 0 ? sum / samples : 0.0;

    if (!seekToRange()) {
        return 0.0f;
    }
    double deviations = 0.0;
    if (!readRange(reader, channel, count, [&](std::span<const std::int16_t> block) {
            deviations += echo_figures::squaredDeviationSum(block, mean);
        })) {
        return 0.0f;
    }
    return echo_figures::levelFromDeviation(deviations, samples);
}

namespace {

// Opens the analysis reader on a recording and measures its windows on the first channel.
class AnalysisFile {
public:
    explicit AnalysisFile(std::unique_ptr<CWaveFileReader>& slot) : m_slot(slot) {}
    ~AnalysisFile() {
        if (m_slot) {
            m_slot->Close();
        }
        m_slot.reset();
    }
    AnalysisFile(const AnalysisFile&) = delete;
    AnalysisFile& operator=(const AnalysisFile&) = delete;

    bool open(const std::string& path) {
        m_slot.reset();
        if (!waveOpen(m_slot, path)) {
            return false;
        }
        m_rate = sampleRateOf(*m_slot);
        m_channel = channelCountOf(*m_slot) != 1 ? 1 : 0;
        return true;
    }

    float level(const echo_figures::Window& window) {
        return calcRms(*m_slot, m_channel, echo_figures::channelBytes(window.startSeconds, m_rate),
                       echo_figures::channelBytes(window.lengthSeconds, m_rate));
    }

private:
    std::unique_ptr<CWaveFileReader>& m_slot;
    int m_rate = 0;
    int m_channel = 0;
};

}  // namespace

int calcEchoReduction(std::unique_ptr<CWaveFileReader>& analysisReader, const std::string& path, double& lms,
                      double& total) {
    total = 0.0;
    AnalysisFile file(analysisReader);
    if (!file.open(path)) {
        return 0;
    }
    const float a = file.level(echo_figures::kWindowA);
    const float b = file.level(echo_figures::kWindowB);
    const float c = file.level(echo_figures::kWindowC);
    const echo_figures::EchoReduction figures = echo_figures::echoReduction(a, b, c);
    lms = figures.lms;
    total = figures.total;
    return figures.pass ? 1 : 0;
}

int calcResidualEcho(std::unique_ptr<CWaveFileReader>& analysisReader, const std::string& path,
                     double& residual) {
    residual = 0.0;
    AnalysisFile file(analysisReader);
    if (!file.open(path)) {
        return 0;
    }
    residual = file.level(echo_figures::kWindowR);
    return echo_figures::residualEchoPasses(residual) ? 1 : 0;
}

std::string echoSoundFault(const std::string& path, const std::string& name, bool echoReduction) {
    const std::string recording = "The recording " + name;
    CWaveFileReader reader;
    const auto unreadable = [&] {
        return recording + " cannot be read: " + wavefile::errorText(reader.m_lastError) + ".";
    };
    if (!reader.Open(path)) {
        return unreadable();
    }
    const int rate = sampleRateOf(reader);
    const int channels = std::max(channelCountOf(reader), 1);
    const std::uint32_t channelSize = (reader.m_dataSize / static_cast<std::uint32_t>(channels)) & ~1u;
    using echo_figures::Window;
    const std::vector<Window> windows =
        echoReduction ? std::vector{echo_figures::kWindowA, echo_figures::kWindowB, echo_figures::kWindowC}
                      : std::vector{echo_figures::kWindowR};
    for (const Window& window : windows) {
        if (std::uint64_t{echo_figures::channelBytes(window.startSeconds, rate)} +
                echo_figures::channelBytes(window.lengthSeconds, rate) >
            channelSize) {
            return recording + " is too short: it ends before " +
                   secondsText(window.startSeconds + window.lengthSeconds) + ".";
        }
    }
    // The microphone and the far end must have worked; what the canceller then leaves, digital
    // silence included, is for the figures to judge. With stages both hold sound in window A,
    // before the first stage command. An older unit's canceller works from the start, so its
    // channels need sound somewhere in the recording.
    const Window& a = echo_figures::kWindowA;
    const std::uint32_t offset = echoReduction ? echo_figures::channelBytes(a.startSeconds, rate) : 0;
    const std::uint32_t count =
        echoReduction ? echo_figures::channelBytes(a.lengthSeconds, rate) : channelSize;
    const std::string where = echoReduction ? " from " + secondsText(a.startSeconds) + " to " +
                                                  secondsText(a.startSeconds + a.lengthSeconds)
                                            : "";
    // Channel 0 of a one-channel recording; else 1, the figures' channel, and 2, the far end.
    for (const int channel : channels == 1 ? std::vector{0} : std::vector{1, 2}) {
        const std::optional<bool> sound = holdsSound(reader, channel, offset, count);
        if (!sound) {
            return unreadable();
        }
        if (!*sound) {
            return recording + " holds no sound" + where + " on its " +
                   (channel == 2 ? "far-end" : "microphone") + " channel.";
        }
    }
    return {};
}

std::string echoRecordingPath(const std::string& dataDirectory) {
    std::string path = dataDirectory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path + "WaveFiles/Echo_Test.wav";
}

bool waveOpen(std::unique_ptr<CWaveFileReader>& reader, const std::string& path) {
    reader.reset();
    try {
        reader = std::make_unique<CWaveFileReader>();
    } catch (const std::bad_alloc& error) {
        measure_messages::reportOutOfMemory(error);
        return false;
    }
    if (reader->Open(path)) {
        return true;
    }
    measure_messages::reportCannotOpen(path);
    return false;
}

}  // namespace recording_measures
