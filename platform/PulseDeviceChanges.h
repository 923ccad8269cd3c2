#pragma once

#include "platform/DeviceChanges.h"
#include "platform/PulseContext.h"

namespace platform {

// The sound server's own device changes: sinks and sources added (kArrival) or removed
// (kRemoveComplete), from a subscription on a connection of its own. A unit's sound devices can
// reach the server well after the kernel's device events (a session manager takes its time),
// and the wizard counts units through the server. A device that only changes (its volume, say)
// is no device change. The listener is called on the connection's mainloop thread.
class PulseDeviceChanges final : public DeviceChangeNotifier {
public:
    explicit PulseDeviceChanges(PulseContext::Config config = {});
    ~PulseDeviceChanges() override;
    PulseDeviceChanges(const PulseDeviceChanges&) = delete;
    PulseDeviceChanges& operator=(const PulseDeviceChanges&) = delete;

    // Subscribes when a listener is set and no subscription is in place yet.
    void setListener(Listener listener) override;

    // Whether the server has accepted the subscription (false without a server).
    bool subscribed() const { return m_subscribed; }

private:
    void subscribe();

    PulseContext m_pulse;
    bool m_subscribed = false;
};

}  // namespace platform
