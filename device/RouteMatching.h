#pragma once

#include <cstdint>
#include <span>

// Matching of a reply on the COM, slave and IP routes, which check fewer echoes than the HID
// route. Both spans hold 8 bytes or more; returns the reply code when the reply answers the
// request, else -1 (also for the code 0xFFFF, which means "no reply").
int AcceptRouteReply(std::span<const std::uint8_t> message, std::span<const std::uint8_t> reply);
