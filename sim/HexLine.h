#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sim {

// The text form of a message on the serial and IP routes, as the simulated units read it.
struct HexLine {
    int unit = 0;  // 0: the local unit; else the unit named by the line's unit character
    std::array<std::uint8_t, 8> bytes{};
};

// Parses 16 upper-case hexadecimal digits, after a unit character when there are 17
// characters. False for anything else.
bool parseHexLine(std::string_view line, HexLine& out);

// Two upper-case hexadecimal digits per byte.
std::string hexDigits(std::span<const std::uint8_t> bytes);

}  // namespace sim
