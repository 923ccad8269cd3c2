#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveDevices.h"
#include "sim/SimAcousticPath.h"
#include "sim/UnitState.h"

namespace sim {

// Product names of the simulated wave devices. The computer's own sound card comes first, as
// on a real machine, so that a run that fell back to the first device would be noticed.
inline constexpr const char* kSimBuiltInDeviceName = "Built-in Audio Analog Stereo";
inline constexpr const char* kSimSpeakerDeviceName = "Qnlr Speakerphone Speaker";
inline constexpr const char* kSimMicrophoneDeviceName = "Qnlr Speakerphone Microphone";

struct SimAudioConfig {
    // 1: real time; larger runs the clock that many times faster (tests).
    double speedFactor = 1.0;
    // How long a faster clock waits, before each tick, for a program that has not queued the
    // whole tick on a unit device, as a lagging program thread catches up on real time.
    std::uint32_t laggingGraceMs = 50;
    std::uint32_t tickMs = 10;  // sound moved per clock tick
    AcousticConfig acoustic;
    std::vector<std::string> outputNames{kSimBuiltInDeviceName, kSimSpeakerDeviceName};
    std::vector<std::string> inputNames{kSimBuiltInDeviceName, kSimMicrophoneDeviceName};
    // Faults of the unit's own wave devices.
    std::uint32_t unitOpenResult = platform::wave::kNoError;  // a failing open returns this
    bool microphoneDelivers = true;                           // false: recorded blocks never complete
    bool speakerPlays = true;                                 // false: played blocks never complete
    // Frames the unit's microphone records before it records nothing more, as a stalled server's
    // (0: no limit).
    std::uint64_t microphoneFrames = 0;
    // Sound time after which the unit is unplugged: its open devices give back their queued
    // blocks with what they hold and refuse new ones (0: never).
    std::uint32_t unitUnpluggedAfterMs = 0;
    // Sound time for which the unit's speaker takes nothing after it opens, as a sound server
    // may while its output wakes up.
    std::uint32_t speakerStartStallMs = 0;
};

// The simulated acoustic side of a speakerphone behind the wave-device service. One clock
// moves playback and capture together: each tick it takes the next slice of every playing
// stream, runs the unit's speaker sound through the room and the unit's echo canceller, and
// fills recording streams with what the unit's routing puts on its two USB channels.
class SimAudio : public platform::IWaveDevices {
public:
    SimAudio(std::shared_ptr<UnitState> unit, SimAudioConfig config = {});
    ~SimAudio() override;
    SimAudio(const SimAudio&) = delete;
    SimAudio& operator=(const SimAudio&) = delete;

    // A device's key is its name.
    std::vector<platform::WaveDeviceInfo> devices(platform::WaveDirection direction) override;
    std::uint32_t open(platform::WaveDirection direction, const platform::WaveDeviceRef& device,
                       const platform::WavePcmFormat& format, platform::Event& callbackEvent,
                       std::unique_ptr<platform::IWaveStream>& stream) override;

    const SimAudioConfig& config() const { return m_config; }
    UnitState& unit() { return *m_unit; }

    // Frames the unit's speaker has played so far (silence of an empty queue not counted).
    std::uint64_t speakerFramesPlayed() const { return m_speakerFrames; }
    // Frames the unit's microphone has recorded so far.
    std::uint64_t microphoneFramesRecorded() const { return m_microphoneFrames; }

    class Stream;

private:
    friend class Stream;
    void attach(Stream* stream);
    void detach(Stream* stream);
    void clockLoop();
    void tick();
    bool unitDevice(platform::WaveDirection direction, int deviceId) const;
    double farEndAt(double tSeconds) const;

    std::shared_ptr<UnitState> m_unit;
    SimAudioConfig m_config;
    AcousticPath m_path;

    std::mutex m_mutex;  // guards the streams and the far-end history; held for a whole tick
    std::condition_variable m_wake;
    std::vector<Stream*> m_streams;
    bool m_quit = false;
    std::thread m_clock;

    // Sound time of the clock, in ticks since the first stream opened.
    std::uint64_t m_ticks = 0;

    // What the unit's speaker played: one channel at the playing stream's rate.
    std::vector<float> m_farEnd;  // ring buffer
    std::uint32_t m_farEndRate = 0;
    double m_farEndStartSeconds = 0.0;
    std::uint64_t m_speakerOpenedTick = 0;
    std::uint64_t m_farEndWritten = 0;
    std::atomic<std::uint64_t> m_speakerFrames{0};
    std::atomic<std::uint64_t> m_microphoneFrames{0};
};

}  // namespace sim
