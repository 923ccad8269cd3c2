#include "platform/PulseEndpoints.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>

#include "platform/PulseDeviceList.h"

namespace platform {
namespace {

// One of this process's playback streams.
struct OwnStream {
    std::uint32_t index = PA_INVALID_INDEX;
    pa_cvolume volume{};
};

struct OwnStreamListCall : PulseCall {
    std::uint32_t sinkIndex = PA_INVALID_INDEX;
    std::string processId;
    std::vector<OwnStream> streams;
};

void onSinkInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* userdata) {
    auto& call = *static_cast<OwnStreamListCall*>(userdata);
    if (!pulseListStep(context, eol, call) || !info || info->sink != call.sinkIndex) {
        return;
    }
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (pid && call.processId == pid) {
        call.streams.push_back({info->index, info->volume});
    }
}

const char* flowWord(EndpointFlow flow) {
    return flow == EndpointFlow::Render ? "sink" : "source";
}

Result<PulseDevice> findDevice(PulseContext& pulse, EndpointFlow flow, const std::string& id) {
    auto devices = listPulseDevices(pulse, flow);
    if (!devices) {
        return devices.error();
    }
    for (const auto& device : devices.value()) {
        if (device.name == id) {
            return device;
        }
    }
    return PlatformError{ENOENT, std::string(flowWord(flow)) + " " + id + ": no such active endpoint"};
}

// The device's level in dB above its unamplified level.
double gainDb(const PulseDevice& device, pa_volume_t level) {
    return pa_sw_volume_to_dB(level) - pa_sw_volume_to_dB(device.unamplified);
}

pa_volume_t volumeOfGain(const PulseDevice& device, double db) {
    const pa_volume_t level = pa_sw_volume_from_dB(db + pa_sw_volume_to_dB(device.unamplified));
    return std::min<pa_volume_t>(level, PA_VOLUME_MAX);
}

VolumeRangeDb rangeOf(const PulseDevice& device) {
    // What the device can add at the server's normal volume: 0 dB unless a hardware mixer in dB
    // reports a gain above its unamplified level.
    const auto hardwareTop = static_cast<float>(gainDb(device, PA_VOLUME_NORM));
    // One step of the scalar scale near normal volume, in dB.
    const float stepDb = static_cast<float>(-pa_sw_volume_to_dB(PA_VOLUME_NORM - PA_VOLUME_NORM / 100));
    return {PulseEndpoints::kMinVolumeDb, std::max(PulseEndpoints::kMaxSoftwareGainDb, hardwareTop), stepDb};
}

float scalarOf(const pa_cvolume& volume) {
    const double scalar = static_cast<double>(pa_cvolume_max(&volume)) / PA_VOLUME_NORM;
    return static_cast<float>(std::min(scalar, 1.0));
}

pa_volume_t volumeOfScalar(float scalar) {
    return static_cast<pa_volume_t>(std::lround(static_cast<double>(scalar) * PA_VOLUME_NORM));
}

// The value as printf's "%f" writes it in the "C" locale, whatever the session's locale.
PlatformError outOfRange(const std::string& what, float value) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return PlatformError{EINVAL, what + ": " + std::string(text, written.ptr) + " is out of range"};
}

// Sets every channel of a device to one volume.
EndpointStatus setDeviceVolume(PulseContext& pulse, EndpointFlow flow, const PulseDevice& device,
                               pa_volume_t level) {
    const std::string& id = device.name;
    pa_cvolume volume;
    pa_cvolume_set(&volume, device.volume.channels, level);
    PulseCall call;
    const bool render = flow == EndpointFlow::Render;
    return pulse.request(
        call, render ? "pa_context_set_sink_volume_by_name" : "pa_context_set_source_volume_by_name",
        [&](pa_context* context) {
            return render ? pa_context_set_sink_volume_by_name(context, id.c_str(), &volume, finishOnSuccess,
                                                               &call)
                          : pa_context_set_source_volume_by_name(context, id.c_str(), &volume,
                                                                 finishOnSuccess, &call);
        });
}

Result<std::vector<OwnStream>> ownStreamsOn(PulseContext& pulse, const std::string& renderId) {
    auto sink = findDevice(pulse, EndpointFlow::Render, renderId);
    if (!sink) {
        return sink.error();
    }
    OwnStreamListCall call;
    call.sinkIndex = sink.value().index;
    call.processId = std::to_string(::getpid());
    auto done = pulse.request(call, "pa_context_get_sink_input_info_list", [&](pa_context* context) {
        return pa_context_get_sink_input_info_list(context, onSinkInputInfo, &call);
    });
    if (!done) {
        return done.error();
    }
    return std::move(call.streams);
}

}  // namespace

PulseEndpoints::PulseEndpoints(PulseContext::Config config) : m_pulse(std::move(config)) {}

Result<std::vector<AudioEndpointInfo>> PulseEndpoints::activeEndpoints(EndpointFlow flow) {
    auto devices = listPulseDevices(m_pulse, flow);
    if (!devices) {
        return devices.error();
    }
    std::vector<AudioEndpointInfo> endpoints;
    for (const auto& device : devices.value()) {
        endpoints.push_back({device.name, device.description});
    }
    return endpoints;
}

Result<float> PulseEndpoints::volumeScalar(EndpointFlow flow, const std::string& id) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    if (flow == EndpointFlow::Render) {
        return scalarOf(device.value().volume);
    }
    const VolumeRangeDb range = rangeOf(device.value());
    const pa_volume_t level = pa_cvolume_max(&device.value().volume);
    if (level == PA_VOLUME_MUTED) {
        return 0.0f;
    }
    const double position = (gainDb(device.value(), level) - range.minDb) / (range.maxDb - range.minDb);
    return static_cast<float>(std::clamp(position, 0.0, 1.0));
}

EndpointStatus PulseEndpoints::setVolumeScalar(EndpointFlow flow, const std::string& id, float scalar) {
    if (!(scalar >= 0.0f && scalar <= 1.0f)) {
        return outOfRange("volume scalar of " + id, scalar);
    }
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    if (flow == EndpointFlow::Render) {
        return setDeviceVolume(m_pulse, flow, device.value(), volumeOfScalar(scalar));
    }
    const VolumeRangeDb range = rangeOf(device.value());
    return setDeviceVolume(m_pulse, flow, device.value(),
                           volumeOfGain(device.value(), range.minDb + scalar * (range.maxDb - range.minDb)));
}

Result<VolumeRangeDb> PulseEndpoints::volumeRangeDb(EndpointFlow flow, const std::string& id) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    return rangeOf(device.value());
}

Result<float> PulseEndpoints::volumeDb(EndpointFlow flow, const std::string& id) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    const pa_volume_t level = pa_cvolume_max(&device.value().volume);
    if (level == PA_VOLUME_MUTED) {
        return kMinVolumeDb;  // silence is below every level the range can set
    }
    return static_cast<float>(gainDb(device.value(), level));
}

EndpointStatus PulseEndpoints::setVolumeDb(EndpointFlow flow, const std::string& id, float db) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    const VolumeRangeDb range = rangeOf(device.value());
    if (!(db >= range.minDb && db <= range.maxDb)) {
        return outOfRange("volume in dB of " + id, db);
    }
    return setDeviceVolume(m_pulse, flow, device.value(), volumeOfGain(device.value(), db));
}

Result<bool> PulseEndpoints::isMuted(EndpointFlow flow, const std::string& id) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    return device.value().muted;
}

EndpointStatus PulseEndpoints::setMute(EndpointFlow flow, const std::string& id, bool muted) {
    auto device = findDevice(m_pulse, flow, id);
    if (!device) {
        return device.error();
    }
    PulseCall call;
    const bool render = flow == EndpointFlow::Render;
    return m_pulse.request(
        call, render ? "pa_context_set_sink_mute_by_name" : "pa_context_set_source_mute_by_name",
        [&](pa_context* context) {
            return render
                       ? pa_context_set_sink_mute_by_name(context, id.c_str(), muted, finishOnSuccess, &call)
                       : pa_context_set_source_mute_by_name(context, id.c_str(), muted, finishOnSuccess,
                                                            &call);
        });
}

Result<std::vector<float>> PulseEndpoints::ownStreamVolumes(const std::string& renderId) {
    auto streams = ownStreamsOn(m_pulse, renderId);
    if (!streams) {
        return streams.error();
    }
    std::vector<float> volumes;
    for (const auto& stream : streams.value()) {
        volumes.push_back(scalarOf(stream.volume));
    }
    return volumes;
}

EndpointStatus PulseEndpoints::setOwnStreamVolume(const std::string& renderId, float scalar) {
    if (!(scalar >= 0.0f && scalar <= 1.0f)) {
        return outOfRange("stream volume on " + renderId, scalar);
    }
    auto streams = ownStreamsOn(m_pulse, renderId);
    if (!streams) {
        return streams.error();
    }
    for (const auto& stream : streams.value()) {
        pa_cvolume volume;
        pa_cvolume_set(&volume, stream.volume.channels, volumeOfScalar(scalar));
        PulseCall call;
        auto done = m_pulse.request(call, "pa_context_set_sink_input_volume", [&](pa_context* context) {
            return pa_context_set_sink_input_volume(context, stream.index, &volume, finishOnSuccess, &call);
        });
        if (!done) {
            return done.error();
        }
    }
    return std::monostate{};
}

}  // namespace platform
