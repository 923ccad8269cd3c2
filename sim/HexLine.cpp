#include "sim/HexLine.h"

#include "platform/HexText.h"

namespace sim {

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
    return platform::decodeHexBytes(line, out.bytes);
}

std::string hexDigits(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size() * 2, '0');
    platform::appendHexDigits(bytes, text.data());
    return text;
}

}  // namespace sim
