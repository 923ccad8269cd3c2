#include "platform/PulseDeviceChanges.h"

#include <pulse/pulseaudio.h>

#include <chrono>

#include "platform/PulseDeviceList.h"
#include "platform/System.h"

namespace platform {
namespace {

constexpr auto kDeviceMask =
    static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);

void onServerEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) {
        return;
    }
    switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
        case PA_SUBSCRIPTION_EVENT_NEW:
            static_cast<PulseDeviceChanges*>(userdata)->raise(devchange::kArrival);
            break;
        case PA_SUBSCRIPTION_EVENT_REMOVE:
            static_cast<PulseDeviceChanges*>(userdata)->raise(devchange::kRemoveComplete);
            break;
        default:
            break;
    }
}

}  // namespace

PulseDeviceChanges::PulseDeviceChanges(PulseContext::Config config, std::uint32_t retryMs)
    : m_pulse(std::move(config)), m_retryMs(retryMs) {
    m_pulse.setLostHandler([this] {
        {
            std::lock_guard lock(m_mutex);
            m_lost = true;
        }
        m_wake.notify_all();
    });
}

// The follower and the lost connection's calls end first, then the connection (no event after
// it), then the listener.
PulseDeviceChanges::~PulseDeviceChanges() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_follower.joinable()) {
        m_follower.join();
    }
    m_pulse.setLostHandler({});
}

void PulseDeviceChanges::setListener(Listener listener) {
    const bool listening = static_cast<bool>(listener);
    DeviceChangeNotifier::setListener(std::move(listener));
    if (listening && !m_follower.joinable()) {
        // At once, so that the changes from here on reach the listener.
        subscribe(true);
        m_follower = std::thread([this] { follow(); });
    }
}

bool PulseDeviceChanges::subscribe(bool report) {
    if (!m_pulse.ensureConnected()) {
        if (report) {
            debugOutput("no sound server: its device changes are followed once it answers\n");
        }
        return false;
    }
    {
        PulseLock lock(m_pulse.mainloop());
        pa_context_set_subscribe_callback(m_pulse.context(), onServerEvent, this);
    }
    PulseCall call;
    auto subscribed = m_pulse.request(call, "pa_context_subscribe", [&call](pa_context* context) {
        return pa_context_subscribe(context, kDeviceMask, finishOnSuccess, &call);
    });
    if (!subscribed) {
        if (report) {
            debugOutput(subscribed.error().what + "\n");
        }
        return false;
    }
    m_subscribed = true;
    return true;
}

// Keeps the subscription: once the connection is lost, connects and subscribes again every
// m_retryMs until the server answers or this object goes.
void PulseDeviceChanges::follow() {
    std::unique_lock lock(m_mutex);
    bool reported = true;  // the server's absence, once per absence (the first one by setListener)
    while (!m_stopping) {
        if (m_lost) {
            m_lost = false;
            m_subscribed = false;
            reported = false;
        } else if (!m_subscribed) {
            lock.unlock();
            const bool now = subscribe(!reported);
            reported = true;
            if (now) {
                debugOutput("the sound server answers again: its device changes are followed\n");
                raise(devchange::kNodesChanged);
            }
            lock.lock();
            if (!now) {
                m_wake.wait_for(lock, std::chrono::milliseconds(m_retryMs), [this] { return m_stopping; });
            }
        } else {
            m_wake.wait(lock, [this] { return m_stopping || m_lost; });
        }
    }
}

}  // namespace platform
