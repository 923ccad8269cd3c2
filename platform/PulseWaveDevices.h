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
// Each open device is one stream of 16-bit PCM; playing and recording streams are on server
// connections of their own: a server may hold back recorded sound while playing requests are
// queued on the same connection (PipeWire's does), which under load delays it by seconds. A playing block is
// done when the server has taken all of its sound for playing; a recording block is done when it is full, or
// with what it holds at stop and reset. Recorded sound that arrives while no recording block is queued waits
// for the next block, up to the stream's buffer length on the server; only sound beyond that is dropped.
// Every loss (a playing stream that runs dry before more sound follows, dropped or missing recorded sound) is
// counted (IWaveStream::counters). A stream stays on the device it was opened on: when the device
// goes, is suspended while the stream uses it, or the server moves or kills the stream, the
// stream gives back every block and refuses later ones, as when the device is gone. New playing
// streams start at full stream volume. A recording is mixed to
// the channels asked for here rather than by the server, so that its levels do not depend on the server.
class PulseWaveDevices final : public IWaveDevices {
public:
    struct Config {
        PulseContext::Config connection;
        std::uint32_t playBufferMs = 100;     // sound the server holds ahead of the speaker
        std::uint32_t recordFragmentMs = 10;  // sound the server gathers before passing it on
        std::uint32_t recordBufferMs = 0;     // recorded sound kept for late blocks; 0: the server's
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
    std::shared_ptr<PulseContext> m_pulse;  // lists and server facts
    // Playing and recording streams, each direction on a connection of its own, kept from one
    // open to the next so that opening a device costs no new handshake.
    std::shared_ptr<PulseContext> m_playing;
    std::shared_ptr<PulseContext> m_recording;
};

}  // namespace platform
