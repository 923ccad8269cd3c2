#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/DeviceChanges.h"
#include "platform/PulseContext.h"

namespace platform {

// The sound server's own device changes: sinks and sources added (kArrival) or removed
// (kRemoveComplete), from a subscription on a connection of its own. A unit's sound devices can
// reach the server well after the kernel's device events (a session manager takes its time),
// and the wizard counts units through the server. A device that only changes (its volume, say)
// is no device change. The listener is called on the connection's mainloop thread, or on the
// thread that keeps the subscription.
//
// The subscription outlives the server: when the server goes away, the connection is made again,
// as every request of the endpoint service makes it, and the subscription with it once the
// server is back. What the server then holds may differ from before, and came before anyone
// could be told: that is one device change (kNodesChanged).
class PulseDeviceChanges final : public DeviceChangeNotifier {
public:
    // retryMs: between attempts to subscribe again while no server answers.
    explicit PulseDeviceChanges(PulseContext::Config config = {}, std::uint32_t retryMs = 500);
    ~PulseDeviceChanges() override;
    PulseDeviceChanges(const PulseDeviceChanges&) = delete;
    PulseDeviceChanges& operator=(const PulseDeviceChanges&) = delete;

    // Subscribes when a listener is set and nothing follows the server yet.
    void setListener(Listener listener) override;

    // Whether the server has accepted the subscription (false without a server).
    bool subscribed() const { return m_subscribed; }

private:
    bool subscribe(bool report);
    void follow();

    PulseContext m_pulse;
    const std::uint32_t m_retryMs;
    std::atomic<bool> m_subscribed{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_lost = false;      // the server dropped the subscription's connection
    bool m_stopping = false;  // the follower ends
    std::thread m_follower;   // keeps the subscription while listeners come and go
};

}  // namespace platform
