#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/Event.h"

namespace platform {

// A worker thread that can be waited for with a time-out. The routine runs once; join()
// waits up to the time-out and reports whether the routine has ended. A thread still running
// at destruction is joined without limit (the owner must have told it to stop).
class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the routine; false when a routine of this object still runs.
    bool start(std::function<void()> routine);

    // Waits up to timeoutMs (kInfinite for no limit) for the routine to end; true once ended.
    bool join(std::uint32_t timeoutMs);

    bool isRunning() const;

    // True when called from the routine itself (a thread must never join itself).
    bool isCurrentThread() const;

private:
    std::thread m_thread;
    std::shared_ptr<Event> m_done;
};

}  // namespace platform
