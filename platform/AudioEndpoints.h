#pragma once

#include <string>
#include <variant>
#include <vector>

#include "platform/Result.h"

namespace platform {

// The audio endpoint service: the machine's active playback (render) and recording (capture)
// endpoints with the names users see, and their volumes and mute. A real backend (PulseAudio)
// and an in-memory one (sim/) implement it. All calls come from one thread, the caller's.

enum class EndpointFlow { Render, Capture };

// One active endpoint: the backend's stable identifier and the friendly name shown to users.
struct AudioEndpointInfo {
    std::string id;
    std::string friendlyName;
};

// The range an endpoint's volume can be set to in dB (stepDb is informative only).
struct VolumeRangeDb {
    float minDb = 0.0f;
    float maxDb = 0.0f;
    float stepDb = 0.0f;
};

// The result of a call that produces no value.
using EndpointStatus = Result<std::monostate>;

class IAudioEndpoints {
public:
    virtual ~IAudioEndpoints() = default;

    // The active endpoints of a flow in a stable order: the order changes only when the set does.
    virtual Result<std::vector<AudioEndpointInfo>> activeEndpoints(EndpointFlow flow) = 0;

    // The endpoint's master volume as a scalar from 0.0 (silent) to 1.0 (full).
    virtual Result<float> volumeScalar(EndpointFlow flow, const std::string& id) = 0;
    // Fails for a scalar outside 0.0-1.0.
    virtual EndpointStatus setVolumeScalar(EndpointFlow flow, const std::string& id, float scalar) = 0;

    virtual Result<VolumeRangeDb> volumeRangeDb(EndpointFlow flow, const std::string& id) = 0;
    virtual Result<float> volumeDb(EndpointFlow flow, const std::string& id) = 0;
    // Fails for a level outside the endpoint's range.
    virtual EndpointStatus setVolumeDb(EndpointFlow flow, const std::string& id, float db) = 0;

    virtual Result<bool> isMuted(EndpointFlow flow, const std::string& id) = 0;
    virtual EndpointStatus setMute(EndpointFlow flow, const std::string& id, bool muted) = 0;

    // This program's own playback volume on a render endpoint: the scalars of its streams playing
    // there now (none when it plays nothing there), and setting them all. Streams the program
    // opens later start at full volume.
    virtual Result<std::vector<float>> ownStreamVolumes(const std::string& renderId) = 0;
    virtual EndpointStatus setOwnStreamVolume(const std::string& renderId, float scalar) = 0;
};

}  // namespace platform
