#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/HIDProtocol.h"
#include "sim/CatalogueUnitModel.h"
#include "sim/SimHidBus.h"
#include "sim/UnitCatalogue.h"

// A catalogue model's table with some answers changed.
inline sim::UnitProfile Modified(const std::string& key,
                                 const std::function<void(sim::UnitProfile&)>& change) {
    sim::UnitProfile profile = sim::catalogueProfile(key);
    change(profile);
    return profile;
}

// A firmware handler that never answers.
inline sim::SimUnitModel::CommandHandler Silent() {
    return [](std::span<const std::uint8_t>) { return sim::SimUnitModel::Reply{}; };
}

// A device object on a simulated bus with catalogue units attached, and what the units saw.
class CatalogueBench {
public:
    std::shared_ptr<sim::SimHidUnit> attach(const std::string& key) {
        return attach(sim::catalogueProfile(key));
    }

    std::shared_ptr<sim::SimHidUnit> attach(const sim::UnitProfile& profile) {
        unit = sim::makeUnit(profile);
        bus.attach(unit);
        return unit;
    }

    sim::CatalogueUnitModel& model() { return static_cast<sim::CatalogueUnitModel&>(*unit->localUnit()); }

    // Attaches a catalogue unit and connects to it with every identity read.
    bool connect(const std::string& key) {
        attach(key);
        return protocol.Connect(-1, false, true);
    }

    std::size_t mark() const { return unit->writeCount(); }

    // The messages written since a mark (report bytes after the report ID, address bytes
    // included on addressed reports).
    std::vector<std::vector<std::uint8_t>> messagesSince(std::size_t from) const {
        const auto written = unit->writtenReports();
        std::vector<std::vector<std::uint8_t>> messages;
        for (std::size_t i = from; i < written.size(); ++i) {
            messages.emplace_back(written[i].begin() + 1, written[i].end());
        }
        return messages;
    }

    // The request codes (first two message bytes) written since a mark.
    std::vector<int> requestsSince(std::size_t from) const {
        std::vector<int> codes;
        for (const auto& message : messagesSince(from)) {
            codes.push_back(message[0] * 256 + message[1]);
        }
        return codes;
    }

    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    std::shared_ptr<sim::SimHidUnit> unit;
};
