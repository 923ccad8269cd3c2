#include "platform/PulseWaveDevices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEndpoints.h"
#include "audio/CWizardAudio.h"
#include "platform/PulseEndpoints.h"
#include "tests/audio/PulseServerTest.h"
#include "tests/audio/PulseTestServer.h"
#include "tests/audio/RecordingTake.h"
#include "tests/audio/TestFiles.h"
#include "tests/audio/WitnessedRun.h"

namespace {

using platform::Event;
using platform::IWaveStream;
using platform::PulseWaveDevices;
using platform::WaveBlockHeader;
using platform::WaveDirection;
using platform::WavePcmFormat;
using testing_audio::PulseTestServer;
using testing_audio::RecordingTake;
namespace wave = platform::wave;

// The test sinks' own rate: sound at it passes the server unchanged.
constexpr std::uint32_t kRate = 48000;
constexpr WavePcmFormat kMono{1, kRate, 16};

// One block and its memory.
struct Block {
    explicit Block(std::uint32_t bytes) : data(bytes) {
        header.data = data.data();
        header.bufferLength = bytes;
    }
    std::int16_t* samples() { return reinterpret_cast<std::int16_t*>(data.data()); }
    std::vector<std::uint8_t> data;
    WaveBlockHeader header;
};

// A numbered, never silent sample sequence.
std::int16_t sequenceSample(std::uint32_t n) {
    return static_cast<std::int16_t>(1000 + n % 30000);
}

// Where a recording of a played sequence breaks: the first of its frames that differs from
// expected(n), or the end of a recording that stops short; nothing when it never starts.
testing_audio::FlawFinder sequenceFlaw(std::uint32_t frames,
                                       std::function<std::int16_t(std::uint32_t)> expected = sequenceSample) {
    return [frames,
            expected](const std::vector<std::int16_t>& take) -> std::optional<testing_audio::RecordingFlaw> {
        const auto start = std::find(take.begin(), take.end(), expected(0));
        if (start == take.end()) {
            return testing_audio::RecordingFlaw{"nothing", "no sequence", 0.0};
        }
        const auto heard = std::min<std::size_t>(static_cast<std::size_t>(take.end() - start), frames);
        std::uint32_t n = 0;
        while (n < heard && start[n] == expected(n)) {
            ++n;
        }
        if (n == frames) {
            return std::nullopt;
        }
        const std::string found = n < heard ? std::to_string(start[n]) + " for " + std::to_string(expected(n))
                                            : std::string("its end");
        return testing_audio::RecordingFlaw{"break",
                                            "a break at frame " + std::to_string(n) + " (" + found + ")",
                                            static_cast<double>(n) / kRate};
    };
}

class PulseWaveDevicesTest : public testing_audio::PulseServerTest {
protected:
    PulseWaveDevices devices;
};

TEST_F(PulseWaveDevicesTest, DevicesAreTheEndpointsByTheirNames) {
    EXPECT_EQ(
        devices.deviceNames(WaveDirection::Output),
        (std::vector<std::string>{"Built-in Audio", "Qnlr Speakerphone", "Speakers (Qnlr Speakerphone B)"}));
    EXPECT_EQ(devices.deviceNames(WaveDirection::Input),
              (std::vector<std::string>{"Built-in Audio Microphone", "Microphone (Qnlr Speakerphone)",
                                        "Microphone (Qnlr Speakerphone B)"}));
    // The names the endpoint finder keeps open the unit's own devices.
    platform::PulseEndpoints service;
    CAudioEndpoints endpoints(&service);
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, endpoints.GetSpeakerName()), 1);
    EXPECT_EQ(CWizardAudio::FindWaveInDevice(devices, endpoints.GetMicrophoneName()), 1);
}

TEST_F(PulseWaveDevicesTest, OpenRefusesUnknownDevicesAndFormats) {
    Event event;
    std::unique_ptr<IWaveStream> stream;
    EXPECT_EQ(devices.open(WaveDirection::Output, 3, kMono, event, stream), wave::kBadDeviceId);
    EXPECT_EQ(devices.open(WaveDirection::Input, -2, kMono, event, stream), wave::kBadDeviceId);
    EXPECT_EQ(devices.open(WaveDirection::Output, 1, WavePcmFormat{1, kRate, 8}, event, stream),
              wave::kBadFormat);
    EXPECT_EQ(devices.open(WaveDirection::Input, 1, WavePcmFormat{0, kRate, 16}, event, stream),
              wave::kBadFormat);
    EXPECT_EQ(devices.open(WaveDirection::Input, 1, WavePcmFormat{1, 0, 16}, event, stream),
              wave::kBadFormat);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(devices.open(WaveDirection::Output, wave::kDefaultDevice, kMono, event, stream),
              wave::kNoError);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->close(), wave::kNoError);
}

TEST_F(PulseWaveDevicesTest, PlayedBlocksAreRecordedWholeInOrderOnlyOnTheirOwnUnit) {
    constexpr std::uint32_t kFrames = 4800;  // 0.1 s a block
    const auto findBreak = sequenceFlaw(5 * kFrames);
    testfiles::TempDir dir;
    // A break that the server's own recorder of the unit's source shows as well the server made.
    for (int attempt = 1;; ++attempt) {
        testing_audio::WitnessedRun witness(*s_server, devices.devices(WaveDirection::Input).at(1).key, kRate,
                                            dir.file("witness.raw"), attempt);
        RecordingTake unitA(devices, 1, kRate);
        RecordingTake unitB(devices, 2, kRate);
        ASSERT_EQ(unitA.openResult(), wave::kNoError);
        ASSERT_EQ(unitB.openResult(), wave::kNoError);
        // Play only once sound comes in: a source on an idle sink may take a while to start.
        ASSERT_TRUE(unitA.waitFor(kRate / 5));
        ASSERT_TRUE(unitB.waitFor(kRate / 5));

        Event playEvent;
        std::unique_ptr<IWaveStream> player;
        ASSERT_EQ(devices.open(WaveDirection::Output, 1, kMono, playEvent, player), wave::kNoError);
        std::vector<std::unique_ptr<Block>> blocks;
        for (std::uint32_t b = 0; b < 5; ++b) {
            blocks.push_back(std::make_unique<Block>(kFrames * 2));
            for (std::uint32_t i = 0; i < kFrames; ++i) {
                blocks.back()->samples()[i] = sequenceSample(b * kFrames + i);
            }
            EXPECT_EQ(player->queue(blocks.back()->header), wave::kUnprepared);
            ASSERT_EQ(player->prepare(blocks.back()->header), wave::kNoError);
            ASSERT_EQ(player->queue(blocks.back()->header), wave::kNoError);
            EXPECT_EQ(player->unprepare(blocks.back()->header), wave::kStillPlaying);
        }
        ASSERT_EQ(player->playOut(), wave::kNoError);  // every sample, also those of a part period
        // Blocks finish in the order they were queued.
        for (auto& block : blocks) {
            while (!block->header.isDone()) {
                ASSERT_EQ(playEvent.wait(5000), platform::kWaitObject0);
            }
            for (auto& earlier : blocks) {
                if (&earlier == &block) {
                    break;
                }
                EXPECT_TRUE(earlier->header.isDone());
            }
            EXPECT_FALSE(block->header.isQueued());
        }
        EXPECT_EQ(player->close(), wave::kNoError);

        // The take holds the whole sequence, unchanged and without a gap, after silence.
        ASSERT_TRUE(unitA.waitFor(unitA.position() + kRate / 2));
        ASSERT_TRUE(unitB.waitFor(unitA.position()));
        const auto take = unitA.samples();
        const auto other = unitB.samples();
        if (witness.serverMadeTheFlaw(take, findBreak)) {
            continue;
        }
        const auto flaw = findBreak(take);
        ASSERT_FALSE(flaw) << flaw->what << " at " << flaw->atSeconds << " s";
        const auto start = std::find(take.begin(), take.end(), sequenceSample(0));
        EXPECT_TRUE(std::all_of(take.begin(), start, [](std::int16_t s) { return s == 0; }));
        EXPECT_TRUE(std::all_of(other.begin(), other.end(), [](std::int16_t s) { return s == 0; }));
        break;
    }
}

// Sound queued after the playing ran dry follows a gap in the sound played, which the server's
// recorder of the unit's source hears as well as our take: only the player's count tells it, once.
TEST_F(PulseWaveDevicesTest, SoundQueuedAfterThePlayingRanDryCountsOneGap) {
    RecordingTake unit(devices, 1, kRate);  // its frames tell the time of the unit's sink
    ASSERT_TRUE(unit.waitFor(kRate / 5));
    Event event;
    std::unique_ptr<IWaveStream> player;
    ASSERT_EQ(devices.open(WaveDirection::Output, 1, kMono, event, player), wave::kNoError);
    Block first(kRate / 5), second(kRate / 5);  // 0.1 s each
    for (Block* block : {&first, &second}) {
        ASSERT_EQ(player->prepare(block->header), wave::kNoError);
    }
    ASSERT_EQ(player->queue(first.header), wave::kNoError);
    // A second of the sink's sound later, the first block has long run out.
    ASSERT_TRUE(unit.waitFor(unit.position() + kRate));
    ASSERT_EQ(player->queue(second.header), wave::kNoError);
    ASSERT_EQ(player->playOut(), wave::kNoError);
    while (!second.header.isDone()) {
        ASSERT_EQ(event.wait(5000), platform::kWaitObject0);
    }
    EXPECT_EQ(player->counters().underflows, 1u);
    EXPECT_EQ(player->close(), wave::kNoError);
}

TEST_F(PulseWaveDevicesTest, RecordingBlocksFollowStopResetAndClose) {
    Event event;
    std::unique_ptr<IWaveStream> recorder;
    ASSERT_EQ(devices.open(WaveDirection::Input, 1, kMono, event, recorder), wave::kNoError);
    Block first(kRate * 2 * 60), second(64);  // the first block holds a minute
    for (Block* block : {&first, &second}) {
        ASSERT_EQ(recorder->prepare(block->header), wave::kNoError);
        ASSERT_EQ(recorder->queue(block->header), wave::kNoError);
    }
    // Nothing is recorded before start.
    EXPECT_EQ(event.wait(300), platform::kWaitTimeout);
    EXPECT_EQ(first.header.bytesRecorded.load(), 0u);

    ASSERT_EQ(recorder->start(), wave::kNoError);
    while (first.header.bytesRecorded.load() < 4800) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Stop hands back the block being filled with what it holds; the empty one stays queued.
    ASSERT_EQ(recorder->stop(), wave::kNoError);
    EXPECT_EQ(event.wait(1000), platform::kWaitObject0);
    EXPECT_TRUE(first.header.isDone());
    const std::uint32_t held = first.header.bytesRecorded.load();
    EXPECT_GE(held, 4800u);
    EXPECT_EQ(held % 2, 0u);
    EXPECT_FALSE(second.header.isDone());
    EXPECT_TRUE(second.header.isQueued());

    EXPECT_EQ(recorder->close(), wave::kStillPlaying);
    EXPECT_EQ(recorder->unprepare(second.header), wave::kStillPlaying);
    ASSERT_EQ(recorder->reset(), wave::kNoError);
    EXPECT_TRUE(second.header.isDone());
    EXPECT_EQ(second.header.bytesRecorded.load(), 0u);
    EXPECT_EQ(recorder->unprepare(second.header), wave::kNoError);
    EXPECT_EQ(first.header.bytesRecorded.load(), held);  // stopped: nothing more came in
    EXPECT_EQ(recorder->close(), wave::kNoError);
    EXPECT_NE(recorder->queue(first.header), wave::kNoError);
}

TEST_F(PulseWaveDevicesTest, ResetAndDestructionGiveBackPlayingBlocks) {
    Event event;
    std::unique_ptr<IWaveStream> player;
    ASSERT_EQ(devices.open(WaveDirection::Output, 0, kMono, event, player), wave::kNoError);
    Block longBlock(kRate * 2 * 30), next(kRate * 2);  // 30 s and 1 s of silence
    for (Block* block : {&longBlock, &next}) {
        ASSERT_EQ(player->prepare(block->header), wave::kNoError);
        ASSERT_EQ(player->queue(block->header), wave::kNoError);
    }
    EXPECT_EQ(player->close(), wave::kStillPlaying);
    EXPECT_FALSE(longBlock.header.isDone());
    ASSERT_EQ(player->reset(), wave::kNoError);
    EXPECT_TRUE(longBlock.header.isDone());
    EXPECT_TRUE(next.header.isDone());

    // Still usable after a reset.
    Block shortBlock(960);
    ASSERT_EQ(player->prepare(shortBlock.header), wave::kNoError);
    ASSERT_EQ(player->queue(shortBlock.header), wave::kNoError);
    ASSERT_EQ(player->playOut(), wave::kNoError);
    while (!shortBlock.header.isDone()) {
        ASSERT_EQ(event.wait(5000), platform::kWaitObject0);
    }

    // A stream that goes with blocks still queued gives them back first.
    ASSERT_EQ(player->queue(longBlock.header), wave::kNoError);
    player.reset();
    EXPECT_TRUE(longBlock.header.isDone());
    EXPECT_FALSE(longBlock.header.isQueued());
}

TEST_F(PulseWaveDevicesTest, OddBlockLengthsPlayTheirWholeFrames) {
    Event event;
    std::unique_ptr<IWaveStream> player;
    ASSERT_EQ(devices.open(WaveDirection::Output, 1, WavePcmFormat{2, kRate, 16}, event, player),
              wave::kNoError);
    Block odd(4 * 100 + 3), empty(0);
    for (Block* block : {&odd, &empty}) {
        ASSERT_EQ(player->prepare(block->header), wave::kNoError);
        ASSERT_EQ(player->queue(block->header), wave::kNoError);
    }
    ASSERT_EQ(player->playOut(), wave::kNoError);
    while (!empty.header.isDone()) {
        ASSERT_EQ(event.wait(5000), platform::kWaitObject0);
    }
    EXPECT_TRUE(odd.header.isDone());
}

TEST_F(PulseWaveDevicesTest, ATwoChannelSourceRecordedAsOneIsTheAverageOfItsChannels) {
    constexpr std::uint32_t kFrames = 4800;
    constexpr std::int16_t kRight = 1001;
    // (left + right) / 2 as PulseAudio mixes, not 0.707 x (left + right) (3 dB louder). The
    // server's recorder keeps the left channel: the sequence as played.
    const auto findBreak = sequenceFlaw(
        kFrames, [](std::uint32_t n) { return static_cast<std::int16_t>((sequenceSample(n) + kRight) / 2); });
    testfiles::TempDir dir;
    for (int attempt = 1;; ++attempt) {
        testing_audio::WitnessedRun witness(*s_server, devices.devices(WaveDirection::Input).at(1).key, kRate,
                                            dir.file("witness.raw"), attempt);
        RecordingTake unit(devices, 1, kRate);  // one channel from the two-channel qnlr_a_mic
        ASSERT_EQ(unit.openResult(), wave::kNoError);
        ASSERT_TRUE(unit.waitFor(kRate / 5));
        Event event;
        std::unique_ptr<IWaveStream> player;
        ASSERT_EQ(devices.open(WaveDirection::Output, 1, WavePcmFormat{2, kRate, 16}, event, player),
                  wave::kNoError);
        Block block(kFrames * 4);
        for (std::uint32_t i = 0; i < kFrames; ++i) {
            block.samples()[2 * i] = sequenceSample(i);
            block.samples()[2 * i + 1] = kRight;
        }
        ASSERT_EQ(player->prepare(block.header), wave::kNoError);
        ASSERT_EQ(player->queue(block.header), wave::kNoError);
        ASSERT_EQ(player->playOut(), wave::kNoError);
        while (!block.header.isDone()) {
            ASSERT_EQ(event.wait(5000), platform::kWaitObject0);
        }
        ASSERT_TRUE(unit.waitFor(unit.position() + kRate / 2));
        const auto take = unit.samples();
        if (witness.serverMadeTheFlaw(take, findBreak, sequenceFlaw(kFrames))) {
            continue;
        }
        const auto flaw = findBreak(take);
        ASSERT_FALSE(flaw) << flaw->what << " at " << flaw->atSeconds << " s";
        break;
    }
}

TEST_F(PulseWaveDevicesTest, ADeviceOpensByTheIdentityChosenNotByItsPlace) {
    const auto load = [](const std::string& name) {
        const std::string index = s_server->pactlOutput("load-module module-null-sink sink_name=" + name);
        return index.substr(0, index.find('\n'));
    };
    const auto sinkOfOurStream = [] {
        // "index<TAB>sink index<TAB>..." of the one stream, then the sink's name.
        const std::string input = s_server->pactlOutput("list short sink-inputs");
        const std::string sink =
            input.substr(input.find('\t') + 1, input.find('\t', input.find('\t') + 1) - input.find('\t') - 1);
        const std::string sinks = s_server->pactlOutput("list short sinks");
        const auto line = sinks.find("\n" + sink + "\t");
        const auto at = line == std::string::npos ? sinks.find(sink + "\t") : line + 1;
        const auto nameStart = sinks.find('\t', at) + 1;
        return sinks.substr(nameStart, sinks.find('\t', nameStart) - nameStart);
    };
    const std::string first = load("spare_x");
    const std::string second = load("spare_y");
    const auto before = devices.devices(WaveDirection::Output);
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(before[4].key, "spare_y");
    // Between the choice and the open, the list changes: spare_y moves up, spare_z takes its place.
    ASSERT_EQ(s_server->pactl("unload-module " + first), 0);
    const std::string third = load("spare_z");
    Event event;
    std::unique_ptr<IWaveStream> player;
    ASSERT_EQ(devices.open(WaveDirection::Output, {4, "spare_y"}, kMono, event, player), wave::kNoError);
    EXPECT_EQ(sinkOfOurStream(), "spare_y");
    EXPECT_EQ(player->close(), wave::kNoError);
    player.reset();
    // And once it is gone, nothing else opens in its place.
    ASSERT_EQ(s_server->pactl("unload-module " + second), 0);
    EXPECT_EQ(devices.open(WaveDirection::Output, {3, "spare_y"}, kMono, event, player), wave::kBadDeviceId);
    EXPECT_EQ(player, nullptr);
    EXPECT_EQ(s_server->pactl("unload-module " + third), 0);
}

// A recording thread that comes back late: with the server's buffer (or one set longer than the
// delay) nothing is lost; past a short one the sound dropped is counted.
struct LateBlocksCase {
    std::uint32_t recordBufferMs;  // 0: the server's own
    bool loses;
};

class PulseLateBlocksTest : public testing_audio::PulseServerTest,
                            public testing::WithParamInterface<LateBlocksCase> {};

TEST_P(PulseLateBlocksTest, BlocksReturnedLateLoseNothingWithinTheBufferAndCountWhatPassesIt) {
    constexpr std::uint32_t kLateMs = 1500;
    constexpr std::uint32_t kFrames = 4800;  // 0.1 s a block
    constexpr std::uint32_t kPlayedBlocks = 20;
    PulseWaveDevices::Config config;
    config.recordBufferMs = GetParam().recordBufferMs;
    PulseWaveDevices devices(config);
    const std::string source = devices.devices(WaveDirection::Input).at(1).key;
    testfiles::TempDir dir;
    // A break that the server's own recorder of the source shows as well the server made.
    for (int attempt = 1;; ++attempt) {
        testing_audio::WitnessedRun witness(*s_server, source, kRate, dir.file("witness.raw"), attempt);
        Event recordEvent, playEvent;
        std::vector<std::unique_ptr<Block>> ring, played;  // they outlive the streams that hold them
        std::unique_ptr<IWaveStream> recorder, player;
        ASSERT_EQ(devices.open(WaveDirection::Input, 1, kMono, recordEvent, recorder), wave::kNoError);
        ASSERT_EQ(devices.open(WaveDirection::Output, 1, kMono, playEvent, player), wave::kNoError);
        for (int b = 0; b < 2; ++b) {
            ring.push_back(std::make_unique<Block>(kFrames * 2));
            ASSERT_EQ(recorder->prepare(ring.back()->header), wave::kNoError);
            ASSERT_EQ(recorder->queue(ring.back()->header), wave::kNoError);
        }
        ASSERT_EQ(recorder->start(), wave::kNoError);
        std::vector<std::int16_t> take;
        std::size_t next = 0;
        const auto recordUntil = [&](std::size_t frames) {
            while (take.size() < frames) {
                Block& block = *ring[next];
                while (!block.header.isDone()) {
                    if (recordEvent.wait(5000) != platform::kWaitObject0) {
                        return false;
                    }
                }
                const auto* samples = block.samples();
                take.insert(take.end(), samples, samples + block.header.bytesRecorded.load() / 2);
                recorder->queue(block.header);
                next = (next + 1) % ring.size();
            }
            return true;
        };
        ASSERT_TRUE(recordUntil(kRate / 5));

        for (std::uint32_t b = 0; b < kPlayedBlocks; ++b) {
            played.push_back(std::make_unique<Block>(kFrames * 2));
            for (std::uint32_t i = 0; i < kFrames; ++i) {
                played.back()->samples()[i] = sequenceSample(b * kFrames + i);
            }
            ASSERT_EQ(player->prepare(played.back()->header), wave::kNoError);
            ASSERT_EQ(player->queue(played.back()->header), wave::kNoError);
        }
        ASSERT_EQ(player->playOut(), wave::kNoError);
        std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs));  // the blocks stay away
        ASSERT_TRUE(recordUntil(take.size() + kRate * 9 / 2));

        const auto lost = recorder->counters();
        const auto findBreak = sequenceFlaw(kPlayedBlocks * kFrames);
        if (!GetParam().loses && !lost.any() && witness.serverMadeTheFlaw(take, findBreak)) {
            continue;
        }
        if (!GetParam().loses) {
            EXPECT_FALSE(lost.any()) << lost.overflows << " overflows, " << lost.discardedBytes
                                     << " bytes dropped";
            const auto flaw = findBreak(take);
            EXPECT_FALSE(flaw) << flaw->what << " at " << flaw->atSeconds << " s";
            // A gap in the playing, made by the player or the server, breaks both recordings alike
            // and the run was repeated above; with the take whole, a counted gap is a false count.
            EXPECT_EQ(player->counters().underflows, 0u);
        } else {
            // What the recording lost, not how the sound was played: no break is judged here, and
            // a player that a busy machine held past its buffer is no fault of the recording.
            // Of the 1.5 s, 0.2 s went into the blocks and 0.3 s waited: about 1 s was dropped.
            EXPECT_EQ(lost.overflows, 1u);
            EXPECT_GT(lost.discardedBytes, kRate * 2 / 2);
            EXPECT_LT(lost.discardedBytes, kRate * 2 * 3);
        }
        EXPECT_EQ(lost.holes, 0u);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(PulseBuffers, PulseLateBlocksTest,
                         testing::Values(LateBlocksCase{0, false}, LateBlocksCase{2000, false},
                                         LateBlocksCase{300, true}));

// A device taken from a stream while it plays or records: the stream gives back every block
// and takes no more, as when the device is gone; it never goes on on another device.
enum class Loss { Unload, Suspend, Kill, Move };

struct LostDeviceCase {
    WaveDirection direction;
    Loss loss;
};

class PulseLostDeviceTest : public testing_audio::PulseServerTest,
                            public testing::WithParamInterface<LostDeviceCase> {
protected:
    // A spare unit of its own, which the case may take away: a sink and the source that
    // records its monitor.
    void SetUp() override {
        PulseServerTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        for (const char* module : {"module-null-sink sink_name=spare_out rate=48000",
                                   "module-remap-source source_name=spare_in master=spare_out.monitor"}) {
            const std::string index = s_server->pactlOutput(std::string("load-module ") + module);
            m_modules.push_back(index.substr(0, index.find('\n')));
        }
    }
    void TearDown() override {
        for (auto module = m_modules.rbegin(); module != m_modules.rend(); ++module) {
            s_server->pactl("unload-module " + *module);  // those the case left
        }
    }

    PulseWaveDevices devices;
    std::vector<std::string> m_modules;  // the spare sink's, then its source's
};

TEST_P(PulseLostDeviceTest, TheStreamEndsAsOnAGoneDeviceAndNeverMovesElsewhere) {
    const bool output = GetParam().direction == WaveDirection::Output;
    const std::string kind = output ? "sink-inputs" : "source-outputs";
    const std::string device = output ? "spare_out" : "spare_in";
    if (GetParam().loss == Loss::Suspend && std::getenv("QPG_AUDIO_SERVER") != nullptr &&
        std::string(std::getenv("QPG_AUDIO_SERVER")) == "pipewire") {
        GTEST_SKIP() << "PipeWire's server does not suspend a device that a stream uses";
    }
    Event event;
    std::unique_ptr<IWaveStream> stream;
    ASSERT_EQ(devices.open(GetParam().direction, {0, device}, kMono, event, stream), wave::kNoError);
    Block block(kRate * 2 * 60), spare(kRate * 2);
    ASSERT_EQ(stream->prepare(block.header), wave::kNoError);
    ASSERT_EQ(stream->prepare(spare.header), wave::kNoError);
    ASSERT_EQ(stream->queue(block.header), wave::kNoError);
    if (!output) {
        ASSERT_EQ(stream->start(), wave::kNoError);
        // Sound comes in (a source on an idle sink may take a while to start).
        for (int waits = 0; waits < 100 && block.header.bytesRecorded.load() == 0; ++waits) {
            event.wait(50);
        }
        ASSERT_GT(block.header.bytesRecorded.load(), 0u);
        ASSERT_FALSE(block.header.isDone());
    }
    const auto streams = s_server->clientStreams(kind);
    ASSERT_EQ(streams.size(), 1u);
    // Where the stream is: its line of "list short", whose second field is its device.
    const auto placeOf = [&] {
        const std::string list = s_server->pactlOutput("list short " + kind);
        const auto line = list.find(streams[0] + "\t");
        return list.substr(line, list.find('\n', line) - line);
    };

    switch (GetParam().loss) {
        case Loss::Unload:
            ASSERT_EQ(s_server->pactl("unload-module " + m_modules[output ? 0 : 1]), 0);
            break;
        case Loss::Suspend:
            ASSERT_EQ(s_server->pactl((output ? "suspend-sink " : "suspend-source ") + device + " 1"), 0);
            break;
        case Loss::Kill:
            ASSERT_TRUE(s_server->killStream(kind, streams[0]));
            break;
        case Loss::Move: {
            // The server refuses to move it at all: it stays where it is, in use.
            const std::string before = placeOf();
            EXPECT_NE(s_server->pactl((output ? "move-sink-input " : "move-source-output ") + streams[0] +
                                      (output ? " builtin" : " builtin_mic")),
                      0);
            EXPECT_EQ(placeOf(), before);
            EXPECT_FALSE(block.header.isDone());
            EXPECT_EQ(stream->reset(), wave::kNoError);
            EXPECT_EQ(stream->close(), wave::kNoError);
            return;
        }
    }
    while (!block.header.isDone()) {
        ASSERT_EQ(event.wait(5000), platform::kWaitObject0);
    }
    EXPECT_FALSE(block.header.isQueued());
    EXPECT_NE(stream->queue(spare.header), wave::kNoError);
    EXPECT_FALSE(spare.header.isQueued());
    EXPECT_EQ(stream->close(), wave::kNoError);
}

std::string lostDeviceCaseName(const testing::TestParamInfo<LostDeviceCase>& info) {
    static const char* const kLosses[] = {"Unloaded", "Suspended", "Killed", "MovedAway"};
    return std::string(info.param.direction == WaveDirection::Output ? "Playing" : "Recording") +
           kLosses[static_cast<int>(info.param.loss)];
}

INSTANTIATE_TEST_SUITE_P(PulseLostDevices, PulseLostDeviceTest,
                         testing::Values(LostDeviceCase{WaveDirection::Output, Loss::Unload},
                                         LostDeviceCase{WaveDirection::Input, Loss::Unload},
                                         LostDeviceCase{WaveDirection::Output, Loss::Suspend},
                                         LostDeviceCase{WaveDirection::Input, Loss::Suspend},
                                         LostDeviceCase{WaveDirection::Output, Loss::Kill},
                                         LostDeviceCase{WaveDirection::Input, Loss::Kill},
                                         LostDeviceCase{WaveDirection::Output, Loss::Move},
                                         LostDeviceCase{WaveDirection::Input, Loss::Move}),
                         lostDeviceCaseName);

TEST(PulseWaveDevicesServerTest, NoServerMeansNoDevices) {
    testing_audio::ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/qpg/native");
    PulseWaveDevices devices;
    EXPECT_TRUE(devices.deviceNames(WaveDirection::Output).empty());
    Event event;
    std::unique_ptr<IWaveStream> stream;
    EXPECT_EQ(devices.open(WaveDirection::Input, 0, kMono, event, stream), wave::kNoDriver);
    EXPECT_STREQ(wave::openErrorText(wave::kNoDriver), "No device driver is present.");
}

TEST(PulseWaveDevicesServerTest, AServerThatGoesAwayGivesBackEveryBlock) {
    auto server = std::make_unique<PulseTestServer>();
    ASSERT_TRUE(server->running()) << server->failure();
    PulseWaveDevices devices;
    Event recordEvent, playEvent;
    std::unique_ptr<IWaveStream> recorder, player;
    ASSERT_EQ(devices.open(WaveDirection::Input, 1, kMono, recordEvent, recorder), wave::kNoError);
    ASSERT_EQ(devices.open(WaveDirection::Output, 1, kMono, playEvent, player), wave::kNoError);
    Block recorded(kRate * 2 * 60), played(kRate * 2 * 60);
    recorder->prepare(recorded.header);
    recorder->queue(recorded.header);
    recorder->start();
    player->prepare(played.header);
    player->queue(played.header);

    server.reset();
    while (!recorded.header.isDone()) {
        ASSERT_EQ(recordEvent.wait(5000), platform::kWaitObject0);
    }
    while (!played.header.isDone()) {
        ASSERT_EQ(playEvent.wait(5000), platform::kWaitObject0);
    }
    EXPECT_NE(player->queue(played.header), wave::kNoError);
    EXPECT_EQ(player->close(), wave::kNoError);
    EXPECT_EQ(recorder->close(), wave::kNoError);
}

}  // namespace
