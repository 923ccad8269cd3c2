#pragma once

#include <cstdint>
#include <span>

// The matching rules of the request/reply exchange: which reply code answers which request,
// which request bytes a reply must repeat, and the FR/TO address bytes of addressed reports.

// Mask under which a reply's code must equal the request code, by the request's top nibble.
std::uint16_t ReplyCodeMask(int requestCode);

// True when the reply repeats the request bytes that a parameter frame's operation asks for.
// Both spans hold the message (request) and the reply from its first byte on.
bool ReplyEchoMatches(int requestCode, std::span<const std::uint8_t> request,
                      std::span<const std::uint8_t> reply);

struct AddressBytes {
    std::uint8_t fr = 0;
    std::uint8_t to = 0;
};

// Address bytes of an addressed report to target unit `targetUnit`, given the unit that
// answered last and the route flags.
AddressBytes ChooseAddressBytes(int targetUnit, int respondingUnit, bool hubForwarding, bool unit99Enabled);

// Report lengths that carry FR/TO address bytes in their last two bytes.
inline bool IsAddressedReportLength(int length) {
    return length == 11 || length == 43;
}
