#include "platform/PulseDeviceList.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace platform {
namespace {

struct DeviceListCall : PulseCall {
    std::vector<PulseDevice> devices;
};

std::string copyText(const char* text) {
    return text ? std::string(text) : std::string();
}

// A hardware volume in dB gives its unamplified level as the base volume.
pa_volume_t unamplifiedVolume(bool hardwareDecibels, pa_volume_t base) {
    return hardwareDecibels && base > PA_VOLUME_MUTED && base <= PA_VOLUME_NORM ? base : PA_VOLUME_NORM;
}

template <typename Info>
PulseDevice deviceOf(const Info& info, bool hardwareDecibels) {
    return {info.index,
            copyText(info.name),
            copyText(info.description),
            info.volume,
            info.mute != 0,
            info.channel_map,
            unamplifiedVolume(hardwareDecibels, info.base_volume)};
}

void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
    auto& call = *static_cast<DeviceListCall*>(userdata);
    if (pulseListStep(context, eol, call) && info) {
        call.devices.push_back(deviceOf(*info, (info->flags & PA_SINK_HW_VOLUME_CTRL) != 0 &&
                                                   (info->flags & PA_SINK_DECIBEL_VOLUME) != 0));
    }
}

void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
    auto& call = *static_cast<DeviceListCall*>(userdata);
    if (pulseListStep(context, eol, call) && info && info->monitor_of_sink == PA_INVALID_INDEX) {
        call.devices.push_back(deviceOf(*info, (info->flags & PA_SOURCE_HW_VOLUME_CTRL) != 0 &&
                                                   (info->flags & PA_SOURCE_DECIBEL_VOLUME) != 0));
    }
}

struct ServerInfoCall : PulseCall {
    PulseServerInfo info;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto& call = *static_cast<ServerInfoCall*>(userdata);
    if (info) {
        call.info = {copyText(info->server_name), copyText(info->default_sink_name),
                     copyText(info->default_source_name)};
    }
    call.finish(info != nullptr, info ? std::string() : "no server information");
}

}  // namespace

bool pulseListStep(pa_context* context, int eol, PulseCall& call) {
    if (eol < 0) {
        call.finish(false, pa_strerror(pa_context_errno(context)));
        return false;
    }
    if (eol > 0) {
        call.finish(true);
        return false;
    }
    return true;
}

void finishOnSuccess(pa_context* context, int success, void* call) {
    static_cast<PulseCall*>(call)->finish(success != 0,
                                          success ? std::string() : pa_strerror(pa_context_errno(context)));
}

Result<PulseServerInfo> pulseServerInfo(PulseContext& pulse) {
    ServerInfoCall call;
    auto done = pulse.request(call, "pa_context_get_server_info", [&](pa_context* context) {
        return pa_context_get_server_info(context, onServerInfo, &call);
    });
    if (!done) {
        return done.error();
    }
    return call.info;
}

Result<std::vector<PulseDevice>> listPulseDevices(PulseContext& pulse, EndpointFlow flow) {
    DeviceListCall call;
    const bool render = flow == EndpointFlow::Render;
    auto done =
        pulse.request(call, render ? "pa_context_get_sink_info_list" : "pa_context_get_source_info_list",
                      [&](pa_context* context) {
                          return render ? pa_context_get_sink_info_list(context, onSinkInfo, &call)
                                        : pa_context_get_source_info_list(context, onSourceInfo, &call);
                      });
    if (!done) {
        return done.error();
    }
    std::sort(call.devices.begin(), call.devices.end(),
              [](const PulseDevice& a, const PulseDevice& b) { return a.index < b.index; });
    return std::move(call.devices);
}

}  // namespace platform
