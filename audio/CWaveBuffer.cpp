#include "audio/CWaveBuffer.h"

#include <new>

CWaveBuffer::CWaveBuffer(std::uint32_t size)
    : m_capacity(size), m_data(new std::uint8_t[size == 0 ? 1 : size]()) {
    m_header.data = m_data.get();
    m_header.bufferLength = size;
}

int CWaveBufferSet::Allocate(int count, int size) {
    Free();
    if (count < 1) {
        return 1;
    }
    try {
        m_buffers.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (auto& buffer : m_buffers) {
        try {
            buffer = std::make_unique<CWaveBuffer>(static_cast<std::uint32_t>(size < 0 ? 0 : size));
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    return 1;
}

CWaveBuffer* CWaveBufferSet::Get(int index) const {
    if (index < 0 || index >= Size()) {
        return nullptr;
    }
    return m_buffers[static_cast<std::size_t>(index)].get();
}
