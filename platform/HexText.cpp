#include "platform/HexText.h"

namespace platform {
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

bool decodeHexBytes(std::span<const char> text, std::span<std::uint8_t> out) {
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

void appendHexDigits(std::span<const std::uint8_t> bytes, char* out) {
    static const char* digits = "0123456789ABCDEF";
    for (const std::uint8_t b : bytes) {
        *out++ = digits[b >> 4];
        *out++ = digits[b & 0xF];
    }
}

}  // namespace platform
