#pragma once

#include <memory>

#include "sim/SimUnitModel.h"
#include "sim/UnitProfile.h"

namespace sim {

// A unit of the product line whose firmware answers what its UnitProfile says: identification
// commands, registers and switches, probes, status words, PIC versions, the hardware
// configuration, the serial number, the network request block and processor parameters.
// Register writes of the volumes and the switch commands go to the shared UnitState, so the
// acoustic side follows the unit.
class CatalogueUnitModel : public SimUnitModel {
public:
    CatalogueUnitModel(UnitProfile profile, int unitNumber, std::shared_ptr<UnitState> state = nullptr);

    const UnitProfile& profile() const { return m_profile; }
    bool relayToggled() const { return m_relay; }
    bool lineSelected() const { return m_lineSelect; }
    bool ethernetLoopback() const { return m_loopback; }

protected:
    Reply answerFirmware(std::span<const std::uint8_t> message) override;
    void onParameterBitsWritten(std::uint8_t page, std::uint8_t parameter) override;

private:
    Reply answerCommand(std::uint16_t word);
    Reply answerFrame(std::span<const std::uint8_t> message);
    bool linePresent() const;
    // Keeps the line bit of the status parameter in step with the relays.
    void updateLineStatusParameter();
    int speakerRegister() const;

    UnitProfile m_profile;
    bool m_relay = false;
    bool m_lineSelect = false;
    bool m_relayArmed = false;
    bool m_selectArmed = false;
    bool m_loopback = false;
};

}  // namespace sim
