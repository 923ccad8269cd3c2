#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "sim/UnitState.h"

namespace sim {

enum class EchoCancellerFault {
    None,
    Stuck,      // the adaptive stage never adapts: the echo stays as it is
    Diverging,  // the adaptive stage runs away: the echo grows
};

// A canceller stage that, once it has worked a while, takes everything out of the microphone
// channel, the microphone's own noise too, and sends digital silence.
enum class SilentStage { None, Adaptive, NonLinear };

// The room and the unit between what the program plays and what the unit records.
struct AcousticConfig {
    double acousticDelayMs = 20.0;         // loudspeaker to microphone, converters included
    double externalSpeakerDelayMs = 0.0;   // extra delay of a speaker path outside the unit
    double echoCouplingDbAtStep16 = -6.0;  // echo level against the far-end level at volume step 16
    double volumeStepDb = 1.5;             // echo change per speaker volume step
    double noiseFloorDbfs = -80.0;         // the microphone's own noise
    double roomNoiseDbfs = -200.0;         // noise of the room (a noisy room: about -45)
    double nearEndToneHz = 0.0;            // a steady sound in front of the microphone; 0: none
    double nearEndToneDbfs = -30.0;
    double adaptiveReductionDb = 25.0;  // echo reduction of the converged adaptive stage
    double adaptiveTimeConstantMs = 150.0;
    double nonLinearReductionDb = 25.0;  // further reduction of the non-linear stage
    double cancellerSpanMs = 64.0;       // echo delays the adaptive filter covers past its alignment
    EchoCancellerFault fault = EchoCancellerFault::None;
    SilentStage silentStage = SilentStage::None;
    double silentAfterMs = 500.0;  // time the silent stage works before its output is silent
    // Comfort noise the working non-linear stage sends in place of what it removed; none unset.
    std::optional<double> comfortNoiseDbfs;
    // Units that know the stage switches; on older units the canceller always runs whole.
    bool stageSwitchesSupported = true;
    // Which of the two far-end sources (31 or 32) carries what the program plays.
    std::uint8_t playedFarEndSource = 31;
    std::uint32_t noiseSeed = 1;
};

// Unit switches that bypass the echo canceller's stages while they are on; the echo test
// switches both on, then switches 0x01 off at its first mark (the adaptive stage works) and
// 0x06 at its second (the non-linear stage works too).
inline constexpr std::uint8_t kSwitchAdaptiveBypass = 0x01;
inline constexpr std::uint8_t kSwitchNonLinearBypass = 0x06;

// The speaker-delay parameter: page 0, parameter 13, index 0; milliseconds, 0xFFFF unset.
inline constexpr std::uint8_t kSpeakerDelayPage = 0;
inline constexpr std::uint8_t kSpeakerDelayParameter = 13;
inline constexpr std::uint16_t kSpeakerDelayUnset = 0xFFFF;

// Routing sources and the recorded destinations.
namespace source {
inline constexpr std::uint8_t kMicrophone = 8;  // the microphone before the echo canceller
inline constexpr std::uint8_t kSend = 25;       // the microphone after the echo canceller
inline constexpr std::uint8_t kFarEnd = 26;     // the far-end signal the unit receives
inline constexpr std::uint8_t kFarEndA = 31;
inline constexpr std::uint8_t kFarEndB = 32;
}  // namespace source
inline constexpr std::uint8_t kRecordLeft = 25;
inline constexpr std::uint8_t kRecordRight = 26;

// The echo canceller's state, advanced tick by tick from the unit's switches and parameter.
class EchoCanceller {
public:
    explicit EchoCanceller(const AcousticConfig& config) : m_config(config) {}

    // Advances by tickMs of sound with the unit's current state; returns the echo gain in
    // dB that the canceller leaves for this tick.
    double advance(const UnitState& unit, double tickMs);

    double adaptiveDb() const { return m_adaptiveDb; }
    bool nonLinearWorks() const { return m_nonLinearMs > 0.0; }
    // Whether the configured silent stage has worked long enough to send digital silence.
    bool sendsSilence() const;

private:
    bool aligned(const UnitState& unit) const;

    const AcousticConfig& m_config;
    double m_adaptiveMs = 0.0;  // time the adaptive stage has worked
    double m_adaptiveDb = 0.0;
    double m_nonLinearMs = 0.0;  // time the non-linear stage has worked
};

// Sound sources of one moment, as the routing can pick them.
struct AcousticSample {
    double farEnd = 0.0;  // what the program plays, mixed to one channel
    double microphone = 0.0;
    double send = 0.0;
};

// Produces the microphone from the far-end signal: echo through the delays, scaled by the
// speaker volume, reduced by the canceller, with noise and an optional near-end sound.
class AcousticPath {
public:
    explicit AcousticPath(AcousticConfig config);

    const AcousticConfig& config() const { return m_config; }

    // Echo delay of the room and the speaker path, in ms.
    double echoDelayMs() const { return m_config.acousticDelayMs + m_config.externalSpeakerDelayMs; }

    // Settles the gains for the next tick from the unit's state.
    void beginTick(const UnitState& unit, double tickMs);

    // One moment: farEndNow and farEndDelayed (the far-end echoDelayMs earlier), at time tSeconds.
    AcousticSample sample(double farEndNow, double farEndDelayed, double tSeconds);

    // Source value for a routing source.
    double pick(std::uint8_t source, const AcousticSample& sample) const;

private:
    double noise(double rms);

    AcousticConfig m_config;
    EchoCanceller m_canceller;
    std::mt19937 m_random;
    std::normal_distribution<double> m_normal{0.0, 1.0};
    double m_echoGain = 0.0;
    double m_cancelGain = 1.0;
    double m_noiseFloorRms = 0.0;
    double m_roomNoiseRms = 0.0;
    double m_toneAmplitude = 0.0;
    bool m_sendSilent = false;
    double m_comfortNoiseRms = 0.0;
};

double dbToGain(double db);

}  // namespace sim
