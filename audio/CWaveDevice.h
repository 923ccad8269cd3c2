#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/CWaveBuffer.h"
#include "audio/CWaveFormat.h"
#include "platform/Event.h"
#include "platform/WaveDevices.h"

// What the playing and the recording device share: configuration, the block set, the
// callback event and the open stream. Every int result is 1 for success, 0 for failure.
class CWaveDevice {
public:
    CWaveDevice(platform::IWaveDevices& devices, platform::WaveDirection direction);
    virtual ~CWaveDevice() = default;
    CWaveDevice(const CWaveDevice&) = delete;
    CWaveDevice& operator=(const CWaveDevice&) = delete;

    // Copies the format (extra size 0), sets the block size and allocates the blocks
    // (whose failure shows later, when a missing block is prepared or queued); returns 1.
    int SetFormat(const CWaveFormat& format, int blockSize);
    int AllocateBuffers() { return m_buffers.Allocate(m_bufferCount, m_bufferSize); }
    void FreeBuffers() { m_buffers.Free(); }
    CWaveBuffer* GetBuffer(int index) const { return m_buffers.Get(index); }
    int GetBufferCount() const { return m_bufferCount; }

    int PrepareHeader(CWaveBuffer* buffer);
    int Reset();
    void ResetEvent() { m_event.reset(); }

    // Waits for a block to complete; platform::kWaitObject0 or platform::kWaitTimeout.
    std::uint32_t WaitEvent(std::uint32_t timeoutMs) { return m_event.wait(timeoutMs); }
    // The same, ended early (platform::kWaitObject0 + 1) once stop is signalled.
    std::uint32_t WaitEvent(std::uint32_t timeoutMs, platform::Event& stop) {
        return platform::Event::waitAny({&m_event, &stop}, timeoutMs);
    }

    // What the device has lost of its sound since it was opened, also once it is closed again.
    platform::WaveStreamCounters Counters() const {
        return m_stream ? m_stream->counters() : m_closedCounters;
    }

    bool IsOpen() const { return m_open != 0; }

    int m_bufferCount = 10;
    int m_bufferSize = 1024;
    int m_deviceId = platform::wave::kDefaultDevice;
    // The lasting identity of the device chosen by name; when set, the open goes by it.
    std::string m_deviceKey;
    CWaveFormat m_format{1, 11025, 16};

protected:
    // Opens the stream; the platform's result.
    std::uint32_t openStream(const CWaveFormat* format);
    // Closes the stream and clears the open flag; the platform's result.
    std::uint32_t closeStream();
    int queueBlock(CWaveBuffer* buffer);
    std::uint32_t unprepareBlock(CWaveBuffer* buffer);

    platform::IWaveDevices& m_devices;
    platform::WaveDirection m_direction;
    int m_open = 0;
    platform::Event m_event{platform::Event::Reset::Auto, false};
    CWaveBufferSet m_buffers;
    std::unique_ptr<platform::IWaveStream> m_stream;
    platform::WaveStreamCounters m_closedCounters;
};
