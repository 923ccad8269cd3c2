#include "tests/audio/AudioTestSupport.h"

#include <cmath>
#include <cstdlib>

#include "audio/CWaveFileReader.h"
#include "audio/CWaveFileWriter.h"
#include "platform/System.h"

namespace audiotest {

SimRig::SimRig(sim::SimAudioConfig config)
    : audio(std::make_unique<sim::SimAudio>(unit, std::move(config))),
      engine(std::make_unique<CWizardAudio>(*audio)) {}

SimRig::~SimRig() {
    engine.reset();
    audio.reset();
}

sim::SimAudioConfig SimRig::fastConfig() {
    sim::SimAudioConfig config;
    config.speedFactor = kTestSpeed;
    return config;
}

void SimRig::prepare(int mode, const std::string& playFile, const std::string& recordFile) {
    engine->m_testMode = mode;
    engine->m_playFile = playFile;
    engine->m_recordFile = recordFile;
    engine->m_waveOutName = sim::kSimSpeakerDeviceName;
    engine->m_waveInName = sim::kSimMicrophoneDeviceName;
}

bool SimRig::runUntilDone(int mode, const std::string& playFile, const std::string& recordFile,
                          std::uint32_t timeoutMs) {
    prepare(mode, playFile, recordFile);
    if (engine->Start(&queue) != 1) {
        return false;
    }
    const bool done = waitFor(WM_AUDIO_DONE, timeoutMs);
    stopAndDrain();
    return done;
}

void SimRig::stopAndDrain() {
    engine->Stop();
    // As the dialog does with a run that recorded: the recording takes its name.
    if (engine->m_pRecordWriter && engine->m_pRecordWriter->IsFinished()) {
        engine->KeepRecording();
    }
    while (auto next = queue.take(0)) {
        taken.push_back(std::move(*next));
    }
}

bool SimRig::waitFor(std::uint32_t message, std::uint32_t timeoutMs) {
    const auto start = platform::tickCountMs();
    while (platform::tickCountMs() - start < timeoutMs) {
        auto next = queue.take(50);
        if (!next) {
            continue;
        }
        const bool found = next->message == message;
        taken.push_back(std::move(*next));
        if (found) {
            return true;
        }
    }
    return false;
}

bool SimRig::runEchoDialog(std::uint32_t timeoutMs) {
    const auto start = platform::tickCountMs();
    while (platform::tickCountMs() - start < timeoutMs) {
        auto next = queue.take(50);
        if (!next) {
            continue;
        }
        if (next->message == WM_AUDIO_DONE) {
            taken.push_back(std::move(*next));
            return true;
        }
        if (next->message == WM_AUDIO_LEVEL && next->lParam < 0) {
            if (engine->m_markSeconds == 2.0) {
                unit->setSwitch(0x01, false);
                engine->m_markSeconds = 6.0;
            } else if (engine->m_markSeconds == 6.0) {
                unit->setSwitch(0x06, false);
                engine->m_markSeconds = 9.0;
            }
        }
        taken.push_back(std::move(*next));
    }
    return false;
}

std::string writeWave(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                      const std::vector<std::int16_t>& samples) {
    CWaveFileWriter writer;
    if (writer.Create(path, CWaveFormat(channels, rate, 16)) == 0) {
        std::abort();
    }
    writer.Write(samples.data(), static_cast<int>(samples.size() * 2));
    writer.Close();
    return path;
}

std::vector<std::int16_t> readChannel(const std::string& path, int channel) {
    CWaveFileReader reader;
    if (reader.Open(path) == 0) {
        return {};
    }
    std::vector<std::int16_t> samples(reader.m_dataSize / 2);
    const auto got = reader.ReadChannel(samples.data(), static_cast<std::uint32_t>(samples.size()), channel);
    samples.resize(got / 2);
    return samples;
}

double levelDb(const std::vector<std::int16_t>& samples, double startSeconds, double lengthSeconds,
               std::uint32_t rate) {
    const auto first = static_cast<std::size_t>(std::lround(startSeconds * rate));
    const auto count = static_cast<std::size_t>(std::lround(lengthSeconds * rate));
    if (first + count > samples.size() || count < 2) {
        return -1000.0;
    }
    double mean = 0.0;
    for (std::size_t i = first; i < first + count; ++i) {
        mean += samples[i];
    }
    mean /= static_cast<double>(count);
    double sum = 0.0;
    for (std::size_t i = first; i < first + count; ++i) {
        sum += (samples[i] - mean) * (samples[i] - mean);
    }
    const double rms = std::sqrt(sum / static_cast<double>(count - 1));
    return rms > 0.0 ? 20.0 * std::log10(rms) - 90.309 : -1000.0;
}

int bestLag(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b, int maxLag,
            std::size_t from, std::size_t count) {
    int best = -1;
    double bestScore = 0.0;
    for (int lag = 0; lag <= maxLag; ++lag) {
        double score = 0.0;
        for (std::size_t i = from;
             i < from + count && i + static_cast<std::size_t>(lag) < b.size() && i < a.size(); ++i) {
            score += static_cast<double>(a[i]) * b[i + static_cast<std::size_t>(lag)];
        }
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

std::string playFilePath(const std::string& name) {
    const char* source = std::getenv("QPG_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/resources/WaveFiles/" + name;
}

}  // namespace audiotest
