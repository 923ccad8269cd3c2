#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/SimHidUnit.h"
#include "sim/UnitProfile.h"

namespace sim {

// The catalogue of simulated models of the product line, one data table per model.

// Keys of every catalogue model, in catalogue order.
std::vector<std::string> catalogueKeys();

// The table of one model; throws std::invalid_argument naming the key when there is none.
const UnitProfile& catalogueProfile(const std::string& key);

// A HID interface that plays a profile (and the unit attached behind it, if any), ready to
// attach to a SimHidBus. The local unit shares `state` when one is given.
std::shared_ptr<SimHidUnit> makeUnit(const UnitProfile& profile, std::shared_ptr<UnitState> state = nullptr);

// makeUnit of a catalogue model.
std::shared_ptr<SimHidUnit> makeCatalogueUnit(const std::string& key);

// Unit-ID words in the three layouts the units use.
std::uint32_t DefaultUnitId(unsigned a, unsigned b, unsigned c, bool flag, unsigned d, unsigned e);
std::uint32_t AltUnitId(unsigned a, unsigned b, bool flag, unsigned serial);
std::uint32_t TolvinUnitId(unsigned a, unsigned monthCount, unsigned serial);

// The six reply bytes of the hardware configuration frame.
std::array<std::uint8_t, 6> HardwareBytes(unsigned dsp, unsigned clock, unsigned memory, unsigned config4,
                                          unsigned config5, unsigned config6, unsigned version,
                                          unsigned config8, unsigned config9);

}  // namespace sim
