#include "platform/WaveBlockQueue.h"

namespace platform {

std::uint32_t WaveBlockQueue::prepare(WaveBlockHeader& block) {
    if (block.data == nullptr && block.bufferLength != 0) {
        return wave::kInvalidParam;
    }
    if (block.isQueued()) {
        return wave::kStillPlaying;
    }
    block.flags.fetch_or(wave::kBlockPrepared, std::memory_order_acq_rel);
    return wave::kNoError;
}

std::uint32_t WaveBlockQueue::unprepare(WaveBlockHeader& block) {
    if (block.isQueued()) {
        return wave::kStillPlaying;
    }
    block.flags.fetch_and(~wave::kBlockPrepared, std::memory_order_acq_rel);
    return wave::kNoError;
}

std::uint32_t WaveBlockQueue::push(WaveBlockHeader& block) {
    if (!block.isPrepared()) {
        return wave::kUnprepared;
    }
    if (block.isQueued()) {
        return wave::kStillPlaying;
    }
    std::lock_guard lock(m_mutex);
    block.bytesRecorded.store(0, std::memory_order_relaxed);
    block.flags.fetch_and(~wave::kBlockDone, std::memory_order_acq_rel);
    block.flags.fetch_or(wave::kBlockInQueue, std::memory_order_acq_rel);
    m_blocks.push_back(&block);
    return wave::kNoError;
}

WaveBlockHeader* WaveBlockQueue::front() {
    std::lock_guard lock(m_mutex);
    return m_blocks.empty() ? nullptr : m_blocks.front();
}

void WaveBlockQueue::complete(WaveBlockHeader& block, std::uint32_t bytesRecorded) {
    block.bytesRecorded.store(bytesRecorded, std::memory_order_relaxed);
    block.flags.fetch_and(~wave::kBlockInQueue, std::memory_order_release);
    block.flags.fetch_or(wave::kBlockDone, std::memory_order_release);
}

void WaveBlockQueue::completeFront(std::uint32_t bytesRecorded) {
    {
        std::lock_guard lock(m_mutex);
        if (m_blocks.empty()) {
            return;
        }
        complete(*m_blocks.front(), bytesRecorded);
        m_blocks.pop_front();
    }
    m_event.set();
}

void WaveBlockQueue::completeAll() {
    bool any = false;
    {
        std::lock_guard lock(m_mutex);
        for (auto* block : m_blocks) {
            complete(*block, block->bytesRecorded.load(std::memory_order_relaxed));
            any = true;
        }
        m_blocks.clear();
    }
    if (any) {
        m_event.set();
    }
}

bool WaveBlockQueue::empty() const {
    std::lock_guard lock(m_mutex);
    return m_blocks.empty();
}

}  // namespace platform
