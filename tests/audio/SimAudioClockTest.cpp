// The simulated unit's clock moves sound between the program's blocks and its recordings without
// gaps, drops or repeated samples, also when a block comes a little late on the fast test clock.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "sim/SimAudio.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/audio/RecordingTake.h"

namespace {

constexpr int kUnitId = 1;
constexpr std::uint32_t kRate = 32000;

// A block of one-channel 16-bit samples counting up from `first`.
struct RampBlock {
    RampBlock(std::int16_t first, std::uint32_t frames) : samples(frames) {
        for (std::uint32_t n = 0; n < frames; ++n) {
            samples[n] = static_cast<std::int16_t>(first + n);
        }
        header.data = reinterpret_cast<std::uint8_t*>(samples.data());
        header.bufferLength = 2 * frames;
    }
    std::vector<std::int16_t> samples;
    platform::WaveBlockHeader header;
};

// An empty block of `frames` one-channel samples to record into.
struct RecordBlock {
    explicit RecordBlock(std::uint32_t frames) : samples(frames) {
        header.data = reinterpret_cast<std::uint8_t*>(samples.data());
        header.bufferLength = 2 * frames;
    }
    std::vector<std::int16_t> samples;
    platform::WaveBlockHeader header;
};

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

class SimAudioClockTest : public ::testing::Test {
protected:
    explicit SimAudioClockTest(sim::SimAudioConfig config = audiotest::SimRig::fastConfig())
        : audio(unit, config) {
        // The unit records the far-end signal it plays on its first channel.
        unit->setRouting(sim::source::kFarEnd, sim::kRecordLeft);
    }

    std::unique_ptr<platform::IWaveStream> openUnit(platform::WaveDirection direction,
                                                    platform::Event& event) {
        std::unique_ptr<platform::IWaveStream> stream;
        EXPECT_EQ(audio.open(direction, kUnitId, platform::WavePcmFormat{1, kRate, 16}, event, stream),
                  platform::wave::kNoError);
        return stream;
    }

    // Queues a ramp block on the speaker; the block lives as long as the speaker.
    const RampBlock& play(std::int16_t first, std::uint32_t frames) {
        RampBlock& block = playedBlocks.emplace_back(first, frames);
        EXPECT_EQ(speaker->prepare(block.header), platform::wave::kNoError);
        EXPECT_EQ(speaker->queue(block.header), platform::wave::kNoError);
        return block;
    }

    // Where the ramp 1, 2, ... begins in a recording, or its size.
    static std::size_t rampStart(const std::vector<std::int16_t>& recorded) {
        for (std::size_t n = 0; n + 1 < recorded.size(); ++n) {
            if (recorded[n] == 1 && recorded[n + 1] == 2) {
                return n;
            }
        }
        return recorded.size();
    }

    // The ramp 1..count recorded whole: no gap, no lost and no repeated sample.
    static void expectWholeRamp(const std::vector<std::int16_t>& recorded, std::uint32_t count) {
        const std::size_t start = rampStart(recorded);
        ASSERT_LE(start + count, recorded.size()) << "ramp not recorded";
        std::size_t wrong = 0;
        std::size_t firstWrong = count;
        for (std::uint32_t n = 0; n < count; ++n) {
            if (recorded[start + n] != static_cast<std::int16_t>(n + 1)) {
                firstWrong = std::min<std::size_t>(firstWrong, n);
                ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0u) << "first wrong sample " << firstWrong << " of " << count;
    }

    // Records the unit's first channel throughout and opens the unit's speaker.
    void startTakeAndSpeaker() {
        take = std::make_unique<testing_audio::RecordingTake>(audio, kUnitId, kRate, 6400, 16);
        ASSERT_EQ(take->openResult(), platform::wave::kNoError);
        openSpeaker();
    }
    void openSpeaker() {
        speaker = openUnit(platform::WaveDirection::Output, speakerEvent);
        ASSERT_NE(speaker, nullptr);
    }

    void TearDown() override {
        if (speaker) {
            speaker->reset();
            speaker->close();
        }
    }

    std::shared_ptr<sim::UnitState> unit = std::make_shared<sim::UnitState>();
    sim::SimAudio audio;
    std::unique_ptr<testing_audio::RecordingTake> take;
    platform::Event speakerEvent;
    std::deque<RampBlock> playedBlocks;
    std::unique_ptr<platform::IWaveStream> speaker;
};

// A fast clock that waits as long as it takes for a lagging program, so that a block the test
// queues late is late on the clock however busy the machine is. The device the test does not
// make late is kept fed throughout: at its end the clock would wait for it too.
class SimAudioPatientClockTest : public SimAudioClockTest {
protected:
    SimAudioPatientClockTest() : SimAudioClockTest(patientConfig()) {}
    static sim::SimAudioConfig patientConfig() {
        sim::SimAudioConfig config = audiotest::SimRig::fastConfig();
        config.laggingGraceMs = 60000;
        return config;
    }
};

}  // namespace

TEST_F(SimAudioClockTest, FarEndIsRecordedSampleForSample) {
    ASSERT_NO_FATAL_FAILURE(startTakeAndSpeaker());

    const RampBlock& ramp = play(1, 8000);
    ASSERT_TRUE(waitUntil([&] { return ramp.header.isDone(); }));
    ASSERT_TRUE(take->waitFor(take->position() + 4000));
    expectWholeRamp(take->samples(), 8000);
}

TEST_F(SimAudioPatientClockTest, ABlockQueuedLateInsideATickPlaysWithoutAGap) {
    ASSERT_NO_FATAL_FAILURE(startTakeAndSpeaker());

    // 480 frames end in the middle of the second 10 ms tick (320 frames each). The next block
    // comes a few milliseconds after the first tick, many ticks late on the fast clock, which
    // waits for it. The ramp goes on after its checked part, so that the take's block holding
    // its end fills.
    play(1, 480);
    ASSERT_TRUE(waitUntil([&] { return audio.speakerFramesPlayed() >= 320; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    play(481, 3200);
    play(3681, 28000);
    ASSERT_TRUE(waitUntil([&] {
        const auto recorded = take->samples();
        return rampStart(recorded) + 3680 <= recorded.size();
    }));
    expectWholeRamp(take->samples(), 3680);
}

TEST_F(SimAudioPatientClockTest, ARecordingBlockQueuedLateInsideATickLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(openSpeaker());
    play(1, 32000);
    ASSERT_TRUE(waitUntil([&] { return audio.speakerFramesPlayed() >= 320; }));

    // The blocks outlive the stream that fills them; the third keeps the clock going once the
    // second is full.
    RecordBlock first(480);
    RecordBlock second(3200);
    RecordBlock third(3200);
    platform::Event micEvent;
    auto microphone = openUnit(platform::WaveDirection::Input, micEvent);
    ASSERT_NE(microphone, nullptr);
    for (RecordBlock* block : {&first, &second, &third}) {
        ASSERT_EQ(microphone->prepare(block->header), platform::wave::kNoError);
    }
    ASSERT_EQ(microphone->queue(first.header), platform::wave::kNoError);
    ASSERT_EQ(microphone->start(), platform::wave::kNoError);
    // The first block fills up in the middle of the second tick; the next comes a little late.
    ASSERT_TRUE(waitUntil([&] { return first.header.bytesRecorded.load() >= 640; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ASSERT_EQ(microphone->queue(second.header), platform::wave::kNoError);
    ASSERT_EQ(microphone->queue(third.header), platform::wave::kNoError);
    ASSERT_TRUE(waitUntil([&] { return second.header.isDone(); }));

    std::vector<std::int16_t> recorded = first.samples;
    recorded.insert(recorded.end(), second.samples.begin(), second.samples.end());
    std::size_t jumps = 0;
    for (std::size_t n = 1; n < recorded.size(); ++n) {
        jumps += recorded[n] != recorded[n - 1] + 1 ? 1 : 0;
    }
    EXPECT_EQ(jumps, 0u) << "recorded " << recorded.front() << ".." << recorded.back();
    microphone->stop();
    microphone->reset();
    microphone->close();
}
