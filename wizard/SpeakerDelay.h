#pragma once

#include <cstdint>
#include <optional>
#include <string>

class CHIDProtocol;

// The speaker delay of model 83: a signal-processor parameter of two signed 16-bit words in
// milliseconds, index 0 the delay and index 1 a second word shown when index 0 is unset.
namespace speaker_delay {

inline constexpr std::uint8_t kPage = 0;
inline constexpr std::uint8_t kParameter = 13;
inline constexpr std::uint16_t kUnset = 0xFFFF;
// Sent with the store command after a delay write.
inline constexpr std::uint16_t kDelayCommand = 0x0636;

// The typed delay when it is a whole number the unit's word can hold (0 to 32767). Otherwise
// nullopt after a warning box; an empty text gets the box only when warnWhenEmpty.
std::optional<int> typedDelay(const std::string& text, bool warnWhenEmpty);

// Writes delay to index 0 when the unit holds another value (or cannot tell which), then sends
// the store command and kDelayCommand and waits settleMs. True when it wrote.
bool storeIfChanged(CHIDProtocol& unit, int delay, std::uint32_t settleMs);

}  // namespace speaker_delay
