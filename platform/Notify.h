#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

// A message posted to a receiver, with the numbers and parameters of a window message and an
// optional payload that stays alive until the receiver drops the message.
struct NotifyMessage {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::shared_ptr<const void> payload;
};

// Where a worker posts messages. Posting never blocks for long; the receiver handles the
// messages in posting order on its own thread (the dialog hands them to its event loop).
class INotifyTarget {
public:
    virtual ~INotifyTarget() = default;
    virtual void post(NotifyMessage message) = 0;
};

// A plain FIFO of posted messages for receivers that poll (tests, programs without a GUI).
class NotifyQueue : public INotifyTarget {
public:
    void post(NotifyMessage message) override;

    // The oldest message, waiting up to timeoutMs; nothing after the time-out.
    std::optional<NotifyMessage> take(std::uint32_t timeoutMs);

    std::size_t size() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<NotifyMessage> m_messages;
};

}  // namespace platform
