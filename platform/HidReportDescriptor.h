#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/Hid.h"
#include "platform/Result.h"

namespace platform {

// What a HID report descriptor declares, as a HID parser sees it: the first top-level collection's
// usage, the report byte lengths and the controls of each report kind.
struct HidReportDescriptor {
    std::uint16_t usagePage = 0;  // of the first top-level collection
    std::uint16_t usage = 0;
    bool reportIdsUsed = false;
    // By HidReportKind: the longest report of the kind in bytes plus the report-ID byte, which
    // every report buffer carries; 0 when the descriptor declares no report of the kind.
    std::array<std::uint16_t, 3> reportByteLength{};
    std::array<std::vector<HidControlCap>, 3> buttonCaps;
    std::array<std::vector<HidControlCap>, 3> valueCaps;
};

// Parses a report descriptor (HID 1.11 section 6.2.2). Malformed input gives an error naming the
// fault and its byte offset; nothing is read outside the span.
Result<HidReportDescriptor> parseReportDescriptor(std::span<const std::uint8_t> bytes);

// The description of an interface with these attributes and this report descriptor.
HidDescription makeHidDescription(const HidAttributes& attributes, const HidReportDescriptor& descriptor);

}  // namespace platform
