#include "sim/MailboxHubModel.h"

#include <array>

#include "sim/UnitCatalogue.h"

namespace sim {
namespace {

constexpr std::uint8_t kMailboxPage = 7;
constexpr std::uint8_t kControlParameter = 1;
constexpr std::uint8_t kMessageParameter = 7;
constexpr std::uint8_t kReplyParameter = 6;
constexpr std::uint16_t kNotReady = 0x0002;
constexpr std::uint16_t kReplyPresent = 0x0200;

}  // namespace

std::uint16_t MailboxTargetWord(int unit) {
    return static_cast<std::uint16_t>(unit == 16 ? 0x330A : 0x3300 + unit * 16 + 11);
}

MailboxHubModel::MailboxHubModel(UnitProfile profile, std::shared_ptr<SimUnitModel> attached)
    : CatalogueUnitModel(std::move(profile), 0), m_attached(std::move(attached)) {
    state().setParameter(kMailboxPage, kControlParameter, 0, 0);
}

SimUnitModel::Reply MailboxHubModel::answerFirmware(std::span<const std::uint8_t> message) {
    auto reply = CatalogueUnitModel::answerFirmware(message);
    // F0 0C 00 07 01 00 hi lo: the control word written with value 2 starts a tunnel.
    const bool controlWrite = message.size() >= 8 && message[0] == 0xF0 && message[1] == 0x0C &&
                              message[3] == kMailboxPage && message[4] == kControlParameter;
    if (controlWrite && reply && (reply->at(2) & 0x80) == 0 && (message[7] & kNotReady) != 0) {
        tunnel();
    }
    return reply;
}

void MailboxHubModel::tunnel() {
    auto& s = state();
    const std::uint16_t target = s.parameter(kMailboxPage, kMessageParameter, 0).value_or(0xFFFF);
    std::array<std::uint8_t, 8> bytes{};
    for (std::uint8_t i = 0; i < 4; ++i) {
        const std::uint16_t word = s.parameter(kMailboxPage, kMessageParameter, i + 1).value_or(0);
        bytes[2 * i] = static_cast<std::uint8_t>(word >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(word & 0xFF);
    }
    Reply answer;
    if (m_attached && target == MailboxTargetWord(m_attached->unitNumber())) {
        answer = m_attached->answer(bytes);
    }
    if (!answer) {
        return;  // the control word keeps value 2: no reply comes
    }
    ++m_tunnelled;
    answer->resize(8, 0);
    s.setParameter(kMailboxPage, kReplyParameter, 0, m_replyTargetOverride.value_or(target));
    for (std::uint8_t i = 0; i < 4; ++i) {
        s.setParameter(kMailboxPage, kReplyParameter, i + 1,
                       static_cast<std::uint16_t>((*answer)[2 * i] * 256 + (*answer)[2 * i + 1]));
    }
    s.setParameter(kMailboxPage, kControlParameter, 0, kReplyPresent);
}

std::shared_ptr<SimHidUnit> makeMailboxHub(UnitProfile hubProfile, std::shared_ptr<MailboxHubModel>* hub) {
    std::shared_ptr<SimUnitModel> attached;
    if (!hubProfile.attachedUnitKey.empty()) {
        attached = std::make_shared<CatalogueUnitModel>(catalogueProfile(hubProfile.attachedUnitKey),
                                                        hubProfile.attachedUnitNumber);
    }
    SimHidUnit::Config config;
    config.vendorId = hubProfile.vendorId;
    config.productId = hubProfile.productId;
    config.inputReportLength = 9;
    auto model = std::make_shared<MailboxHubModel>(std::move(hubProfile), std::move(attached));
    if (hub != nullptr) {
        *hub = model;
    }
    return std::make_shared<SimHidUnit>(config, model);
}

}  // namespace sim
