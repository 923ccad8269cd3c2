#pragma once

#include <cstdint>
#include <memory>

#include "platform/WaveDevices.h"

// One audio block: a header the wave devices queue and complete, and the data it owns.
class CWaveBuffer {
public:
    // Allocates size zeroed bytes; throws std::bad_alloc when memory is short.
    explicit CWaveBuffer(std::uint32_t size);
    CWaveBuffer(const CWaveBuffer&) = delete;
    CWaveBuffer& operator=(const CWaveBuffer&) = delete;

    bool IsDone() const { return m_header.isDone(); }
    std::uint8_t* GetData() { return m_data.get(); }
    const std::uint8_t* GetData() const { return m_data.get(); }
    void SetLength(std::uint32_t length) { m_header.bufferLength = length; }
    std::uint32_t GetLength() const { return m_header.bufferLength; }
    std::uint32_t GetBytesRecorded() const { return m_header.bytesRecorded.load(std::memory_order_acquire); }
    std::uint32_t GetCapacity() const { return m_capacity; }

    platform::WaveBlockHeader& Header() { return m_header; }

private:
    std::uint32_t m_capacity;
    std::unique_ptr<std::uint8_t[]> m_data;
    platform::WaveBlockHeader m_header;
};

// The numbered set of blocks of one size that a wave device owns.
class CWaveBufferSet {
public:
    // Frees the set, then makes count blocks of size bytes in order; 0 as soon as one cannot
    // be made (the later entries stay null), else 1. A count below 1 gives an empty set.
    int Allocate(int count, int size);
    void Free() { m_buffers.clear(); }

    // The block at the index, or null when there is none.
    CWaveBuffer* Get(int index) const;
    int Size() const { return static_cast<int>(m_buffers.size()); }

private:
    std::vector<std::unique_ptr<CWaveBuffer>> m_buffers;
};
