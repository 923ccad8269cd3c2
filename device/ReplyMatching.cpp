#include "device/ReplyMatching.h"

std::uint16_t ReplyCodeMask(int requestCode) {
    switch ((requestCode >> 12) & 0xF) {
        case 0x3:
        case 0x7:
            return 0xF600;
        case 0x4:
            return 0xF100;
        case 0x5:
        case 0x6:
            return 0xF700;
        case 0x8:
            return 0xF5FF;
        case 0xA:
            return 0xF400;
        case 0xB: {
            const int highByte = (requestCode >> 8) & 0xFF;
            return (highByte == 0xB2 || highByte == 0xB3) ? 0xF7F0 : 0xF700;
        }
        case 0xF:
            return 0xFFFF;
        default:
            return 0xF000;
    }
}

namespace {

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, std::size_t index) {
    return index < a.size() && index < b.size() && a[index] == b[index];
}

}  // namespace

bool ReplyEchoMatches(int requestCode, std::span<const std::uint8_t> request,
                      std::span<const std::uint8_t> reply) {
    switch (requestCode & 0xFFFF) {
        case 0xF000:
        case 0xF001:
            return same(request, reply, 2);
        case 0xF006:
        case 0xF015:
            return same(request, reply, 6) && same(request, reply, 7);
        case 0xF007:
        case 0xF016:
            return same(request, reply, 7);
        case 0xF00C:
        case 0xF00D:
        case 0xF00E:
        case 0xF00F:
        case 0xF017:
        case 0xF018:
            return same(request, reply, 3) && same(request, reply, 4);
        default:
            return true;
    }
}

AddressBytes ChooseAddressBytes(int targetUnit, int respondingUnit, bool hubForwarding, bool unit99Enabled) {
    const auto low8 = [](int v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const std::uint8_t fromHost = low8(respondingUnit * 16 + 4);
    if (hubForwarding) {
        if (targetUnit == 0) {
            return {0x00, 0x00};
        }
        if (targetUnit == 100) {
            return {0x01, 0x05};
        }
        return {0x01, low8(targetUnit * 16 + 5)};
    }
    if (targetUnit == 100) {
        return {fromHost, 0x05};
    }
    if (targetUnit == 99 && unit99Enabled) {
        return {fromHost, 0x07};
    }
    if (targetUnit == respondingUnit) {
        return {0x00, 0x00};
    }
    return {fromHost, low8(targetUnit * 16 + 5)};
}
