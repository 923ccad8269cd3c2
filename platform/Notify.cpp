#include "platform/Notify.h"

#include <chrono>

namespace platform {

void NotifyQueue::post(NotifyMessage message) {
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(std::move(message));
    }
    m_posted.notify_all();
}

std::optional<NotifyMessage> NotifyQueue::take(std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    if (!m_posted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !m_messages.empty(); })) {
        return std::nullopt;
    }
    NotifyMessage message = std::move(m_messages.front());
    m_messages.pop_front();
    return message;
}

std::size_t NotifyQueue::size() const {
    std::lock_guard lock(m_mutex);
    return m_messages.size();
}

}  // namespace platform
