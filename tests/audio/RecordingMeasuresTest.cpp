#include "audio/RecordingMeasures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "audio/CWaveFileReader.h"
#include "audio/DelayEstimator.h"
#include "audio/EchoFigures.h"
#include "platform/MessageBox.h"
#include "tests/audio/TestFiles.h"
#include "tests/audio/TestSignals.h"

using namespace recording_measures;
using test_signals::Samples;

namespace {

constexpr int kRate = 32000;

class RecordingMeasuresTest : public ::testing::Test {
protected:
    RecordingMeasuresTest()
        : m_boxes(std::make_shared<platform::RecordingMessageBoxHandler>()), m_scope(m_boxes) {}

    std::string writeWav(const std::string& name, std::uint16_t channels, int rate, const Samples& samples) {
        const std::string path = m_dir.file(name);
        testfiles::writeBytes(path, testfiles::pcmWave(channels, static_cast<std::uint32_t>(rate), samples));
        return path;
    }

    std::string writeStereo(const std::string& name, int rate, const Samples& left, const Samples& right) {
        return writeWav(name, 2, rate, test_signals::interleave(left, right));
    }

    void expectOneBox(const std::string& caption, const std::string& text,
                      unsigned style = platform::mb::kOk) {
        const auto shown = m_boxes->shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, caption);
        EXPECT_EQ(shown[0].text, text);
        EXPECT_EQ(shown[0].style, style);
        m_boxes->clear();
    }

    testfiles::TempDir m_dir;
    std::shared_ptr<platform::RecordingMessageBoxHandler> m_boxes;
    platform::ScopedMessageBoxHandler m_scope;
};

Samples noise(std::size_t count, double amplitude, std::uint32_t seed) {
    return test_signals::toSamples(test_signals::whiteNoise(count, amplitude, seed));
}

Samples delayedCopy(const Samples& x, std::size_t delay, double gain) {
    std::vector<double> out(x.size(), 0.0);
    test_signals::addDelayed(out, std::vector<double>(x.begin(), x.end()), delay, gain);
    return test_signals::toSamples(out);
}

// An echo recording whose level steps at 2 s and 6 s, as a unit's microphone gives it while the
// echo canceller is switched through its stages; the second channel is loud throughout.
Samples echoRecording(int rate, double seconds, double levelBefore, double levelBetween, double levelAfter) {
    const auto count = static_cast<std::size_t>(seconds * rate);
    auto microphone = test_signals::whiteNoise(count, 1.0, 21);
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double db = t < 2.0 ? levelBefore : (t < 6.0 ? levelBetween : levelAfter);
        // Uniform noise of amplitude a has rms a / sqrt(3).
        microphone[n] *= std::sqrt(3.0) * 32768.0 * std::pow(10.0, db / 20.0);
    }
    return test_signals::toSamples(microphone);
}

}  // namespace

TEST_F(RecordingMeasuresTest, FarEndChannelIsFoundOnEitherSide) {
    const auto played = noise(kRate, 8000.0, 31);
    const std::string play = writeStereo("FE_Play.wav", kRate, played, played);
    const auto heard = delayedCopy(played, 3 * 32, 0.4);
    const auto mic = noise(kRate, 3000.0, 32);

    const std::string first = writeStereo("first.wav", kRate, heard, mic);
    EXPECT_EQ(getFEChannel(play, first), 1);
    const std::string second = writeStereo("second.wav", kRate, mic, heard);
    EXPECT_EQ(getFEChannel(play, second), 2);
    // Both carry it: the first wins.
    const std::string both = writeStereo("both.wav", kRate, heard, heard);
    EXPECT_EQ(getFEChannel(play, both), 1);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, FarEndIsNotFoundInSilenceOrUnrelatedSound) {
    const auto played = noise(kRate, 8000.0, 33);
    const std::string play = writeStereo("FE_Play.wav", kRate, played, played);
    const Samples silence(kRate, 0);
    EXPECT_EQ(getFEChannel(play, writeStereo("silent.wav", kRate, silence, silence)), -1);
    const auto other = noise(kRate, 8000.0, 34);
    EXPECT_EQ(getFEChannel(play, writeStereo("other.wav", kRate, other, noise(kRate, 8000.0, 35))), -1);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, FarEndFailuresAreReported) {
    const auto played = noise(kRate, 8000.0, 36);
    const std::string play = writeStereo("FE_Play.wav", kRate, played, played);
    const std::string missing = m_dir.file("missing.wav");

    EXPECT_EQ(getFEChannel(missing, play), -1);
    expectOneBox("GetFEChannel", "Can't open wav file: " + missing);
    EXPECT_EQ(getFEChannel(play, missing), -1);
    expectOneBox("GetFEChannel", "Can't open wav file: " + missing);

    // 0.017 s + 0.63 s are needed: 20704 frames at 32000 Hz.
    const Samples shortPlay(20703, 100);
    const std::string shortFile = writeStereo("short.wav", kRate, shortPlay, shortPlay);
    EXPECT_EQ(getFEChannel(shortFile, play), -1);
    expectOneBox("GetFEChannel", "Read beyond EOF: " + shortFile);
    EXPECT_EQ(getFEChannel(play, shortFile), -1);
    expectOneBox("GetFEChannel", "Read beyond EOF: " + shortFile);
}

TEST_F(RecordingMeasuresTest, MeasureDelayRecoversTheSpeakerDelay) {
    const auto count = static_cast<std::size_t>(2.6 * kRate);
    const auto reference = noise(count, 8000.0, 41);
    auto heard = test_signals::whiteNoise(count, 200.0, 42);
    const std::vector<double> played(reference.begin(), reference.end());
    test_signals::addDelayed(heard, played, 40 * 32, 0.5);
    test_signals::addDelayed(heard, played, 47 * 32, 0.2);
    const std::string file = writeStereo("Delay_Test.wav", kRate, reference, test_signals::toSamples(heard));
    EXPECT_EQ(measureDelay(file), 35);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, MeasureDelayOfASilentMicrophoneIsMinusOne) {
    const auto count = static_cast<std::size_t>(2.6 * kRate);
    const std::string file = writeStereo("silent.wav", kRate, noise(count, 8000.0, 43), Samples(count, 0));
    EXPECT_EQ(measureDelay(file), -1);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, MeasureDelayFailuresAreReported) {
    const std::string missing = m_dir.file("missing.wav");
    EXPECT_EQ(measureDelay(missing), -1);
    expectOneBox("MeasureDelay", "Can't open wav file: " + missing);

    // 0.017 s + 2.52 s are 81184 frames at 32000 Hz.
    const Samples one(81183, 50);
    const std::string shortFile = writeStereo("short.wav", kRate, one, one);
    EXPECT_EQ(measureDelay(shortFile), -1);
    expectOneBox("MeasureDelay", "Read beyond EOF: " + shortFile);

    // Exactly enough: identical channels give 0.
    const auto enough = noise(81184, 5000.0, 44);
    EXPECT_EQ(measureDelay(writeStereo("enough.wav", kRate, enough, enough)), 0);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, CalcRmsMeasuresTheFirstChannelOfATwoChannelFile) {
    constexpr int rate = 16000;
    const auto left = noise(10 * rate, 3000.0, 51);
    const auto right = noise(10 * rate, 30000.0, 52);
    const std::string file = writeStereo("two.wav", rate, left, right);
    CWaveFileReader reader;
    ASSERT_TRUE(reader.Open(file));

    // Window A: 0.5 s into the channel, 1.5 s long, read in several blocks.
    const std::uint32_t offset = echo_figures::channelBytes(0.5, rate);
    const std::uint32_t count = echo_figures::channelBytes(1.5, rate);
    const std::span<const std::int16_t> window(left.data() + offset / 2, count / 2);
    EXPECT_EQ(calcRms(reader, 1, offset, count), echo_figures::levelOfSamples(window));

    // An odd count measures the whole samples only.
    EXPECT_EQ(calcRms(reader, 1, 2000, 4097), calcRms(reader, 1, 2000, 4096));
    // A range of one sample is silent.
    EXPECT_EQ(calcRms(reader, 1, 0, 3), -1000.0f);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, CalcRmsOfAOneChannelFileAndOfDc) {
    constexpr int rate = 16000;
    const auto samples = noise(2 * rate, 1000.0, 53);
    CWaveFileReader reader;
    ASSERT_TRUE(reader.Open(writeWav("one.wav", 1, rate, samples)));
    const std::span<const std::int16_t> range(samples.data() + 1000, 5000);
    EXPECT_EQ(calcRms(reader, 0, 2000, 10000), echo_figures::levelOfSamples(range));

    CWaveFileReader dc;
    ASSERT_TRUE(dc.Open(writeWav("dc.wav", 1, rate, Samples(rate, 777))));
    EXPECT_EQ(calcRms(dc, 0, 0, 2 * rate), -1000.0f);
}

TEST_F(RecordingMeasuresTest, CalcRmsPastTheEndIsReportedAndCountsAsZero) {
    const std::string file = writeWav("short.wav", 1, kRate, noise(kRate, 1000.0, 54));
    CWaveFileReader reader;
    ASSERT_TRUE(reader.Open(file));
    EXPECT_EQ(calcRms(reader, 0, 2 * kRate - 100, 200), 0.0f);
    expectOneBox("Trying to read beyond EOF:", "File: " + file + "\nFunction: CalcRMS");
    // Starting past the end as well.
    EXPECT_EQ(calcRms(reader, 0, 4 * kRate, 200), 0.0f);
    expectOneBox("Trying to read beyond EOF:", "File: " + file + "\nFunction: CalcRMS");
}

TEST_F(RecordingMeasuresTest, CalcRmsThatCannotPositionShowsTheReadError) {
    const std::string file = writeWav("one.wav", 1, kRate, noise(kRate, 1000.0, 55));
    CWaveFileReader reader;
    ASSERT_TRUE(reader.Open(file));
    reader.Close();
    EXPECT_EQ(calcRms(reader, 1, 0, 200), 0.0f);
    expectOneBox("Error", "Unable to read file: " + file, platform::mb::kIconError);
}

TEST_F(RecordingMeasuresTest, EchoReductionOfAGoodAndAFaultyUnit) {
    std::unique_ptr<CWaveFileReader> slot;
    double lms = -1.0;
    double total = -1.0;

    const auto good = echoRecording(kRate, 10.0, -20.0, -35.0, -60.0);
    const std::string goodFile = writeStereo("good.wav", kRate, good, noise(good.size(), 20000.0, 61));
    EXPECT_EQ(calcEchoReduction(slot, goodFile, lms, total), 1);
    EXPECT_NEAR(lms, 15.0, 0.5);
    EXPECT_NEAR(total, 40.0, 0.5);
    EXPECT_EQ(slot, nullptr);

    // The canceller never converges: the level after 6 s stays where it was.
    const auto faulty = echoRecording(kRate, 10.0, -20.0, -35.0, -35.0);
    const std::string faultyFile =
        writeStereo("faulty.wav", kRate, faulty, noise(faulty.size(), 20000.0, 62));
    EXPECT_EQ(calcEchoReduction(slot, faultyFile, lms, total), 0);
    EXPECT_NEAR(total, 15.0, 0.5);

    // The canceller makes it worse between the stage commands: LMS below 0 fails.
    const auto worse = echoRecording(kRate, 10.0, -20.0, -15.0, -60.0);
    const std::string worseFile = writeStereo("worse.wav", kRate, worse, noise(worse.size(), 20000.0, 63));
    EXPECT_EQ(calcEchoReduction(slot, worseFile, lms, total), 0);
    EXPECT_NEAR(lms, -5.0, 0.5);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, EchoReductionOfAOneChannelRecording) {
    constexpr int rate = 16000;
    std::unique_ptr<CWaveFileReader> slot;
    double lms = 0.0;
    double total = 0.0;
    const std::string file = writeWav("mono.wav", 1, rate, echoRecording(rate, 9.0, -20.0, -30.0, -55.0));
    EXPECT_EQ(calcEchoReduction(slot, file, lms, total), 1);
    EXPECT_NEAR(lms, 10.0, 0.5);
    EXPECT_NEAR(total, 35.0, 0.5);
}

TEST_F(RecordingMeasuresTest, EchoReductionOfAShortRecordingCountsWindowCAsZero) {
    std::unique_ptr<CWaveFileReader> slot;
    double lms = 0.0;
    double total = 0.0;
    const auto recording = echoRecording(kRate, 8.0, -20.0, -35.0, -60.0);
    const std::string file = writeStereo("short.wav", kRate, recording, recording);
    EXPECT_EQ(calcEchoReduction(slot, file, lms, total), 0);
    expectOneBox("Trying to read beyond EOF:", "File: " + file + "\nFunction: CalcRMS");
    EXPECT_NEAR(lms, 15.0, 0.5);
    CWaveFileReader reader;
    ASSERT_TRUE(reader.Open(file));
    const float levelA =
        calcRms(reader, 1, echo_figures::channelBytes(0.5, kRate), echo_figures::channelBytes(1.5, kRate));
    EXPECT_EQ(total, static_cast<double>(levelA));
}

TEST_F(RecordingMeasuresTest, EchoFiguresOfAMissingFile) {
    std::unique_ptr<CWaveFileReader> slot;
    double lms = 12.0;
    double total = 12.0;
    const std::string missing = m_dir.file("Echo_Test.wav");
    EXPECT_EQ(calcEchoReduction(slot, missing, lms, total), 0);
    EXPECT_EQ(total, 0.0);
    EXPECT_EQ(lms, 12.0);
    expectOneBox("WaveOpen", "Unable to open file: " + missing);

    double residual = 12.0;
    EXPECT_EQ(calcResidualEcho(slot, missing, residual), 0);
    EXPECT_EQ(residual, 0.0);
    expectOneBox("WaveOpen", "Unable to open file: " + missing);
}

TEST_F(RecordingMeasuresTest, ResidualEchoPassesQuietAndSilentWindows) {
    std::unique_ptr<CWaveFileReader> slot;
    double residual = 0.0;
    // Window R is 2.2 s to 4.0 s.
    const auto quiet = echoRecording(kRate, 6.0, -10.0, -50.0, -10.0);
    EXPECT_EQ(calcResidualEcho(slot, writeStereo("quiet.wav", kRate, quiet, quiet), residual), 1);
    EXPECT_NEAR(residual, -50.0, 0.5);

    const auto loud = echoRecording(kRate, 6.0, -60.0, -40.0, -60.0);
    EXPECT_EQ(calcResidualEcho(slot, writeStereo("loud.wav", kRate, loud, loud), residual), 0);
    EXPECT_NEAR(residual, -40.0, 0.5);

    const Samples silence(6 * kRate, 0);
    EXPECT_EQ(calcResidualEcho(slot, writeStereo("silent.wav", kRate, silence, silence), residual), 1);
    EXPECT_EQ(residual, -1000.0);
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, WaveOpenReplacesTheReader) {
    const std::string file = writeWav("one.wav", 1, kRate, Samples(100, 1));
    std::unique_ptr<CWaveFileReader> slot;
    ASSERT_TRUE(waveOpen(slot, file));
    CWaveFileReader* first = slot.get();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(slot->IsOpen());

    const std::string missing = m_dir.file("none.wav");
    EXPECT_FALSE(waveOpen(slot, missing));
    ASSERT_NE(slot, nullptr);
    EXPECT_FALSE(slot->IsOpen());
    expectOneBox("WaveOpen", "Unable to open file: " + missing);
}

TEST(EchoRecordingPath, FollowsTheDataFolder) {
    EXPECT_EQ(echoRecordingPath("/home/u/.local/share/Kestu/Quenlor Probe Guide/"),
              "/home/u/.local/share/Kestu/Quenlor Probe Guide/WaveFiles/Echo_Test.wav");
    EXPECT_EQ(echoRecordingPath("/data"), "/data/WaveFiles/Echo_Test.wav");
}
TEST_F(RecordingMeasuresTest, FarEndNeedsACoherenceOfAtLeast095) {
    const auto played = noise(kRate, 8000.0, 31);
    const std::string play = writeStereo("FE_Play.wav", kRate, played, played);
    const auto unrelated = noise(kRate, 8000.0, 35);
    // The played sound comes back under noise: less noise, more coherence.
    struct Case {
        double noiseGain;
        double lowest;
        double highest;
        int channel;
    };
    for (const auto& c : {Case{0.25, 0.90, 0.95, -1}, Case{0.15, 0.95, 1.0, 1}}) {
        SCOPED_TRACE(c.noiseGain);
        auto heard = test_signals::whiteNoise(kRate, 8000.0 * c.noiseGain, 77);
        test_signals::addDelayed(heard, std::vector<double>(played.begin(), played.end()), 3 * 32, 1.0);
        const auto recorded = test_signals::toSamples(heard);
        // The coherence the measurement sees: 0.63 s from 0.017 s in.
        const std::size_t offset = 544, count = 20160;
        int delay = 0;
        double coherence = 0.0;
        delay_estimator::estimateDelay({played.data() + offset, count}, {recorded.data() + offset, count},
                                       kRate, 1, delay, coherence);
        ASSERT_GT(coherence, c.lowest);
        ASSERT_LT(coherence, c.highest);
        EXPECT_EQ(getFEChannel(play, writeStereo("heard.wav", kRate, recorded, unrelated)), c.channel);
    }
    EXPECT_EQ(m_boxes->count(), 0u);
}

TEST_F(RecordingMeasuresTest, WindowsBAndCAreOneAndAHalfSecondsLong) {
    // Quiet inside B (4.0-5.5 s) and C (6.6-8.1 s), loud right before and after each: a window
    // that began earlier or lasted longer would take in some of the loud sound.
    const auto count = static_cast<std::size_t>(10.0 * kRate);
    auto microphone = test_signals::whiteNoise(count, 1.0, 21);
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const bool inB = t >= 4.0 && t < 5.5;
        const bool inC = t >= 6.6 && t < 8.1;
        const double db = t < 2.0 ? -20.0 : (inB ? -40.0 : (inC ? -60.0 : -3.0));
        microphone[n] *= std::sqrt(3.0) * 32768.0 * std::pow(10.0, db / 20.0);
    }
    const auto recording = test_signals::toSamples(microphone);
    const std::string file = writeStereo("windows.wav", kRate, recording, recording);
    std::unique_ptr<CWaveFileReader> slot;
    double lms = 0.0;
    double total = 0.0;
    EXPECT_EQ(calcEchoReduction(slot, file, lms, total), 1);
    EXPECT_NEAR(lms, 20.0, 0.5);
    EXPECT_NEAR(total, 40.0, 0.5);
}
