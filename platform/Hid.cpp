#include "platform/Hid.h"

#include <algorithm>
#include <limits>

namespace platform {

std::uint32_t maxUsageListLength(const HidDescription& description, HidReportKind kind,
                                 std::uint16_t usagePage) {
    // Counted wide: thousands of caps of 65536 usages each overflow 32 bits.
    std::uint64_t total = 0;
    for (const auto& cap : description.buttonCaps[static_cast<std::size_t>(kind)]) {
        if (cap.usagePage != usagePage) {
            continue;
        }
        if (cap.isRange && cap.usageMax >= cap.usageMin) {
            total += static_cast<std::uint32_t>(cap.usageMax - cap.usageMin) + 1;
        } else {
            total += cap.reportCount > 0 ? cap.reportCount : 1;
        }
    }
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(total, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace platform
