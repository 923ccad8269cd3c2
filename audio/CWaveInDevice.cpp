#include "audio/CWaveInDevice.h"

#include "platform/MessageBox.h"

CWaveInDevice::CWaveInDevice(platform::IWaveDevices& devices)
    : CWaveDevice(devices, platform::WaveDirection::Input) {}

CWaveInDevice::~CWaveInDevice() {
    if (m_open != 0) {
        Reset();
    }
    Close();
    FreeBuffers();
}

void CWaveInDevice::SetBufferCount(int count) {
    m_bufferCount = count;
    AllocateBuffers();
}

int CWaveInDevice::Open(const CWaveFormat* format) {
    if (m_open != 0) {
        return 0;
    }
    const auto result = openStream(format);
    if (result != platform::wave::kNoError) {
        platform::showMessageBox("Open Recording Device", platform::wave::openErrorText(result),
                                 platform::mb::kIconError);
        return 0;
    }
    return 1;
}

int CWaveInDevice::Close() {
    if (m_open != 1) {
        return 1;
    }
    bool ok = true;
    for (int i = 0; i < m_buffers.Size(); ++i) {
        if (unprepareBlock(m_buffers.Get(i)) != platform::wave::kNoError) {
            ok = false;
        }
    }
    if (closeStream() != platform::wave::kNoError) {
        ok = false;
    }
    return ok ? 1 : 0;
}

int CWaveInDevice::Start() {
    return m_stream && m_stream->start() == platform::wave::kNoError ? 1 : 0;
}

int CWaveInDevice::Stop() {
    return m_stream && m_stream->stop() == platform::wave::kNoError ? 1 : 0;
}

int CWaveInDevice::QueueBuffers() {
    for (int i = 0; i < m_bufferCount; ++i) {
        CWaveBuffer* buffer = m_buffers.Get(i);
        if (PrepareHeader(buffer) == 0 || AddBuffer(buffer) == 0) {
            return 0;
        }
    }
    return 1;
}
