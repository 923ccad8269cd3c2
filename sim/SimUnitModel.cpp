#include "sim/SimUnitModel.h"

namespace sim {

SimUnitModel::SimUnitModel(int productCode, int unitNumber, std::shared_ptr<UnitState> state)
    : m_productCode(productCode),
      m_unitNumber(unitNumber),
      m_state(state ? std::move(state) : std::make_shared<UnitState>()) {}

void SimUnitModel::onRequest(std::uint16_t requestCode, CommandHandler handler) {
    m_handlers[requestCode] = std::move(handler);
}

void SimUnitModel::setTextParameter(std::uint8_t page, std::uint8_t parameter, std::string text) {
    m_texts[{page, parameter}] = std::move(text);
}

void SimUnitModel::refuseParameter(std::uint8_t page, std::uint8_t parameter, std::uint8_t errorByte) {
    m_refusals[{page, parameter}] = errorByte;
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
    return answerFirmware(message);
}

SimUnitModel::Reply SimUnitModel::answerFirmware(std::span<const std::uint8_t> message) {
    if (message[0] == 0xF0) {
        return answerParameterFrame(message);
    }
    return std::vector<std::uint8_t>{message[0], message.size() > 1 ? message[1] : std::uint8_t{0}};
}

void SimUnitModel::onParameterBitsWritten(std::uint8_t, std::uint8_t) {}

void SimUnitModel::refuse(std::vector<std::uint8_t>& reply, std::uint8_t errorByte) {
    reply[2] |= 0x80;
    reply[7] = errorByte;
}

SimUnitModel::Reply SimUnitModel::answerParameterFrame(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> reply(message.begin(), message.end());
    reply.resize(8, 0);
    const std::uint8_t operation = reply[1];
    if (operation < 0x0C || (operation > 0x0F && operation != 0x17)) {
        return reply;
    }
    const std::uint8_t flags = reply[2] & 0x03;
    const std::uint8_t index = reply[5];
    const auto value = static_cast<std::uint16_t>(reply[6] * 256 + reply[7]);
    // A masked bit write names its page and parameter one byte earlier than the others.
    const bool bitWrite = operation == 0x17;
    const std::uint8_t page = bitWrite ? reply[2] : reply[3];
    const std::uint8_t parameter = bitWrite ? reply[3] : reply[4];
    if (const auto it = m_refusals.find({page, parameter}); it != m_refusals.end()) {
        refuse(reply, it->second);
        return reply;
    }
    const auto putWord = [&reply](std::uint16_t word) {
        reply[6] = static_cast<std::uint8_t>(word >> 8);
        reply[7] = static_cast<std::uint8_t>(word & 0xFF);
    };
    const auto readWord = [&](std::uint8_t at) {
        const auto word = m_state->parameter(page, parameter, at);
        if (!word && m_refuseUnknown) {
            refuse(reply, 254);
            return;
        }
        putWord(word.value_or(0xFFFF));
    };

    switch (operation) {
        case 0x0C:
            m_state->setParameter(page, parameter, 0, value);
            break;
        case 0x0D:
            readWord(0);
            break;
        case 0x0E:
            // The start frame of a multi-word write only announces the count.
            if (flags != 0x03) {
                m_state->setParameter(page, parameter, index, value);
            }
            break;
        case 0x0F:
            if (flags == 0x03 || flags == 0x02) {
                const auto text = m_texts.find({page, parameter});
                if (text == m_texts.end()) {
                    refuse(reply, 254);
                } else if (flags == 0x03) {
                    reply[5] = static_cast<std::uint8_t>(text->second.size());
                } else {
                    reply[7] =
                        index < text->second.size() ? static_cast<std::uint8_t>(text->second[index]) : 0;
                }
            } else {
                readWord(index);
            }
            break;
        case 0x17: {
            // F0 17 page parameter maskH maskL valueH valueL: a masked write of index 0.
            const auto mask = static_cast<std::uint16_t>(reply[4] * 256 + reply[5]);
            const std::uint16_t old = m_state->parameter(page, parameter, 0).value_or(0);
            m_state->setParameter(page, parameter, 0,
                                  static_cast<std::uint16_t>((old & ~mask) | (value & mask)));
            onParameterBitsWritten(page, parameter);
            break;
        }
        default:
            break;
    }
    return reply;
}

}  // namespace sim
