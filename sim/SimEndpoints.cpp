#include "sim/SimEndpoints.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace sim {

using platform::EndpointFlow;
using platform::EndpointStatus;
using platform::PlatformError;
using platform::Result;

namespace {

// The value as printf's "%f" writes it in the "C" locale, whatever the session's locale.
PlatformError outOfRange(const std::string& what, float value) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return PlatformError{EINVAL, what + ": " + std::string(text, written.ptr) + " is out of range"};
}

}  // namespace

std::vector<SimEndpoints::Endpoint>& SimEndpoints::list(EndpointFlow flow) {
    return flow == EndpointFlow::Render ? m_render : m_capture;
}

void SimEndpoints::addEndpoint(EndpointFlow flow, Endpoint endpoint) {
    list(flow).push_back(std::move(endpoint));
}

void SimEndpoints::removeEndpoint(EndpointFlow flow, const std::string& id) {
    auto& endpoints = list(flow);
    std::erase_if(endpoints, [&](const Endpoint& e) { return e.id == id; });
}

const SimEndpoints::Endpoint* SimEndpoints::endpoint(EndpointFlow flow, const std::string& id) const {
    const auto& endpoints = flow == EndpointFlow::Render ? m_render : m_capture;
    auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const Endpoint& e) { return e.id == id; });
    return it == endpoints.end() ? nullptr : &*it;
}

Result<SimEndpoints::Endpoint*> SimEndpoints::find(EndpointFlow flow, const std::string& id) {
    if (m_failVolumeCalls) {
        return PlatformError{EIO, "simulated endpoint " + id + ": volume call failed"};
    }
    auto& endpoints = list(flow);
    auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const Endpoint& e) { return e.id == id; });
    if (it == endpoints.end()) {
        return PlatformError{ENOENT, "simulated endpoint " + id + ": no such active endpoint"};
    }
    return &*it;
}

Result<std::vector<platform::AudioEndpointInfo>> SimEndpoints::activeEndpoints(EndpointFlow flow) {
    if (m_enumerationsLeft == 0) {
        return PlatformError{EIO, "simulated endpoints: enumeration failed"};
    }
    if (m_enumerationsLeft > 0) {
        --m_enumerationsLeft;
    }
    std::vector<platform::AudioEndpointInfo> infos;
    for (const auto& endpoint : list(flow)) {
        infos.push_back({endpoint.id, endpoint.friendlyName});
    }
    return infos;
}

Result<float> SimEndpoints::volumeScalar(EndpointFlow flow, const std::string& id) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    return endpoint.value()->scalar;
}

EndpointStatus SimEndpoints::setVolumeScalar(EndpointFlow flow, const std::string& id, float scalar) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    if (!(scalar >= 0.0f && scalar <= 1.0f)) {
        return outOfRange("volume scalar of " + id, scalar);
    }
    endpoint.value()->scalar = scalar;
    return std::monostate{};
}

Result<platform::VolumeRangeDb> SimEndpoints::volumeRangeDb(EndpointFlow flow, const std::string& id) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    return endpoint.value()->range;
}

Result<float> SimEndpoints::volumeDb(EndpointFlow flow, const std::string& id) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    const auto& range = endpoint.value()->range;
    return range.minDb + endpoint.value()->scalar * (range.maxDb - range.minDb);
}

EndpointStatus SimEndpoints::setVolumeDb(EndpointFlow flow, const std::string& id, float db) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    const auto& range = endpoint.value()->range;
    if (!(db >= range.minDb && db <= range.maxDb) || range.maxDb <= range.minDb) {
        return outOfRange("volume in dB of " + id, db);
    }
    endpoint.value()->scalar = (db - range.minDb) / (range.maxDb - range.minDb);
    return std::monostate{};
}

Result<bool> SimEndpoints::isMuted(EndpointFlow flow, const std::string& id) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    return endpoint.value()->muted;
}

EndpointStatus SimEndpoints::setMute(EndpointFlow flow, const std::string& id, bool muted) {
    auto endpoint = find(flow, id);
    if (!endpoint) {
        return endpoint.error();
    }
    endpoint.value()->muted = muted;
    return std::monostate{};
}

Result<std::vector<float>> SimEndpoints::ownStreamVolumes(const std::string& renderId) {
    auto endpoint = find(EndpointFlow::Render, renderId);
    if (!endpoint) {
        return endpoint.error();
    }
    return endpoint.value()->ownStreams;
}

EndpointStatus SimEndpoints::setOwnStreamVolume(const std::string& renderId, float scalar) {
    auto endpoint = find(EndpointFlow::Render, renderId);
    if (!endpoint) {
        return endpoint.error();
    }
    if (m_failOwnStreamVolume) {
        return PlatformError{EIO, "simulated endpoint " + renderId + ": own stream volume failed"};
    }
    if (!(scalar >= 0.0f && scalar <= 1.0f)) {
        return outOfRange("stream volume on " + renderId, scalar);
    }
    for (auto& volume : endpoint.value()->ownStreams) {
        volume = scalar;
    }
    return std::monostate{};
}

}  // namespace sim
