#include "sim/UnitState.h"

#include <algorithm>

namespace sim {

bool UnitState::switchOn(std::uint8_t number) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_switches.find(number);
    return it != m_switches.end() && it->second;
}

void UnitState::setSwitch(std::uint8_t number, bool on) {
    std::lock_guard lock(m_mutex);
    m_switches[number] = on;
}

std::optional<std::uint16_t> UnitState::parameter(std::uint8_t page, std::uint8_t parameter,
                                                  std::uint8_t index) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_parameters.find({page, parameter, index});
    if (it == m_parameters.end()) {
        return std::nullopt;
    }
    return it->second;
}

void UnitState::setParameter(std::uint8_t page, std::uint8_t parameter, std::uint8_t index,
                             std::uint16_t value) {
    std::lock_guard lock(m_mutex);
    m_parameters[{page, parameter, index}] = value;
}

std::uint16_t UnitState::reg(std::uint8_t number) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_registers.find(number);
    return it == m_registers.end() ? 0 : it->second;
}

void UnitState::setReg(std::uint8_t number, std::uint16_t value) {
    std::lock_guard lock(m_mutex);
    m_registers[number] = value;
}

int UnitState::speakerVolumeStep() const {
    std::lock_guard lock(m_mutex);
    return m_speakerVolumeStep;
}

void UnitState::setSpeakerVolumeStep(int step) {
    std::lock_guard lock(m_mutex);
    m_speakerVolumeStep = std::clamp(step, 0, 24);
}

int UnitState::microphoneGainStep() const {
    std::lock_guard lock(m_mutex);
    return m_microphoneGainStep;
}

void UnitState::setMicrophoneGainStep(int step) {
    std::lock_guard lock(m_mutex);
    m_microphoneGainStep = std::clamp(step, 0, 24);
}

std::optional<std::uint8_t> UnitState::routingSource(std::uint8_t destination) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_routing.find(destination);
    if (it == m_routing.end()) {
        return std::nullopt;
    }
    return it->second;
}

void UnitState::setRouting(std::uint8_t source, std::uint8_t destination) {
    std::lock_guard lock(m_mutex);
    m_routing[destination] = source;
}

}  // namespace sim
