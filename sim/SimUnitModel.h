#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
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
    // wins; otherwise command words are echoed and parameter frames handled generically.
    virtual Reply answer(std::span<const std::uint8_t> message);

    // Registers what the unit answers to one request code.
    void onRequest(std::uint16_t requestCode, CommandHandler handler);

protected:
    // Parameter frames (F0 op flags page parameter index valueHi valueLo) with no handler: a read
    // (operation 0x0E) returns the stored value, a write (0x0D) stores it; both echo the frame.
    virtual Reply answerParameterFrame(std::span<const std::uint8_t> message);

private:
    int m_productCode;
    int m_unitNumber;
    std::shared_ptr<UnitState> m_state;
    std::map<std::uint16_t, CommandHandler> m_handlers;
};

}  // namespace sim
