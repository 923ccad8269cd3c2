#pragma once

#include "platform/AudioEndpoints.h"
#include "platform/PulseContext.h"

namespace platform {

// The endpoint service on a PulseAudio server (PipeWire's pulse server too): sinks are the
// render endpoints, sources the capture endpoints (monitors of sinks left out: they are no
// microphones), the friendly name is the device description and the id the device name. The
// order is the server's index order.
//
// Volumes: the scalar maps 0.0-1.0 linearly onto the server's volume from muted to normal
// (100 %, what its mixers show); the dB scale is the server's software dB over the range
// kMinVolumeDb (-60 dB) to 0 dB (normal). The program's own volume is that of its streams
// (sink inputs of this process) on the sink.
class PulseEndpoints final : public IAudioEndpoints {
public:
    static constexpr float kMinVolumeDb = -60.0f;

    explicit PulseEndpoints(PulseContext::Config config = {});

    Result<std::vector<AudioEndpointInfo>> activeEndpoints(EndpointFlow flow) override;
    Result<float> volumeScalar(EndpointFlow flow, const std::string& id) override;
    EndpointStatus setVolumeScalar(EndpointFlow flow, const std::string& id, float scalar) override;
    Result<VolumeRangeDb> volumeRangeDb(EndpointFlow flow, const std::string& id) override;
    Result<float> volumeDb(EndpointFlow flow, const std::string& id) override;
    EndpointStatus setVolumeDb(EndpointFlow flow, const std::string& id, float db) override;
    Result<bool> isMuted(EndpointFlow flow, const std::string& id) override;
    EndpointStatus setMute(EndpointFlow flow, const std::string& id, bool muted) override;
    Result<std::vector<float>> ownStreamVolumes(const std::string& renderId) override;
    EndpointStatus setOwnStreamVolume(const std::string& renderId, float scalar) override;

private:
    PulseContext m_pulse;
};

}  // namespace platform
