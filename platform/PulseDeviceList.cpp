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

void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
    auto& call = *static_cast<DeviceListCall*>(userdata);
    if (pulseListStep(context, eol, call) && info) {
        call.devices.push_back(
            {info->index, copyText(info->name), copyText(info->description), info->volume, info->mute != 0});
    }
}

void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
    auto& call = *static_cast<DeviceListCall*>(userdata);
    if (pulseListStep(context, eol, call) && info && info->monitor_of_sink == PA_INVALID_INDEX) {
        call.devices.push_back(
            {info->index, copyText(info->name), copyText(info->description), info->volume, info->mute != 0});
    }
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
