// Plays numbered sample sequences on a unit's speaker of a private sound server (PulseAudio, or
// PipeWire with QPG_AUDIO_SERVER=pipewire) and records its microphone (the speaker's sound,
// looped back by the server), then reports from the recorded samples:
//  - the time from opening and starting the microphone to its first recorded block;
//  - the latency from a block queued on an idle speaker to its first sample in the recording;
//  - the same while streaming with the engine's ring of four playing blocks, where a block
//    also waits for the ones queued before it;
//  - whether any sample of any block went missing or changed over the streaming run;
//  - end-of-playback lateness: from the last sample of a last block, shorter than a server
//    period, appearing in the recording to that block being done (the engine's WM_AUDIO_DONE
//    follows 100 ms after it).
//  - then the audio engine's own play-and-record runs (as the echo test makes them: 32000 Hz, two
//    channels): where a tone played 0.5 s into the file starts in the recording, how much of it
//    came back, the engine's loss counters, and how long Stop holds the thread that calls it,
//    measured as the longest turn of a polling event loop that stops the run on WM_AUDIO_DONE.
// The sinks run at 48000 Hz, and so does the bench, so that the sound passes unchanged.
//
//   bench_pulse [streamSeconds=60]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/CWizardAudio.h"
#include "platform/PulseWaveDevices.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/audio/PulseTestServer.h"
#include "tests/audio/RecordingTake.h"

namespace {

using platform::WaveBlockHeader;
namespace wave = platform::wave;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kBlockFrames = 8192;  // the engine's 16384-byte blocks at this rate
constexpr std::uint32_t kPlayBlocks = 4;      // the engine's rings
constexpr std::uint32_t kRecordBlocks = 6;
constexpr std::uint32_t kIsolatedBlocks = 20;
constexpr std::uint32_t kLastBlocks = 10;
constexpr std::uint32_t kLastBlockFrames = 700;  // under a period of either server
constexpr std::uint32_t kPeriod = 65521;         // the sequence repeats after this many frames

// Frame n of the played sequence: never 0, so silence cannot pass for it.
std::int16_t sequenceSample(std::uint64_t n) {
    const auto v = static_cast<std::int32_t>(n % kPeriod) - 32760;
    return static_cast<std::int16_t>(v == 0 ? 32761 : v);
}

int findDevice(platform::IWaveDevices& devices, platform::WaveDirection direction, const char* name) {
    const auto names = devices.deviceNames(direction);
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

struct Block {
    std::vector<std::uint8_t> data;
    WaveBlockHeader header;
};

void printSpread(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%s: no block measured\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s: min %.1f ms, median %.1f ms, max %.1f ms over %zu blocks\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
}

void fill(Block& block, std::uint64_t firstFrame, std::uint32_t frames) {
    auto* samples = reinterpret_cast<std::int16_t*>(block.data.data());
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[i] = sequenceSample(firstFrame + i);
    }
    block.header.bufferLength = frames * 2;
}

// The recorded position of a block's first frames at or after a position; -1 when absent.
std::int64_t findBlock(const std::vector<std::int16_t>& take, std::uint64_t from, std::uint64_t firstFrame) {
    for (std::uint64_t at = from; at + 8 <= take.size(); ++at) {
        bool same = true;
        for (std::uint64_t i = 0; i < 8 && same; ++i) {
            same = take[at + i] == sequenceSample(firstFrame + i);
        }
        if (same) {
            return static_cast<std::int64_t>(at);
        }
    }
    return -1;
}

double framesToMs(std::int64_t frames) {
    return 1000.0 * static_cast<double>(frames) / kRate;
}

// Play-and-record runs of the engine on the unit's devices, reported one line each.
void engineRuns(platform::IWaveDevices& devices, int runs) {
    constexpr std::uint32_t kToneRate = 32000;
    constexpr double kLeadIn = 0.5, kTone = 3.0, kTail = 0.3;
    testfiles::TempDir dir;
    std::vector<std::int16_t> tone;
    for (std::size_t n = 0; n < static_cast<std::size_t>((kLeadIn + kTone + kTail) * kToneRate); ++n) {
        const double t = static_cast<double>(n) / kToneRate;
        const auto s = t >= kLeadIn && t < kLeadIn + kTone
                           ? static_cast<std::int16_t>(8192 * std::sin(2 * M_PI * 1000.0 * t))
                           : std::int16_t{0};
        tone.push_back(s);
        tone.push_back(s);
    }
    const auto playFile = audiotest::writeWave(dir.file("tone.wav"), 2, kToneRate, tone);
    std::vector<double> stalls;
    for (int run = 0; run < runs; ++run) {
        CWizardAudio engine(devices);
        engine.m_playFile = playFile;
        engine.m_recordFile = dir.file("take.wav");
        engine.m_waveOutName = "Qnlr Speakerphone";
        engine.m_waveInName = "Microphone (Qnlr Speakerphone)";
        engine.m_testMode = AUDIO_MODE_PLAY_RECORD;
        platform::NotifyQueue queue;
        if (engine.Start(&queue) != 1) {
            std::printf("engine run %d: did not start\n", run + 1);
            continue;
        }
        // The event loop: turns every 5 ms at most; the run is stopped inside a turn.
        double stopMs = -1.0, longestTurnMs = 0.0;
        auto last = std::chrono::steady_clock::now();
        for (int turns = 0; turns < 3000 && stopMs < 0; ++turns) {
            const auto message = queue.take(5);
            if (message && message->message == WM_AUDIO_DONE) {
                const auto before = std::chrono::steady_clock::now();
                engine.Stop();
                stopMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                             .count();
            }
            const auto now = std::chrono::steady_clock::now();
            longestTurnMs =
                std::max(longestTurnMs, std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
        }
        if (stopMs < 0) {
            engine.Stop();
        }
        engine.KeepRecording();
        stalls.push_back(stopMs);
        const auto take = audiotest::readChannel(dir.file("take.wav"), 1);
        const auto loud = [](std::int16_t s) { return std::abs(static_cast<int>(s)) > 2000; };
        const auto first = std::find_if(take.begin(), take.end(), loud);
        const auto final = std::find_if(take.rbegin(), take.rend(), loud);
        const double startMs = first == take.end() ? -1.0 : 1000.0 * (first - take.begin()) / kToneRate;
        const double heardMs =
            first == take.end() ? 0.0 : 1000.0 * ((take.rend() - final) - (first - take.begin())) / kToneRate;
        const auto loss = engine.LossCounters();
        std::printf(
            "engine run %d: tone starts at %.2f ms of the recording (played at %.0f ms), %.2f of %.0f ms "
            "heard, recording %.3f s; underflows %u, overflows %u, holes %u, discarded %llu bytes; "
            "Stop %.1f ms, longest event-loop turn %.1f ms%s\n",
            run + 1, startMs, 1000 * kLeadIn, heardMs, 1000 * kTone,
            static_cast<double>(take.size()) / kToneRate, loss.underflows, loss.overflows, loss.holes,
            static_cast<unsigned long long>(loss.discardedBytes), stopMs, longestTurnMs,
            engine.RecordingFault().empty() ? "" : (" FAULT: " + engine.RecordingFault()).c_str());
    }
    printSpread("stop stall (Stop on WM_AUDIO_DONE)", stalls);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    ::setenv("QPG_SOURCE_DIR", QPG_SOURCE_DIR, 0);
    testing_audio::PulseTestServer server;
    if (!server.running()) {
        std::fprintf(stderr, "the PulseAudio test server did not start:\n%s\n", server.failure().c_str());
        return 1;
    }
    platform::PulseWaveDevices devices;
    const int out = findDevice(devices, platform::WaveDirection::Output, "Qnlr Speakerphone");
    const int in = findDevice(devices, platform::WaveDirection::Input, "Microphone (Qnlr Speakerphone)");
    const platform::WavePcmFormat format{1, kRate, 16};
    platform::Event playEvent;
    std::unique_ptr<platform::IWaveStream> player;
    // The engine's recording blocks at this rate: six of 16384 bytes.
    const auto opening = std::chrono::steady_clock::now();
    testing_audio::RecordingTake recorder(devices, in, kRate, kBlockFrames * 2, kRecordBlocks);
    recorder.waitFor(1);
    const double firstBlockMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opening).count();
    if (recorder.openResult() != wave::kNoError ||
        devices.open(platform::WaveDirection::Output, out, format, playEvent, player) != wave::kNoError) {
        std::fprintf(stderr, "cannot open the unit's devices\n");
        return 1;
    }
    std::vector<Block> playBlocks(kPlayBlocks);
    for (auto& block : playBlocks) {
        block.data.resize(kBlockFrames * 2);
        block.header.data = block.data.data();
        player->prepare(block.header);
    }

    // Phase 1: single blocks on an idle speaker, each after 300 ms of recorded silence.
    std::vector<std::uint64_t> isolatedQueuedAt;
    std::uint64_t sequence = 0;
    for (std::uint32_t j = 0; j < kIsolatedBlocks; ++j) {
        recorder.waitFor(recorder.position() + kRate * 3 / 10);
        Block& block = playBlocks[0];
        fill(block, sequence, kBlockFrames);
        isolatedQueuedAt.push_back(recorder.position());
        player->queue(block.header);
        player->playOut();
        while (!block.header.isDone()) {
            playEvent.wait(100);
        }
        sequence += kBlockFrames;
    }
    recorder.waitFor(recorder.position() + kRate / 2);

    // Phase 2: a continuous stream through the ring for the given time.
    const std::uint64_t streamFrames = static_cast<std::uint64_t>(seconds) * kRate;
    const std::uint64_t streamBlocks = (streamFrames + kBlockFrames - 1) / kBlockFrames;
    const std::uint64_t streamBase = sequence;
    std::vector<std::uint64_t> streamQueuedAt(streamBlocks);
    for (std::uint64_t k = 0; k < streamBlocks; ++k) {
        Block& block = playBlocks[k % kPlayBlocks];
        while (block.header.isQueued()) {
            playEvent.wait(100);
        }
        const std::uint64_t first = k * kBlockFrames;
        fill(block, streamBase + first,
             static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlockFrames, streamFrames - first)));
        streamQueuedAt[k] = recorder.position();
        player->queue(block.header);
    }
    player->playOut();
    recorder.waitFor(recorder.position() + 2 * kRate);

    // Phase 3: a short last block after silence, each time; where the recording stands when
    // it is done.
    const std::uint64_t lastBase = streamBase + streamFrames;
    std::vector<std::uint64_t> lastQueuedAt, lastDoneAt;
    for (std::uint32_t j = 0; j < kLastBlocks; ++j) {
        recorder.waitFor(recorder.position() + kRate * 3 / 10);
        Block& block = playBlocks[0];
        fill(block, lastBase + static_cast<std::uint64_t>(j) * kLastBlockFrames, kLastBlockFrames);
        lastQueuedAt.push_back(recorder.position());
        player->queue(block.header);
        player->playOut();
        while (!block.header.isDone()) {
            playEvent.wait(1);
        }
        lastDoneAt.push_back(recorder.position());
    }
    recorder.waitFor(recorder.position() + kRate / 2);
    const auto take = recorder.samples();

    std::printf(
        "bench_pulse on %s: %u Hz mono, blocks of %u frames (%.1f ms); %zu frames (%.1f s) recorded\n",
        std::getenv("QPG_AUDIO_SERVER") ? std::getenv("QPG_AUDIO_SERVER") : "pulseaudio", kRate, kBlockFrames,
        framesToMs(kBlockFrames), take.size(), framesToMs(static_cast<std::int64_t>(take.size())) / 1000);
    std::printf("microphone opened and started -> first recorded block (%.1f ms of sound): %.1f ms\n",
                framesToMs(kBlockFrames), firstBlockMs);

    std::vector<double> idleMs;
    std::uint32_t isolatedMissing = 0;
    for (std::uint32_t j = 0; j < kIsolatedBlocks; ++j) {
        const auto at = findBlock(take, isolatedQueuedAt[j], static_cast<std::uint64_t>(j) * kBlockFrames);
        if (at < 0) {
            ++isolatedMissing;
        } else {
            idleMs.push_back(framesToMs(at - static_cast<std::int64_t>(isolatedQueuedAt[j])));
        }
    }
    std::printf("idle speaker: first block %s%.1f ms\n", isolatedMissing ? "(some not found) " : "",
                idleMs.empty() ? -1.0 : idleMs.front());
    printSpread("latency, block queued on an idle speaker -> its first sample recorded", idleMs);

    // Every frame of the stream must follow the first one at its place.
    const auto start = findBlock(take, streamQueuedAt[0], streamBase);
    if (start < 0) {
        std::printf("stream: its first block was not found in the recording (%u record time-outs)\n",
                    recorder.timeouts());
        return 2;
    }
    std::uint64_t lostBlocks = 0, wrongFrames = 0;
    std::int64_t firstWrong = -1;
    std::vector<double> streamMs;
    for (std::uint64_t k = 0; k < streamBlocks; ++k) {
        const std::uint64_t first = k * kBlockFrames;
        const std::uint64_t frames = std::min<std::uint64_t>(kBlockFrames, streamFrames - first);
        bool intact = true;
        for (std::uint64_t i = 0; i < frames; ++i) {
            const auto at = static_cast<std::uint64_t>(start) + first + i;
            if (at >= take.size() || take[at] != sequenceSample(streamBase + first + i)) {
                if (wrongFrames++ == 0) {
                    firstWrong = static_cast<std::int64_t>(first + i);
                }
                intact = false;
            }
        }
        if (intact) {
            streamMs.push_back(framesToMs(start + static_cast<std::int64_t>(first) -
                                          static_cast<std::int64_t>(streamQueuedAt[k])));
        } else {
            ++lostBlocks;
        }
    }
    printSpread("latency while streaming (queued behind up to 3 blocks) -> recorded", streamMs);
    std::printf("stream of %d s: %llu of %llu blocks lost or altered, %llu frames differing", seconds,
                static_cast<unsigned long long>(lostBlocks), static_cast<unsigned long long>(streamBlocks),
                static_cast<unsigned long long>(wrongFrames));
    if (firstWrong >= 0) {
        std::printf(" (first at stream frame %lld)", static_cast<long long>(firstWrong));
    }
    std::printf("; record time-outs %u\n", recorder.timeouts());

    std::vector<double> lateMs;
    std::uint32_t lastMissing = 0;
    for (std::uint32_t j = 0; j < kLastBlocks; ++j) {
        const auto at =
            findBlock(take, lastQueuedAt[j], lastBase + static_cast<std::uint64_t>(j) * kLastBlockFrames);
        if (at < 0) {
            ++lastMissing;
        } else {
            lateMs.push_back(framesToMs(static_cast<std::int64_t>(lastDoneAt[j]) - at - kLastBlockFrames));
        }
    }
    printSpread("end of playback: last sample recorded -> last block done", lateMs);
    if (lastMissing > 0) {
        std::printf("end of playback: %u of %u last blocks never played\n", lastMissing, kLastBlocks);
    }
    const auto played = player->counters();
    const auto recorded = recorder.counters();
    std::printf(
        "device losses: speaker underflows %u (gaps after a play-out excluded); microphone overflows %u, "
        "holes %u, discarded %llu bytes\n",
        played.underflows, recorded.overflows, recorded.holes,
        static_cast<unsigned long long>(recorded.discardedBytes));
    player.reset();
    engineRuns(devices, 5);
    return lostBlocks == 0 && isolatedMissing == 0 && lastMissing == 0 ? 0 : 2;
}
