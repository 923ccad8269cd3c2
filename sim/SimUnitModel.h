#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/UnitState.h"

namespace sim {

// What one simulated unit's firmware answers to a message. A reply is the message part of an
// input report (its first two bytes the reply code); nullopt means the unit stays silent.
class SimUnitModel {
public:
    using Reply = std::optional<std::vector<std::uint8_t>>;
    using CommandHandler = std::function<Reply(std::span<const std::uint8_t> message)>;

    SimUnitModel(int productCode, int unitNumber, std::shared_ptr<UnitState> state = nullptr);
    virtual ~SimUnitModel() = default;

    int productCode() const { return m_productCode; }
    int unitNumber() const { return m_unitNumber; }
    UnitState& state() { return *m_state; }
    std::shared_ptr<UnitState> sharedState() { return m_state; }

    // Answers one message: a handler registered for its request code (the first two bytes)
    // wins; otherwise the firmware answers (answerFirmware).
    Reply answer(std::span<const std::uint8_t> message);

    // Registers what the unit answers to one request code.
    void onRequest(std::uint16_t requestCode, CommandHandler handler);

    // A text parameter of the processor, read character by character (F0 0F with flags 3 and 2).
    void setTextParameter(std::uint8_t page, std::uint8_t parameter, std::string text);
    // The processor refuses every access to this parameter with errorByte (251..255 are the
    // documented refusals).
    void refuseParameter(std::uint8_t page, std::uint8_t parameter, std::uint8_t errorByte);
    // Whether a read of a parameter that was never written is refused (error byte 254) or
    // answered with 0xFFFF.
    void setRefuseUnknownParameters(bool refuse) { m_refuseUnknown = refuse; }

protected:
    // Command words are echoed and parameter frames go to answerParameterFrame.
    virtual Reply answerFirmware(std::span<const std::uint8_t> message);

    // The processor's parameter operations: F0 0C writes one word, F0 0D reads one, F0 0E writes
    // an indexed word (flags 3: the start of a multi-word write), F0 0F reads an indexed word
    // (flags 3: a text's length, flags 2: one of its characters), F0 17 writes masked bits of
    // index 0. Each reply repeats the frame; a read puts the word in bytes 6-7; a refusal sets
    // bit 7 of byte 2 and the error number in byte 7. Other operations are echoed.
    Reply answerParameterFrame(std::span<const std::uint8_t> message);

    // Called after a masked bit write (F0 17) changed parameter (page, parameter).
    virtual void onParameterBitsWritten(std::uint8_t page, std::uint8_t parameter);

private:
    static void refuse(std::vector<std::uint8_t>& reply, std::uint8_t errorByte);

    int m_productCode;
    int m_unitNumber;
    std::shared_ptr<UnitState> m_state;
    std::map<std::uint16_t, CommandHandler> m_handlers;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::string> m_texts;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint8_t> m_refusals;
    bool m_refuseUnknown = false;
};

}  // namespace sim
