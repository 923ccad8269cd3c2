#include "sim/SimDesktop.h"

#include "sim/UnitCatalogue.h"

namespace sim {

namespace {

SimEndpoints::Endpoint endpoint(std::string id, std::string name) {
    SimEndpoints::Endpoint e;
    e.id = std::move(id);
    e.friendlyName = std::move(name);
    return e;
}

}  // namespace

SimDesktop::SimDesktop(const std::string& model, SimAudioConfig audio)
    : m_state(std::make_shared<UnitState>()), m_audio(std::make_unique<SimAudio>(m_state, std::move(audio))) {
    m_endpoints.addEndpoint(platform::EndpointFlow::Render, endpoint("builtin-out", kSimBuiltInDeviceName));
    m_endpoints.addEndpoint(platform::EndpointFlow::Capture, endpoint("builtin-in", kSimBuiltInDeviceName));
    if (!model.empty()) {
        plugIn(model);
    }
}

SimDesktop::~SimDesktop() = default;

int SimDesktop::plugIn(const std::string& model) {
    const int number = static_cast<int>(m_units.size());
    Plugged plugged;
    plugged.model = model;
    // The first unit shares its state with the acoustic path; later ones have their own.
    plugged.hid = makeUnit(catalogueProfile(model), number == 0 ? m_state : nullptr);
    plugged.hidPath = m_bus.attach(plugged.hid);
    const std::string suffix = number == 0 ? "" : " " + std::to_string(number + 1);
    plugged.speakerId = "unit" + std::to_string(number) + "-out";
    plugged.microphoneId = "unit" + std::to_string(number) + "-in";
    m_endpoints.addEndpoint(platform::EndpointFlow::Render,
                            endpoint(plugged.speakerId, kSimSpeakerDeviceName + suffix));
    m_endpoints.addEndpoint(platform::EndpointFlow::Capture,
                            endpoint(plugged.microphoneId, kSimMicrophoneDeviceName + suffix));
    m_units.push_back(std::move(plugged));
    for (const auto event :
         {platform::devchange::kArrival, platform::devchange::kArrival, platform::devchange::kNodesChanged}) {
        m_changes.raise(event);
    }
    return number;
}

void SimDesktop::unplug(int unit) {
    if (unit < 0 || unit >= static_cast<int>(m_units.size()) || !m_units[unit].present) {
        return;
    }
    Plugged& plugged = m_units[unit];
    plugged.hid->unplug();
    m_bus.detach(plugged.hidPath);
    m_endpoints.removeEndpoint(platform::EndpointFlow::Render, plugged.speakerId);
    m_endpoints.removeEndpoint(platform::EndpointFlow::Capture, plugged.microphoneId);
    plugged.present = false;
    for (const auto event : {platform::devchange::kRemoveComplete, platform::devchange::kRemoveComplete,
                             platform::devchange::kNodesChanged}) {
        m_changes.raise(event);
    }
}

std::shared_ptr<SimHidUnit> SimDesktop::unit(int unit) const {
    const bool known = unit >= 0 && unit < static_cast<int>(m_units.size());
    return known && m_units[unit].present ? m_units[unit].hid : nullptr;
}

void SimDesktop::setHidOpenable(bool openable, int unit) {
    if (auto hid = this->unit(unit)) {
        hid->setOpenable(openable);
    }
}

std::vector<std::uint16_t> SimDesktop::commandWords(int unit) const {
    std::vector<std::uint16_t> words;
    if (unit >= 0 && unit < static_cast<int>(m_units.size())) {
        for (const auto& report : m_units[unit].hid->writtenReports()) {
            if (report.size() >= 3) {
                words.push_back(static_cast<std::uint16_t>(report[1] << 8 | report[2]));
            }
        }
    }
    return words;
}

namespace {

const std::pair<const char*, EchoCancellerFault> kFaultNames[] = {
    {"none", EchoCancellerFault::None},
    {"stuck", EchoCancellerFault::Stuck},
    {"diverging", EchoCancellerFault::Diverging},
};

}  // namespace

std::optional<EchoCancellerFault> EchoCancellerFaultNamed(const std::string& name) {
    for (const auto& [known, fault] : kFaultNames) {
        if (name == known) {
            return fault;
        }
    }
    return std::nullopt;
}

std::string EchoCancellerFaultNames() {
    std::string names;
    for (const auto& [known, fault] : kFaultNames) {
        names += names.empty() ? known : std::string(" ") + known;
    }
    return names;
}

}  // namespace sim
