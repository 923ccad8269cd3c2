#pragma once

#include <cstdint>
#include <span>

namespace platform {

// Upper-case hexadecimal text of bytes, two digits a byte, as the serial and IP routes carry it.

// Decodes out.size() bytes from the start of text; false, leaving out unspecified, when text is
// too short or holds anything but upper-case hexadecimal digits there.
bool decodeHexBytes(std::span<const char> text, std::span<std::uint8_t> out);

// Writes two digits a byte to out, which has room for 2 * bytes.size() characters.
void appendHexDigits(std::span<const std::uint8_t> bytes, char* out);

}  // namespace platform
