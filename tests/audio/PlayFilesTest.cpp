#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "audio/CWaveFileReader.h"
#include "audio/CWizardAudio.h"
#include "tests/audio/AudioTestSupport.h"

using namespace audiotest;

namespace {

struct PlayFile {
    std::vector<std::int16_t> left;
    std::vector<std::int16_t> right;
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
};

PlayFile load(const std::string& name) {
    PlayFile file;
    CWaveFileReader reader;
    const auto path = playFilePath(name);
    EXPECT_EQ(reader.Open(path), 1) << path << ": " << wavefile::errorText(reader.m_lastError);
    if (!reader.IsOpen()) {
        return file;
    }
    file.rate = reader.m_pFormat->samplesPerSec;
    file.channels = reader.m_pFormat->channels;
    reader.Close();
    file.left = readChannel(path, 1);
    file.right = readChannel(path, 2);
    return file;
}

double seconds(const PlayFile& file) {
    return static_cast<double>(file.left.size()) / file.rate;
}

// Level of one frequency in a range, in dB of full scale (a single-bin transform).
double toneDb(const std::vector<std::int16_t>& samples, double hz, std::uint32_t rate) {
    std::complex<double> sum;
    const std::size_t count = rate;  // one second from 0.5 s
    for (std::size_t n = 0; n < count; ++n) {
        sum += static_cast<double>(samples[rate / 2 + n]) * std::polar(1.0, -2 * M_PI * hz * n / rate);
    }
    const double amplitude = 2.0 * std::abs(sum) / count;
    return 20 * std::log10(amplitude / 32768.0 + 1e-12);
}

}  // namespace

TEST(PlayFilesTest, VoiceHasTwoIdenticalChannelsAndEvenEchoWindows) {
    const auto voice = load("VoicePlayback.wav");
    EXPECT_EQ(voice.rate, 32000u);
    EXPECT_EQ(voice.channels, 2);
    EXPECT_GE(seconds(voice), 10.0);
    EXPECT_EQ(voice.left, voice.right);
    // The echo figures compare these windows; the recording lags the file by a few tens of
    // milliseconds, so shifted windows must agree too.
    for (const double shift : {0.0, 0.05, 0.1}) {
        const double a = levelDb(voice.left, 0.5 + shift, 1.5, 32000);
        const double b = levelDb(voice.left, 4.0 + shift, 1.5, 32000);
        const double c = levelDb(voice.left, 6.6 + shift, 1.5, 32000);
        EXPECT_LE(std::max({a, b, c}) - std::min({a, b, c}), 1.0) << a << " " << b << " " << c;
        EXPECT_GT(a, -30.0);
    }
}

TEST(PlayFilesTest, FarEndFileHoldsTheThreeTonesOnTheLeftOnly) {
    const auto farEnd = load("FE_Play.wav");
    EXPECT_EQ(farEnd.rate, 32000u);
    EXPECT_EQ(farEnd.channels, 2);
    EXPECT_GE(seconds(farEnd), 2.5);
    EXPECT_EQ(levelDb(farEnd.right, 0.0, 2.5, 32000), -1000.0);
    for (const double hz : {500.0, 1000.0, 3100.0}) {
        EXPECT_GT(toneDb(farEnd.left, hz, 32000), -20.0) << hz;
    }
    EXPECT_LT(toneDb(farEnd.left, 2000.0, 32000), -60.0);
}

TEST(PlayFilesTest, FarEndFileIsFoundWhateverTheRecordingsDelay) {
    // A unit hands back what it plays after a delay that need not be a whole number of the
    // search's 32-sample steps; the three tones then leak into each other's demodulation and
    // the coherence dips (to about 0.963 at 561 samples), but must stay at or above 0.95.
    const auto farEnd = load("FE_Play.wav");
    ASSERT_EQ(farEnd.rate, 32000u);
    constexpr std::size_t kOffset = 544;   // 0.017 s
    constexpr std::size_t kCount = 20160;  // 0.63 s
    ASSERT_GE(farEnd.left.size(), kOffset + kCount);
    std::vector<std::size_t> delays;
    for (std::size_t d = 0; d < 640; ++d) {
        delays.push_back(d);
    }
    for (std::size_t d = 640; d <= 349 * 32; d += 397) {
        delays.push_back(d);
    }
    double lowest = 1.0;
    std::size_t lowestAt = 0;
    for (const std::size_t d : delays) {
        // As the unit's far-end channel carries it: the two channels mixed, after d samples.
        std::vector<std::int16_t> recorded(kOffset + kCount, 0);
        for (std::size_t n = d; n < recorded.size(); ++n) {
            recorded[n] =
                static_cast<std::int16_t>(std::lround((farEnd.left[n - d] + farEnd.right[n - d]) / 2.0));
        }
        int delay = 0;
        double coherence = 0.0;
        CWizardAudio::EstimateDelay({farEnd.left.data() + kOffset, kCount},
                                    {recorded.data() + kOffset, kCount}, 32000, 1, delay, coherence);
        if (coherence < lowest) {
            lowest = coherence;
            lowestAt = d;
        }
    }
    RecordProperty("lowestCoherence", std::to_string(lowest));
    EXPECT_GE(lowest, 0.95) << "at a delay of " << lowestAt << " samples";
}

TEST(PlayFilesTest, DelayFileHoldsBandLimitedNoiseOnTheLeftOnly) {
    const auto delay = load("Delay_Play.wav");
    EXPECT_EQ(delay.rate, 32000u);
    EXPECT_EQ(delay.channels, 2);
    EXPECT_GE(seconds(delay), 4.0);
    EXPECT_EQ(levelDb(delay.right, 0.0, 4.0, 32000), -1000.0);
    const double inBand = toneDb(delay.left, 1000.0, 32000);
    EXPECT_GT(inBand - toneDb(delay.left, 50.0, 32000), 15.0);
    EXPECT_GT(inBand - toneDb(delay.left, 12000.0, 32000), 30.0);
    // Noise, not a tone: its level holds over the whole file.
    EXPECT_NEAR(levelDb(delay.left, 0.5, 1.0, 32000), levelDb(delay.left, 3.0, 1.0, 32000), 1.0);
}

TEST(PlayFilesTest, MusicFilePlaysForSeveralSeconds) {
    const auto music = load("MusicPlayback.wav");
    EXPECT_EQ(music.rate, 32000u);
    EXPECT_GE(seconds(music), 5.0);
    EXPECT_GT(levelDb(music.left, 1.0, 2.0, 32000), -30.0);
    EXPECT_NE(music.left, music.right);
}
