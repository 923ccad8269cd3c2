#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/Event.h"
#include "platform/WaveDevices.h"

namespace platform {

// The block bookkeeping every wave backend shares: prepare and unprepare flags, the FIFO of
// queued blocks, and completion (count, done flag, event). Thread-safe: the owning thread
// queues, the backend's thread completes.
class WaveBlockQueue {
public:
    explicit WaveBlockQueue(Event& callbackEvent) : m_event(callbackEvent) {}

    static std::uint32_t prepare(WaveBlockHeader& block);
    static std::uint32_t unprepare(WaveBlockHeader& block);

    // Appends a prepared block and clears its done flag.
    std::uint32_t push(WaveBlockHeader& block);

    // The oldest queued block, or null.
    WaveBlockHeader* front();

    // Completes the oldest queued block with the given byte count (input: recorded bytes).
    void completeFront(std::uint32_t bytesRecorded);

    // Completes every queued block, keeping what each had recorded so far.
    void completeAll();

    bool empty() const;

private:
    static void complete(WaveBlockHeader& block, std::uint32_t bytesRecorded);

    Event& m_event;
    mutable std::mutex m_mutex;
    std::deque<WaveBlockHeader*> m_blocks;
};

}  // namespace platform
