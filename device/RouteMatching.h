#pragma once

#include <cstdint>
#include <span>

// Matching of a reply on the COM, slave and IP routes, which check fewer echoes than the HID
// route. Both spans hold 8 bytes or more; returns the reply code when the reply answers the
// request, else -1 (also for the code 0xFFFF, which means "no reply").
int AcceptRouteReply(std::span<const std::uint8_t> message, std::span<const std::uint8_t> reply);

// Two hexadecimal digits per byte, upper-case. DecodeHexBytes takes upper-case digits only and
// returns false, leaving out unspecified, when text is too short or holds anything else.
bool DecodeHexBytes(std::span<const char> text, std::span<std::uint8_t> out);
void AppendHexBytes(std::span<const std::uint8_t> bytes, char* out);
