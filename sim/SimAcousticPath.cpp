#include "sim/SimAcousticPath.h"

#include <cmath>
#include <numbers>

namespace sim {

namespace {
constexpr double kFullScale = 32768.0;
}

double dbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

bool EchoCanceller::aligned(const UnitState& unit) const {
    // The adaptive filter starts at the speaker delay the unit was given (none when unset)
    // and covers cancellerSpanMs from there; an echo outside that span cannot be modelled.
    const auto word = unit.parameter(kSpeakerDelayPage, kSpeakerDelayParameter, 0);
    const double startMs = (!word || *word == kSpeakerDelayUnset) ? 0.0 : static_cast<std::int16_t>(*word);
    const double echoMs = m_config.acousticDelayMs + m_config.externalSpeakerDelayMs;
    return echoMs >= startMs - 5.0 && echoMs <= startMs + m_config.cancellerSpanMs;
}

double EchoCanceller::advance(const UnitState& unit, double tickMs) {
    const bool switches = m_config.stageSwitchesSupported;
    const bool adaptiveOn = !(switches && unit.switchOn(kSwitchAdaptiveBypass));
    const bool nonLinearOn = !(switches && unit.switchOn(kSwitchNonLinearBypass));

    if (!adaptiveOn) {
        // Bypassed: the filter starts afresh when it is let in again.
        m_adaptiveMs = 0.0;
        m_adaptiveDb = 0.0;
    } else {
        m_adaptiveMs += tickMs;
        double targetDb = -m_config.adaptiveReductionDb;
        switch (m_config.fault) {
            case EchoCancellerFault::Stuck:
                targetDb = 0.0;
                break;
            case EchoCancellerFault::Diverging:
                targetDb = 12.0;
                break;
            case EchoCancellerFault::None:
                if (!aligned(unit)) {
                    targetDb = -1.0;
                }
                break;
        }
        m_adaptiveDb = targetDb * (1.0 - std::exp(-m_adaptiveMs / m_config.adaptiveTimeConstantMs));
    }
    // The non-linear stage only removes what the adaptive stage has already brought down;
    // with a stuck or runaway filter it cannot tell echo from speech and lets it through.
    m_nonLinearMs = nonLinearOn ? m_nonLinearMs + tickMs : 0.0;
    double nonLinearDb = 0.0;
    if (nonLinearOn && m_config.fault == EchoCancellerFault::None) {
        nonLinearDb = -m_config.nonLinearReductionDb;
    }
    return m_adaptiveDb + nonLinearDb;
}

bool EchoCanceller::sendsSilence() const {
    switch (m_config.silentStage) {
        case SilentStage::Adaptive:
            return m_adaptiveMs >= m_config.silentAfterMs;
        case SilentStage::NonLinear:
            return m_nonLinearMs >= m_config.silentAfterMs;
        case SilentStage::None:
            break;
    }
    return false;
}

AcousticPath::AcousticPath(AcousticConfig config)
    : m_config(config), m_canceller(m_config), m_random(config.noiseSeed) {
    m_noiseFloorRms = kFullScale * dbToGain(m_config.noiseFloorDbfs);
    m_roomNoiseRms = kFullScale * dbToGain(m_config.roomNoiseDbfs);
    m_toneAmplitude = kFullScale * std::sqrt(2.0) * dbToGain(m_config.nearEndToneDbfs);
}

void AcousticPath::beginTick(const UnitState& unit, double tickMs) {
    const int step = unit.speakerVolumeStep();
    m_echoGain =
        step <= 0 ? 0.0 : dbToGain(m_config.echoCouplingDbAtStep16 + (step - 16) * m_config.volumeStepDb);
    m_cancelGain = dbToGain(m_canceller.advance(unit, tickMs));
    m_sendSilent = m_canceller.sendsSilence();
    m_comfortNoiseRms = m_config.comfortNoiseDbfs && m_canceller.nonLinearWorks()
                            ? kFullScale * dbToGain(*m_config.comfortNoiseDbfs)
                            : 0.0;
}

double AcousticPath::noise(double rms) {
    return rms * m_normal(m_random);
}

AcousticSample AcousticPath::sample(double farEndNow, double farEndDelayed, double tSeconds) {
    AcousticSample out;
    out.farEnd = farEndNow;
    double nearEnd = noise(m_noiseFloorRms) + noise(m_roomNoiseRms);
    if (m_config.nearEndToneHz > 0.0) {
        nearEnd += m_toneAmplitude * std::sin(2.0 * std::numbers::pi * m_config.nearEndToneHz * tSeconds);
    }
    const double echo = m_echoGain * farEndDelayed;
    out.microphone = echo + nearEnd;
    out.send = m_sendSilent ? 0.0 : echo * m_cancelGain + nearEnd;
    if (m_comfortNoiseRms > 0.0) {
        out.send += noise(m_comfortNoiseRms);
    }
    return out;
}

double AcousticPath::pick(std::uint8_t source, const AcousticSample& sample) const {
    switch (source) {
        case source::kMicrophone:
            return sample.microphone;
        case source::kSend:
            return sample.send;
        case source::kFarEnd:
            return sample.farEnd;
        case source::kFarEndA:
        case source::kFarEndB:
            return source == m_config.playedFarEndSource ? sample.farEnd : 0.0;
        default:
            return 0.0;
    }
}

}  // namespace sim
