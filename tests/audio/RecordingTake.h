#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/WaveDevices.h"

namespace testing_audio {

// Records one-channel 16-bit sound from a wave device into one growing take, on a thread of
// its own that requeues each block as it comes back, as the engine's microphone thread does.
class RecordingTake {
public:
    RecordingTake(platform::IWaveDevices& devices, int deviceId, std::uint32_t sampleRateHz,
                  std::uint32_t blockBytes = 1920, int blocks = 8);
    ~RecordingTake();
    RecordingTake(const RecordingTake&) = delete;
    RecordingTake& operator=(const RecordingTake&) = delete;

    // The device's open result; the take runs only after kNoError.
    std::uint32_t openResult() const { return m_openResult; }

    // Frames recorded so far, the block being filled included.
    std::uint64_t position() const;
    // Waits until the take holds the given frames; false when no sound came for 5 s.
    bool waitFor(std::uint64_t frames);
    std::vector<std::int16_t> samples() const;
    // Waits for a recorded block that timed out.
    std::uint32_t timeouts() const { return m_timeouts; }
    // What the device lost of the sound.
    platform::WaveStreamCounters counters() const {
        return m_stream ? m_stream->counters() : platform::WaveStreamCounters{};
    }

private:
    struct Block;
    void run();

    platform::Event m_event;
    std::unique_ptr<platform::IWaveStream> m_stream;
    std::uint32_t m_openResult = platform::wave::kError;
    std::vector<std::unique_ptr<Block>> m_blocks;
    std::atomic<std::size_t> m_next{0};
    std::atomic<std::uint64_t> m_frames{0};
    std::atomic<bool> m_running{true};
    std::atomic<std::uint32_t> m_timeouts{0};
    mutable std::mutex m_mutex;
    std::vector<std::int16_t> m_samples;
    std::thread m_thread;
};

}  // namespace testing_audio
