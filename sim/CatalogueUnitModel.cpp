#include "sim/CatalogueUnitModel.h"

namespace sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Word(std::uint16_t code) {
    return Bytes{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
}

constexpr std::uint8_t kNetworkPage = 6;
constexpr std::uint8_t kNetworkParameter = 13;
constexpr std::uint8_t kNetworkControl = 2;

}  // namespace

CatalogueUnitModel::CatalogueUnitModel(UnitProfile profile, int unitNumber, std::shared_ptr<UnitState> state)
    : SimUnitModel(profile.productId, unitNumber, std::move(state)), m_profile(std::move(profile)) {
    setRefuseUnknownParameters(true);
    for (const auto& p : m_profile.parameters) {
        this->state().setParameter(p.page, p.parameter, p.index, p.value);
    }
    for (const auto& t : m_profile.texts) {
        setTextParameter(t.page, t.parameter, t.text);
    }
    for (const auto& r : m_profile.refusals) {
        refuseParameter(r.page, r.parameter, r.errorByte);
    }
    for (const auto& [number, value] : m_profile.registers) {
        this->state().setReg(number, value);
    }
    for (const auto number : m_profile.switchesOn) {
        this->state().setSwitch(number, true);
    }
    auto& unitState = this->state();
    unitState.setSpeakerVolumeStep(unitState.reg(static_cast<std::uint8_t>(speakerRegister())) & 63);
    unitState.setMicrophoneGainStep(unitState.reg(3) & 63);
    // The processor names its product in parameter (0, 2); a network unit has its request block.
    if (m_profile.protocolLevel >= 13 && !unitState.parameter(0, 2, 0)) {
        unitState.setParameter(0, 2, 0, m_profile.productId);
    }
    if (m_profile.network) {
        unitState.setParameter(kNetworkPage, kNetworkControl, 0, 0);
        for (std::uint8_t i = 0; i <= 4; ++i) {
            unitState.setParameter(kNetworkPage, kNetworkParameter, i, 0);
        }
    }
    updateLineStatusParameter();
}

int CatalogueUnitModel::speakerRegister() const {
    return m_profile.protocolLevel >= 10 ? 1 : 4;
}

bool CatalogueUnitModel::linePresent() const {
    return m_profile.linePresent[(m_relay ? 2 : 0) + (m_lineSelect ? 1 : 0)];
}

void CatalogueUnitModel::updateLineStatusParameter() {
    if (m_profile.lineSense != LineSense::StatusWord0Bit15) {
        return;
    }
    const std::uint16_t word = state().parameter(8, 3, 0).value_or(0);
    state().setParameter(8, 3, 0,
                         static_cast<std::uint16_t>(linePresent() ? (word & 0x7FFF) : (word | 0x8000)));
}

SimUnitModel::Reply CatalogueUnitModel::answerFirmware(std::span<const std::uint8_t> message) {
    if (message[0] == 0xF0) {
        return answerFrame(message);
    }
    return answerCommand(
        static_cast<std::uint16_t>(message[0] * 256 + (message.size() > 1 ? message[1] : 0)));
}

SimUnitModel::Reply CatalogueUnitModel::answerCommand(std::uint16_t word) {
    const std::uint8_t high = word >> 8;
    const std::uint8_t low = word & 0xFF;
    const auto& p = m_profile;
    // The probe bit that shows the line follows the relays; every other bit is the profile's.
    const auto probeByte = [this](std::uint8_t base, LineSense sense, std::uint8_t bit) {
        if (m_profile.lineSense != sense) {
            return base;
        }
        return static_cast<std::uint8_t>(linePresent() ? (base & ~bit) : (base | bit));
    };
    switch (high) {
        case 0x90:
            if (!p.algorithmWord) {
                return std::nullopt;
            }
            return Word(static_cast<std::uint16_t>(0x9000 | (*p.algorithmWord & 0xFFF)));
        case 0xA0:
            if (!p.firmware) {
                return std::nullopt;
            }
            return Word(static_cast<std::uint16_t>(0xA000 | (p.firmware->major & 0x3F) << 4 |
                                                   (p.firmware->minor & 0xF)));
        case 0xA4:
            return Word(static_cast<std::uint16_t>(0xA400 | (p.protocolLevel & 0x3FF)));
        case 0x36:
            return Word(static_cast<std::uint16_t>(0x3600 | p.probe36));
        case 0x40:
            return Word(
                static_cast<std::uint16_t>(0x4000 | probeByte(p.probe40, LineSense::Probe40Bit3, 0x08)));
        case 0x41:
            return Word(
                static_cast<std::uint16_t>(0x4100 | probeByte(p.probe41, LineSense::Probe41Bit1, 0x02)));
        case 0x20:
            m_relayArmed = true;
            break;
        case 0x21:
            if (m_relayArmed) {
                m_relay = !m_relay;
                m_relayArmed = false;
                updateLineStatusParameter();
            }
            break;
        case 0x27:
            m_selectArmed = true;
            break;
        case 0x26:
            if (m_selectArmed) {
                m_lineSelect = !m_lineSelect;
                m_selectArmed = false;
                updateLineStatusParameter();
            }
            break;
        case 0x80:
            return Word(static_cast<std::uint16_t>(word | (state().switchOn(low & 0x7F) ? 0x200 : 0)));
        case 0x84:
            state().setSwitch(low, false);
            break;
        case 0x86:
            state().setSwitch(low, true);
            break;
        case 0xB3: {
            const int nibble = (low >> 4) & 0x7;
            return Word(static_cast<std::uint16_t>((word & 0xFFF0) | ((p.unitId >> (4 * nibble)) & 0xF)));
        }
        default:
            break;
    }
    if (high >= 0x50 && high <= 0x57) {
        const std::uint8_t reg = high & 0x7;
        state().setReg(reg, low);
        if (reg == speakerRegister()) {
            state().setSpeakerVolumeStep(low & 63);
        } else if (reg == 3) {
            state().setMicrophoneGainStep(low & 63);
        }
    } else if (high >= 0x60 && high <= 0x67) {
        return Word(static_cast<std::uint16_t>(high << 8 | (state().reg(high & 0x7) & 0xFF)));
    }
    return Word(word);
}

SimUnitModel::Reply CatalogueUnitModel::answerFrame(std::span<const std::uint8_t> message) {
    const auto& p = m_profile;
    // Older firmware has no frame interpreter; parameter access needs level 13.
    if (p.protocolLevel < 11) {
        return std::nullopt;
    }
    Bytes reply(message.begin(), message.end());
    reply.resize(8, 0);
    const auto putWords = [&reply](std::uint16_t w0, std::uint16_t w1) {
        reply[4] = static_cast<std::uint8_t>(w0 >> 8);
        reply[5] = static_cast<std::uint8_t>(w0 & 0xFF);
        reply[6] = static_cast<std::uint8_t>(w1 >> 8);
        reply[7] = static_cast<std::uint8_t>(w1 & 0xFF);
    };
    switch (reply[1]) {
        case 0x03:
            if (!p.hardwareConfig) {
                return std::nullopt;
            }
            std::copy(p.hardwareConfig->begin(), p.hardwareConfig->end(), reply.begin() + 2);
            return reply;
        case 0x05:
            putWords(static_cast<std::uint16_t>(p.unitId >> 16),
                     static_cast<std::uint16_t>(p.unitId & 0xFFFF));
            return reply;
        case 0x11:
        case 0x21: {
            const bool main = reply[1] == 0x11;
            if (reply[2] == 0x0A) {
                const auto& status = main ? p.mainStatus : p.interfaceStatus;
                if (!status) {
                    reply[2] = 0x80;
                    reply[3] = 0xFB;
                } else {
                    reply[2] = 0;
                    putWords(status->word0, status->word1);
                }
                return reply;
            }
            if (reply[2] == 0x19) {
                const auto& pics = main ? p.mainPic : p.interfacePic;
                const auto it = pics.find(reply[3]);
                if (it == pics.end()) {
                    reply[2] |= 0x80;
                } else {
                    reply[4] = it->second.major;
                    reply[5] = it->second.minor;
                    reply[7] = it->second.id;
                }
                return reply;
            }
            return reply;
        }
        case 0x18:
            if (!p.interfaceBoardWord) {
                return std::nullopt;
            }
            reply[6] = static_cast<std::uint8_t>(*p.interfaceBoardWord >> 8);
            reply[7] = static_cast<std::uint8_t>(*p.interfaceBoardWord & 0xFF);
            return reply;
        case 0x1A: {
            const std::size_t start = static_cast<std::size_t>(reply[2]) * 4;
            for (std::size_t i = 0; i < 4; ++i) {
                const std::size_t at = start + i;
                reply[4 + i] = at < p.serialNumber.size() ? static_cast<std::uint8_t>(p.serialNumber[at]) : 0;
            }
            return reply;
        }
        case 0x06:
        case 0x15:
            return reply;
        default:
            if (p.protocolLevel < 13) {
                return std::nullopt;
            }
            return answerParameterFrame(message);
    }
}

void CatalogueUnitModel::onParameterBitsWritten(std::uint8_t page, std::uint8_t parameter) {
    if (page != kNetworkPage || parameter != kNetworkControl || !m_profile.network) {
        return;
    }
    const std::uint16_t control = state().parameter(page, parameter, 0).value_or(0);
    if ((control & 0x02) == 0) {
        return;
    }
    const auto request = state().parameter(kNetworkPage, kNetworkParameter, 0).value_or(0);
    const std::array<std::uint16_t, 4>* answer = nullptr;
    switch (request) {
        case 1:
            m_loopback = true;
            break;
        case 2:
            m_loopback = false;
            break;
        case 4:
            answer = &m_profile.macWords;
            break;
        case 6:
            answer = &m_profile.sipWords;
            break;
        case 8:
            answer = &m_profile.ipWords;
            break;
        default:
            break;
    }
    if (answer != nullptr) {
        for (std::uint8_t i = 0; i < 4; ++i) {
            state().setParameter(kNetworkPage, kNetworkParameter, static_cast<std::uint8_t>(i + 1),
                                 (*answer)[i]);
        }
    }
    // The request is done: the processor lowers the bit again.
    state().setParameter(page, parameter, 0, static_cast<std::uint16_t>(control & ~0x02));
}

}  // namespace sim
