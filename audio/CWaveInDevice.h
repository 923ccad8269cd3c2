#pragma once

#include "audio/CWaveDevice.h"

// A recording device: all blocks are queued, then taken back in ring order as they are done.
class CWaveInDevice : public CWaveDevice {
public:
    explicit CWaveInDevice(platform::IWaveDevices& devices);
    ~CWaveInDevice() override;

    // Sets the count and allocates at once.
    void SetBufferCount(int count);

    // 0 when already open; when the device cannot be opened, shows the "Open Recording
    // Device" box and returns 0.
    int Open(const CWaveFormat* format);
    // 1 at once when not open; otherwise unprepares every block and closes; 1 only when
    // everything succeeded. The device is closed afterwards in any case.
    int Close();

    int Start();
    int Stop();
    int UnprepareHeader(CWaveBuffer* buffer) {
        return unprepareBlock(buffer) == platform::wave::kNoError ? 1 : 0;
    }
    int AddBuffer(CWaveBuffer* buffer) { return queueBlock(buffer); }

    // Prepares and queues every block in order; 0 at the first failure.
    int QueueBuffers();
};
