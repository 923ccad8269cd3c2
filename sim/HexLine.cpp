#include "sim/HexLine.h"

namespace sim {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool parseHexLine(std::string_view line, HexLine& out) {
    if (line.size() != 16 && line.size() != 17) {
        return false;
    }
    out.unit = 0;
    if (line.size() == 17) {
        out.unit = line[0] - '0';
        if (out.unit > 9) {
            out.unit -= 7;
        }
        line.remove_prefix(1);
    }
    for (std::size_t i = 0; i < out.bytes.size(); ++i) {
        const int high = hexValue(line[2 * i]);
        const int low = hexValue(line[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

std::string hexDigits(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

}  // namespace sim
