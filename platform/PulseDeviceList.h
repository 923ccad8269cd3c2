#pragma once

#include <pulse/channelmap.h>
#include <pulse/volume.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/AudioEndpoints.h"
#include "platform/PulseContext.h"

namespace platform {

// What the endpoint and wave-device backends need of a sink or source, copied out of the
// server's info record.
struct PulseDevice {
    std::uint32_t index = 0;
    std::string name;         // the server's name, used to address the device
    std::string description;  // the name users see
    pa_cvolume volume{};
    bool muted = false;
    pa_channel_map channelMap{};  // the device's own channel layout
    // The volume at which the device neither amplifies nor attenuates, where the server reports
    // a hardware volume in dB; PA_VOLUME_NORM otherwise.
    pa_volume_t unamplified = PA_VOLUME_NORM;
};

// The sinks (Render) or the sources other than sinks' monitors (Capture), in the server's index
// order. A sink's monitor carries what the sink plays and is named after it: it is no
// microphone, and would be taken for one by a search on the unit's name.
Result<std::vector<PulseDevice>> listPulseDevices(PulseContext& pulse, EndpointFlow flow);

// What the server says of itself: its name and its default devices.
struct PulseServerInfo {
    std::string serverName;  // "pulseaudio", "PulseAudio (on PipeWire 0.3.65)", ...
    std::string defaultSink;
    std::string defaultSource;
    bool isPipeWire() const { return serverName.find("PipeWire") != std::string::npos; }
};
Result<PulseServerInfo> pulseServerInfo(PulseContext& pulse);

// One call of a list callback: false at the end of the list (eol > 0) or on its failure
// (eol < 0), having finished the call; true for a record to copy.
bool pulseListStep(pa_context* context, int eol, PulseCall& call);

// Completes a request whose callback reports only success.
void finishOnSuccess(pa_context* context, int success, void* call);

}  // namespace platform
