#include "platform/Thread.h"

namespace platform {

WorkerThread::~WorkerThread() {
    if (m_thread.joinable()) {
        if (isCurrentThread()) {
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }
}

bool WorkerThread::start(std::function<void()> routine) {
    if (isRunning()) {
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_done = std::make_shared<Event>(Event::Reset::Manual, false);
    auto done = m_done;
    m_thread = std::thread([routine = std::move(routine), done] {
        routine();
        done->set();
    });
    return true;
}

bool WorkerThread::join(std::uint32_t timeoutMs) {
    if (!m_thread.joinable()) {
        return true;
    }
    if (isCurrentThread()) {
        return false;
    }
    if (m_done->wait(timeoutMs) != kWaitObject0) {
        return false;
    }
    m_thread.join();
    return true;
}

bool WorkerThread::isRunning() const {
    return m_thread.joinable() && m_done && !m_done->isSignalled();
}

bool WorkerThread::isCurrentThread() const {
    return m_thread.get_id() == std::this_thread::get_id();
}

}  // namespace platform
