#include "tests/audio/RecordingTake.h"

#include <chrono>

namespace testing_audio {

struct RecordingTake::Block {
    explicit Block(std::uint32_t bytes) : data(bytes) {
        header.data = data.data();
        header.bufferLength = bytes;
    }
    std::vector<std::uint8_t> data;
    platform::WaveBlockHeader header;
};

RecordingTake::RecordingTake(platform::IWaveDevices& devices, int deviceId, std::uint32_t sampleRateHz,
                             std::uint32_t blockBytes, int blocks) {
    m_openResult = devices.open(platform::WaveDirection::Input, deviceId,
                                platform::WavePcmFormat{1, sampleRateHz, 16}, m_event, m_stream);
    if (m_openResult != platform::wave::kNoError) {
        return;
    }
    for (int i = 0; i < blocks; ++i) {
        m_blocks.push_back(std::make_unique<Block>(blockBytes));
        m_stream->prepare(m_blocks.back()->header);
        m_stream->queue(m_blocks.back()->header);
    }
    m_stream->start();
    m_thread = std::thread([this] { run(); });
}

RecordingTake::~RecordingTake() {
    m_running = false;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_stream) {
        m_stream->reset();
        m_stream->close();
    }
}

void RecordingTake::run() {
    while (m_running) {
        Block& block = *m_blocks[m_next];
        if (!block.header.isDone()) {
            if (m_event.wait(200) == platform::kWaitTimeout) {
                ++m_timeouts;
            }
            continue;
        }
        const auto* data = reinterpret_cast<const std::int16_t*>(block.data.data());
        const auto count = block.header.bytesRecorded.load() / 2;
        {
            std::lock_guard lock(m_mutex);
            m_samples.insert(m_samples.end(), data, data + count);
        }
        m_frames += count;
        m_stream->queue(block.header);
        m_next = (m_next + 1) % m_blocks.size();
    }
}

std::uint64_t RecordingTake::position() const {
    std::uint64_t frames = m_frames.load();
    const auto& block = *m_blocks[m_next.load()];
    if (block.header.isQueued()) {
        frames += block.header.bytesRecorded.load() / 2;
    }
    return frames;
}

bool RecordingTake::waitFor(std::uint64_t frames) {
    std::uint64_t last = m_frames.load();
    int quiet = 0;
    while (m_frames.load() < frames) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::uint64_t now = m_frames.load();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
        if (quiet > 500) {
            return false;
        }
    }
    return true;
}

std::vector<std::int16_t> RecordingTake::samples() const {
    std::lock_guard lock(m_mutex);
    return m_samples;
}

}  // namespace testing_audio
