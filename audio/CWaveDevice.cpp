#include "audio/CWaveDevice.h"

CWaveDevice::CWaveDevice(platform::IWaveDevices& devices, platform::WaveDirection direction)
    : m_devices(devices), m_direction(direction) {}

int CWaveDevice::SetFormat(const CWaveFormat& format, int blockSize) {
    m_format.CopyFrom(format);
    m_bufferSize = blockSize;
    AllocateBuffers();
    return 1;
}

std::uint32_t CWaveDevice::openStream(const CWaveFormat* format) {
    if (format == nullptr) {
        return platform::wave::kInvalidParam;
    }
    const platform::WavePcmFormat pcm{format->channels, format->samplesPerSec, format->bitsPerSample};
    m_closedCounters = {};
    const auto result = m_devices.open(m_direction, {m_deviceId, m_deviceKey}, pcm, m_event, m_stream);
    if (result == platform::wave::kNoError && m_stream) {
        m_open = 1;
        return result;
    }
    m_stream.reset();
    return result == platform::wave::kNoError ? platform::wave::kError : result;
}

std::uint32_t CWaveDevice::closeStream() {
    std::uint32_t result = platform::wave::kNoError;
    if (m_stream) {
        m_closedCounters = m_stream->counters();
        result = m_stream->close();
        if (result == platform::wave::kStillPlaying) {
            // Never leave blocks with a device that is going away.
            m_stream->reset();
            result = m_stream->close();
        }
        m_stream.reset();
    }
    m_open = 0;
    return result;
}

int CWaveDevice::PrepareHeader(CWaveBuffer* buffer) {
    if (buffer == nullptr || !m_stream) {
        return 0;
    }
    return m_stream->prepare(buffer->Header()) == platform::wave::kNoError ? 1 : 0;
}

std::uint32_t CWaveDevice::unprepareBlock(CWaveBuffer* buffer) {
    if (buffer == nullptr) {
        return platform::wave::kInvalidParam;
    }
    if (!m_stream) {
        // Without a device nothing can still hold the block.
        buffer->Header().flags.fetch_and(~platform::wave::kBlockPrepared);
        return platform::wave::kNoError;
    }
    return m_stream->unprepare(buffer->Header());
}

int CWaveDevice::queueBlock(CWaveBuffer* buffer) {
    if (buffer == nullptr || !m_stream) {
        return 0;
    }
    return m_stream->queue(buffer->Header()) == platform::wave::kNoError ? 1 : 0;
}

int CWaveDevice::Reset() {
    if (!m_stream) {
        return 0;
    }
    return m_stream->reset() == platform::wave::kNoError ? 1 : 0;
}
