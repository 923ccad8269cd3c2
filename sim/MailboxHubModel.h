#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "sim/CatalogueUnitModel.h"
#include "sim/SimHidUnit.h"

namespace sim {

// A hub whose signal processor runs the slave mailbox on page 7: when the host writes the
// control word (7, 1) with value 2 set, the hub takes the target word (7, 7, 0) and the four
// message words (7, 7, 1..4), tunnels the eight bytes to its attached unit, writes the reply's
// target word and words to (7, 6, 0..4) and raises 0x200 in the control word. When the slave
// stays silent the control word keeps value 2.
class MailboxHubModel : public CatalogueUnitModel {
public:
    MailboxHubModel(UnitProfile profile, std::shared_ptr<SimUnitModel> attached);

    SimUnitModel& attached() { return *m_attached; }
    int tunnelledMessages() const { return m_tunnelled; }
    // Makes the reply's target word name another unit (to test a reply from the wrong slave).
    void overrideReplyTargetWord(std::optional<std::uint16_t> word) { m_replyTargetOverride = word; }

protected:
    Reply answerFirmware(std::span<const std::uint8_t> message) override;

private:
    void tunnel();

    std::shared_ptr<SimUnitModel> m_attached;
    std::atomic<int> m_tunnelled{0};
    std::optional<std::uint16_t> m_replyTargetOverride;
};

// The mailbox target word of unit U: 0x330A for unit 16, else 0x3300 + U × 16 + 11.
std::uint16_t MailboxTargetWord(int unit);

// A 9-byte HID interface of a hub profile (its attachedUnitKey names the unit behind it, as
// unit 16) whose attached unit is reached only through the mailbox.
std::shared_ptr<SimHidUnit> makeMailboxHub(UnitProfile hubProfile,
                                           std::shared_ptr<MailboxHubModel>* hub = nullptr);

}  // namespace sim
