#pragma once

#include "platform/AudioEndpoints.h"
#include "platform/PulseContext.h"

namespace platform {

// The endpoint service on a PulseAudio server (PipeWire's pulse server too): sinks are the
// render endpoints, sources the capture endpoints (monitors of sinks left out: they are no
// microphones), the friendly name is the device description and the id the device name. The
// order is the server's index order.
//
// Volumes in dB are gains over the device's unamplified level: the server's base volume where
// it reports a hardware volume in dB, its normal volume (100 %) otherwise. Their range runs from
// kMinVolumeDb to the device's own top (the gain a hardware mixer reports at normal volume), at
// least kMaxSoftwareGainDb. The wizard sets the microphone linearly in dB over that range, so
// this range decides where its levels land: over -6..+6 dB the mixer-only default 9215 is
// -4.3 dB, the middle of the scale unity and the top +6 dB; a range reaching down to silence
// (as -60 dB would) would put that default at -51.6 dB, a microphone all but off.
//
// Scalars: a sink's maps 0.0-1.0 linearly onto the server's volume from muted to normal, the
// server's own cubic scale (the speaker default 57343 is -3.5 dB); a source's is its position on
// its dB range, linear in dB, so that a microphone level set is read back as itself. The
// program's own volume is that of its streams (sink inputs of this process) on the sink.
class PulseEndpoints final : public IAudioEndpoints {
public:
    static constexpr float kMinVolumeDb = -6.0f;
    static constexpr float kMaxSoftwareGainDb = 6.0f;

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
