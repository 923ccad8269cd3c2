#include "audio/CWaveOutDevice.h"

#include "platform/System.h"

CWaveOutDevice::CWaveOutDevice(platform::IWaveDevices& devices)
    : CWaveDevice(devices, platform::WaveDirection::Output) {}

CWaveOutDevice::~CWaveOutDevice() {
    // Blocks still queued would be freed under the device: take them back first.
    if (m_open != 0) {
        Reset();
    }
    Close();
    FreeBuffers();
}

int CWaveOutDevice::Open(const CWaveFormat* format) {
    if (m_open != 0) {
        return 0;
    }
    return openStream(format) == platform::wave::kNoError ? 1 : 0;
}

void CWaveOutDevice::Close() {
    for (int i = 0; i < m_buffers.Size(); ++i) {
        CWaveBuffer* buffer = m_buffers.Get(i);
        if (buffer != nullptr && buffer->Header().isPrepared()) {
            unprepareBlock(buffer);
        }
    }
    if (m_open == 1) {
        closeStream();
    }
}

int CWaveOutDevice::UnprepareHeader(CWaveBuffer* buffer) {
    if (buffer == nullptr) {
        return 0;
    }
    if (!buffer->Header().isPrepared()) {
        return 1;
    }
    return unprepareBlock(buffer) == platform::wave::kNoError ? 1 : 0;
}

int CWaveOutDevice::WaitDone(const CWaveBuffer* buffer, std::uint32_t timeoutMs) {
    if (buffer == nullptr) {
        return 0;
    }
    const auto start = platform::tickCountMs();
    while (!buffer->IsDone()) {
        if (platform::tickCountMs() - start >= timeoutMs) {
            return 0;
        }
        platform::sleepMs(1);
    }
    return 1;
}
