#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/Hid.h"
#include "platform/Result.h"

namespace platform {

// What one top-level collection, or a whole descriptor, declares as a HID parser sees it.
struct HidCollectionDescriptor {
    std::uint16_t usagePage = 0;  // of the (first) top-level collection
    std::uint16_t usage = 0;
    // By HidReportKind: the report IDs of the kind's reports in order of first use (0 for an
    // unnumbered report); the longest report of the kind in bytes plus the report-ID byte, which
    // every report buffer carries, 0 when there is no report of the kind; and the ID of that
    // longest report.
    std::array<std::vector<std::uint8_t>, 3> reportIds;
    std::array<std::uint16_t, 3> reportByteLength{};
    std::array<std::uint8_t, 3> longestReportId{};
    std::array<std::vector<HidControlCap>, 3> buttonCaps;
    std::array<std::vector<HidControlCap>, 3> valueCaps;
};

// A whole report descriptor, and each of its top-level collections on its own. A report's length
// counts every field of its report ID wherever it is declared, as the device sends it.
struct HidReportDescriptor : HidCollectionDescriptor {
    bool reportIdsUsed = false;
    std::vector<HidCollectionDescriptor> collections;
};

// Parses a report descriptor (HID 1.11 section 6.2.2). Malformed input gives an error naming the
// fault and its byte offset; nothing is read outside the span.
Result<HidReportDescriptor> parseReportDescriptor(std::span<const std::uint8_t> bytes);

// The description of an interface with these attributes that presents this collection.
HidDescription makeHidDescription(const HidAttributes& attributes, const HidCollectionDescriptor& collection,
                                  bool numberedReports);

// The interfaces of a device with this descriptor: one per top-level collection when its
// reports are numbered (the ID tells whose each report is), else one for the whole descriptor.
std::vector<HidDescription> describeInterfaces(const HidAttributes& attributes,
                                               const HidReportDescriptor& descriptor);

}  // namespace platform
