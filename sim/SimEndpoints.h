#pragma once

#include <string>
#include <vector>

#include "platform/AudioEndpoints.h"

namespace sim {

// An in-memory endpoint service: the endpoints a test or the simulated unit declares, with
// volumes and mute kept as plain values, and failures that can be switched on. The scalar and
// the dB level are one setting: scalar 0.0 is the range's minimum, 1.0 its maximum, linear in
// between. Used from one thread.
class SimEndpoints final : public platform::IAudioEndpoints {
public:
    struct Endpoint {
        std::string id;
        std::string friendlyName;
        float scalar = 1.0f;
        platform::VolumeRangeDb range{-60.0f, 0.0f, 0.5f};
        bool muted = false;
        std::vector<float> ownStreams;  // this program's stream volumes (render endpoints)
    };

    // Appends an endpoint to the active ones of its flow.
    void addEndpoint(platform::EndpointFlow flow, Endpoint endpoint);
    void removeEndpoint(platform::EndpointFlow flow, const std::string& id);
    // The endpoint's current state; null when there is none with that id.
    const Endpoint* endpoint(platform::EndpointFlow flow, const std::string& id) const;

    // Failures: enumerations succeed this many more times, then fail (-1: never fail).
    void failEnumerationsAfter(int successes) { m_enumerationsLeft = successes; }
    // Every volume, range and mute call fails.
    void setFailVolumeCalls(bool fail) { m_failVolumeCalls = fail; }
    // Setting this program's own stream volume fails.
    void setFailOwnStreamVolume(bool fail) { m_failOwnStreamVolume = fail; }

    platform::Result<std::vector<platform::AudioEndpointInfo>> activeEndpoints(
        platform::EndpointFlow flow) override;
    platform::Result<float> volumeScalar(platform::EndpointFlow flow, const std::string& id) override;
    platform::EndpointStatus setVolumeScalar(platform::EndpointFlow flow, const std::string& id,
                                             float scalar) override;
    platform::Result<platform::VolumeRangeDb> volumeRangeDb(platform::EndpointFlow flow,
                                                            const std::string& id) override;
    platform::Result<float> volumeDb(platform::EndpointFlow flow, const std::string& id) override;
    platform::EndpointStatus setVolumeDb(platform::EndpointFlow flow, const std::string& id,
                                         float db) override;
    platform::Result<bool> isMuted(platform::EndpointFlow flow, const std::string& id) override;
    platform::EndpointStatus setMute(platform::EndpointFlow flow, const std::string& id, bool muted) override;
    platform::Result<std::vector<float>> ownStreamVolumes(const std::string& renderId) override;
    platform::EndpointStatus setOwnStreamVolume(const std::string& renderId, float scalar) override;

private:
    std::vector<Endpoint>& list(platform::EndpointFlow flow);
    platform::Result<Endpoint*> find(platform::EndpointFlow flow, const std::string& id);

    std::vector<Endpoint> m_render;
    std::vector<Endpoint> m_capture;
    int m_enumerationsLeft = -1;
    bool m_failVolumeCalls = false;
    bool m_failOwnStreamVolume = false;
};

}  // namespace sim
