#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/DeviceChanges.h"
#include "sim/SimAudio.h"
#include "sim/SimEndpoints.h"
#include "sim/SimHidBus.h"
#include "sim/SimHidUnit.h"
#include "sim/UnitState.h"

namespace sim {

// A desktop with simulated speakerphones in place of the machine's: the HID bus, the audio
// endpoints, the wave devices with the acoustic path of the first unit, and the device-change
// events that plugging a unit in or out raises. The wizard runs on it with --simulate, and the
// wizard's tests build one per test.
//
// Used from one thread (the GUI thread); device-change listeners are called on it.
class SimDesktop {
public:
    // The computer's own sound card is always there; `model` (a catalogue key) is plugged in
    // unless it is empty.
    explicit SimDesktop(const std::string& model, SimAudioConfig audio = {});
    ~SimDesktop();
    SimDesktop(const SimDesktop&) = delete;
    SimDesktop& operator=(const SimDesktop&) = delete;

    SimHidBus& hidBus() { return m_bus; }
    SimEndpoints& endpoints() { return m_endpoints; }
    SimAudio& waveDevices() { return *m_audio; }
    platform::DeviceChangeNotifier& deviceChanges() { return m_changes; }
    // The state of the first unit, which the acoustic path plays.
    UnitState& unitState() { return *m_state; }

    // Plugs a unit of a catalogue model in: its HID interface and its speaker and microphone
    // endpoints, then the burst of events a real plug-in gives (the HID node, the sound card,
    // the node tree). The first unit plugged in is the one the acoustic path plays. Returns
    // the unit's number among those plugged in (0 for the first).
    int plugIn(const std::string& model);
    // Unplugs the unit with that number (its interface goes, its endpoints too) with the burst
    // of removal events.
    void unplug(int unit = 0);

    // The unit's HID interface; null when it is not plugged in.
    std::shared_ptr<SimHidUnit> unit(int unit = 0) const;
    // Opening the unit's HID interface fails from now on (or works again): it is counted by
    // its endpoints but cannot be opened.
    void setHidOpenable(bool openable, int unit = 0);

    // The command words the unit received, in order: the first two bytes after the report ID
    // of every report written to it.
    std::vector<std::uint16_t> commandWords(int unit = 0) const;

private:
    struct Plugged {
        std::string model;
        std::string hidPath;
        std::string speakerId;
        std::string microphoneId;
        std::shared_ptr<SimHidUnit> hid;
        bool present = true;
    };

    std::shared_ptr<UnitState> m_state;
    SimHidBus m_bus;
    SimEndpoints m_endpoints;
    std::unique_ptr<SimAudio> m_audio;
    platform::DeviceChangeNotifier m_changes;
    std::vector<Plugged> m_units;
};

// The echo-canceller faults by the names a command line gives them: "none", "stuck" and
// "diverging"; nothing for any other name.
std::optional<EchoCancellerFault> EchoCancellerFaultNamed(const std::string& name);

// The names EchoCancellerFaultNamed knows, separated by blanks.
std::string EchoCancellerFaultNames();

}  // namespace sim
