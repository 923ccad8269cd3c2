#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/PulseContext.h"
#include "platform/WaveDevices.h"

namespace platform {

// The wave-device service on a PulseAudio server: the playing devices are the sinks, the
// recording devices the sources other than sinks' monitors, named by their descriptions in the
// server's order (as the endpoint service lists them); the default device is the server's
// default sink or source.
//
// Each open device is one stream of 16-bit PCM. A playing block is done when the server has
// taken all of its sound for playing; a recording block is done when it is full, or with what
// it holds at stop and reset. Sound that arrives while no recording block is queued is lost,
// as with any block device. New playing streams start at full stream volume. A recording is
// mixed to the channels asked for here rather than by the server, so that its levels do not
// depend on the server.
class PulseWaveDevices final : public IWaveDevices {
public:
    struct Config {
        PulseContext::Config connection;
        std::uint32_t playBufferMs = 100;     // sound the server holds ahead of the speaker
        std::uint32_t recordFragmentMs = 10;  // sound the server gathers before passing it on
        std::uint32_t openTimeoutMs = 3000;   // longest wait for a stream to be set up
    };

    PulseWaveDevices() : PulseWaveDevices(Config{}) {}
    explicit PulseWaveDevices(Config config);

    // A device's key is its name on the server.
    std::vector<WaveDeviceInfo> devices(WaveDirection direction) override;
    std::uint32_t open(WaveDirection direction, const WaveDeviceRef& device, const WavePcmFormat& format,
                       Event& callbackEvent, std::unique_ptr<IWaveStream>& stream) override;

private:
    Config m_config;
    std::shared_ptr<PulseContext> m_pulse;
};

}  // namespace platform
