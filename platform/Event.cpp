#include "platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

// One lock and one condition for all events: waits for any of several events stay simple
// and correct, and the system never has more than a handful of waiters.
std::mutex& eventMutex() {
    static std::mutex m;
    return m;
}

std::condition_variable& eventCondition() {
    static std::condition_variable c;
    return c;
}

}  // namespace

Event::Event(Reset reset, bool initiallySignalled) : m_reset(reset), m_signalled(initiallySignalled) {}

Event::~Event() = default;

void Event::set() {
    {
        std::lock_guard lock(eventMutex());
        m_signalled = true;
    }
    eventCondition().notify_all();
}

void Event::reset() {
    std::lock_guard lock(eventMutex());
    m_signalled = false;
}

bool Event::isSignalled() const {
    std::lock_guard lock(eventMutex());
    return m_signalled;
}

bool Event::tryConsumeLocked() {
    if (!m_signalled) {
        return false;
    }
    if (m_reset == Reset::Auto) {
        m_signalled = false;
    }
    return true;
}

std::uint32_t Event::wait(std::uint32_t timeoutMs) {
    return waitAny({this}, timeoutMs);
}

std::uint32_t Event::waitAny(const std::vector<Event*>& events, std::uint32_t timeoutMs) {
    if (events.empty()) {
        return kWaitFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(eventMutex());
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->tryConsumeLocked()) {
                return kWaitObject0 + static_cast<std::uint32_t>(i);
            }
        }
        if (timeoutMs == kInfinite) {
            eventCondition().wait(lock);
        } else if (eventCondition().wait_until(lock, deadline) == std::cv_status::timeout) {
            for (std::size_t i = 0; i < events.size(); ++i) {
                if (events[i]->tryConsumeLocked()) {
                    return kWaitObject0 + static_cast<std::uint32_t>(i);
                }
            }
            return kWaitTimeout;
        }
    }
}

}  // namespace platform
