#include "device/RouteMatching.h"

#include "device/ReplyMatching.h"

namespace {

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, std::size_t index) {
    return index < a.size() && index < b.size() && a[index] == b[index];
}

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

int AcceptRouteReply(std::span<const std::uint8_t> message, std::span<const std::uint8_t> reply) {
    if (message.size() < 2 || reply.size() < 2) {
        return -1;
    }
    const int requestCode = message[0] * 256 + message[1];
    const int replyCode = reply[0] * 256 + reply[1];
    if (replyCode == 0xFFFF) {
        return -1;
    }
    const std::uint16_t mask = ReplyCodeMask(requestCode);
    if ((replyCode & mask) != (requestCode & mask)) {
        return -1;
    }
    bool echoed = true;
    switch (requestCode) {
        case 0xF000:
        case 0xF001:
            echoed = same(message, reply, 2);
            break;
        case 0xF006:
            echoed = same(message, reply, 6) && same(message, reply, 7);
            break;
        case 0xF007:
            echoed = same(message, reply, 7);
            break;
        case 0xF00C:
        case 0xF00D:
        case 0xF00E:
        case 0xF00F:
            echoed = same(message, reply, 3) && same(message, reply, 4);
            break;
        default:
            break;
    }
    return echoed ? replyCode : -1;
}

bool DecodeHexBytes(std::span<const char> text, std::span<std::uint8_t> out) {
    if (text.size() < out.size() * 2) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

void AppendHexBytes(std::span<const std::uint8_t> bytes, char* out) {
    static const char* digits = "0123456789ABCDEF";
    for (const std::uint8_t b : bytes) {
        *out++ = digits[b >> 4];
        *out++ = digits[b & 0xF];
    }
}
