#include "platform/PulseDeviceChanges.h"

#include <pulse/pulseaudio.h>

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

PulseDeviceChanges::PulseDeviceChanges(PulseContext::Config config) : m_pulse(std::move(config)) {}

// The connection goes first (no event after it), then the listener.
PulseDeviceChanges::~PulseDeviceChanges() = default;

void PulseDeviceChanges::setListener(Listener listener) {
    const bool listening = static_cast<bool>(listener);
    DeviceChangeNotifier::setListener(std::move(listener));
    if (listening && !m_subscribed) {
        subscribe();
    }
}

void PulseDeviceChanges::subscribe() {
    if (!m_pulse.ensureConnected()) {
        debugOutput("no sound server: its device changes are not followed\n");
        return;
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
        debugOutput(subscribed.error().what + "\n");
        return;
    }
    m_subscribed = true;
}

}  // namespace platform
