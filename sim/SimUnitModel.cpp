#include "sim/SimUnitModel.h"

namespace sim {

SimUnitModel::SimUnitModel(int productCode, int unitNumber, std::shared_ptr<UnitState> state)
    : m_productCode(productCode),
      m_unitNumber(unitNumber),
      m_state(state ? std::move(state) : std::make_shared<UnitState>()) {}

void SimUnitModel::onRequest(std::uint16_t requestCode, CommandHandler handler) {
    m_handlers[requestCode] = std::move(handler);
}

SimUnitModel::Reply SimUnitModel::answer(std::span<const std::uint8_t> message) {
    if (message.empty()) {
        return std::nullopt;
    }
    const std::uint16_t requestCode =
        static_cast<std::uint16_t>(message[0] * 256 + (message.size() > 1 ? message[1] : 0));
    if (const auto it = m_handlers.find(requestCode); it != m_handlers.end()) {
        return it->second(message);
    }
    if (message[0] == 0xF0) {
        return answerParameterFrame(message);
    }
    return std::vector<std::uint8_t>{message[0], message.size() > 1 ? message[1] : std::uint8_t{0}};
}

SimUnitModel::Reply SimUnitModel::answerParameterFrame(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> reply(message.begin(), message.end());
    reply.resize(8, 0);
    const std::uint8_t operation = reply[1];
    const std::uint8_t page = reply[3];
    const std::uint8_t parameter = reply[4];
    const std::uint8_t index = reply[5];
    if (operation == 0x0D) {
        m_state->setParameter(page, parameter, index, static_cast<std::uint16_t>(reply[6] * 256 + reply[7]));
    } else if (operation == 0x0E) {
        const std::uint16_t value = m_state->parameter(page, parameter, index).value_or(0xFFFF);
        reply[6] = static_cast<std::uint8_t>(value >> 8);
        reply[7] = static_cast<std::uint8_t>(value & 0xFF);
    }
    return reply;
}

}  // namespace sim
