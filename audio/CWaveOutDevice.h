#pragma once

#include "audio/CWaveDevice.h"

// A playing device: blocks are filled by the caller, prepared and written in ring order.
class CWaveOutDevice : public CWaveDevice {
public:
    explicit CWaveOutDevice(platform::IWaveDevices& devices);
    ~CWaveOutDevice() override;

    // Takes effect at the next allocation.
    void SetBufferCount(int count) { m_bufferCount = count; }

    // 0 when already open or when the device cannot be opened (the caller reports it).
    int Open(const CWaveFormat* format);
    // Unprepares the prepared blocks and closes the device; results are ignored.
    void Close();

    // 1 at once for a block never prepared; 0 while the block is still playing.
    int UnprepareHeader(CWaveBuffer* buffer);
    int Write(CWaveBuffer* buffer) { return queueBlock(buffer); }
    // No block follows for now: the device plays all that is queued; 1 or 0.
    int PlayOut() { return m_stream && m_stream->playOut() == platform::wave::kNoError ? 1 : 0; }

    // Waits until the block has been played, testing every 1 ms, at most timeoutMs; 1 when
    // done, 0 after the time-out.
    static int WaitDone(const CWaveBuffer* buffer, std::uint32_t timeoutMs);
};
