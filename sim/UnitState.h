#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

namespace sim {

// The inner state of one simulated speakerphone, shared by its HID side (which the commands
// change) and its acoustic side (which reads it while audio runs). Thread-safe.
class UnitState {
public:
    bool switchOn(std::uint8_t number) const;
    void setSwitch(std::uint8_t number, bool on);

    std::optional<std::uint16_t> parameter(std::uint8_t page, std::uint8_t parameter,
                                           std::uint8_t index) const;
    void setParameter(std::uint8_t page, std::uint8_t parameter, std::uint8_t index, std::uint16_t value);

    std::uint16_t reg(std::uint8_t number) const;
    void setReg(std::uint8_t number, std::uint16_t value);

    // Volume steps 0..24 of the unit's loudspeaker and microphone.
    int speakerVolumeStep() const;
    void setSpeakerVolumeStep(int step);
    int microphoneGainStep() const;
    void setMicrophoneGainStep(int step);

    // Audio routing set by the unit's routing command: which source feeds a destination
    // (25 and 26 are the left and right channels the unit records to USB). Nothing for a
    // destination that was never routed, which then carries its default source.
    std::optional<std::uint8_t> routingSource(std::uint8_t destination) const;
    void setRouting(std::uint8_t source, std::uint8_t destination);

private:
    mutable std::mutex m_mutex;
    std::map<std::uint8_t, bool> m_switches;
    std::map<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>, std::uint16_t> m_parameters;
    std::map<std::uint8_t, std::uint16_t> m_registers;
    int m_speakerVolumeStep = 16;
    int m_microphoneGainStep = 16;
    std::map<std::uint8_t, std::uint8_t> m_routing;  // destination -> source
};

}  // namespace sim
