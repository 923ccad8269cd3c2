#include "platform/HidReportDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

namespace platform {
namespace {

// Limits that keep every length and count inside the fields of HidCaps and HidControlCap. The
// report size limit is the one the Linux HID core enforces, so no device beyond it has a hidraw node.
constexpr std::uint32_t kMaxReportSizeBits = 256;
constexpr std::uint32_t kMaxReportCount = 0xFFFF;
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;  // plus the report-ID byte fits 16 bits
constexpr std::size_t kMaxPushDepth = 32;

// Item types and tags of short items (HID 1.11 sections 6.2.2.2, 6.2.2.4, 6.2.2.7, 6.2.2.8).
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

enum MainTag : std::uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC,
};

enum GlobalTag : std::uint8_t {
    kUsagePage = 0x0,
    kLogicalMinimum = 0x1,
    kLogicalMaximum = 0x2,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};

enum LocalTag : std::uint8_t {
    kUsage = 0x0,
    kUsageMinimum = 0x1,
    kUsageMaximum = 0x2,
    kDelimiter = 0xA,
};

constexpr std::uint8_t kLongItemPrefix = 0xFE;  // section 6.2.2.3

// Main item data bits (section 6.2.2.5).
constexpr std::uint32_t kConstantBit = 0x01;
constexpr std::uint32_t kVariableBit = 0x02;

struct ShortItem {
    std::uint8_t type = 0;
    std::uint8_t tag = 0;
    std::size_t size = 0;  // data bytes: 0, 1, 2 or 4
    std::uint32_t data = 0;

    std::int32_t signedData() const {
        switch (size) {
            case 1:
                return static_cast<std::int8_t>(data);
            case 2:
                return static_cast<std::int16_t>(data);
            default:
                return static_cast<std::int32_t>(data);
        }
    }
};

// The state that Push and Pop save and restore (section 6.2.2.7).
struct GlobalState {
    std::uint16_t usagePage = 0;
    std::int64_t logicalMinimum = 0;
    std::int64_t logicalMaximum = 0;
    std::uint32_t logicalMaximumRaw = 0;  // the item's data read unsigned
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

// A usage or a usage range of the local state. A usage given in 4 bytes names its own page;
// a shorter one takes the usage page in effect at the main item.
struct UsageEntry {
    std::optional<std::uint16_t> page;
    std::uint16_t minimum = 0;
    std::uint16_t maximum = 0;
    bool isRange = false;
};

struct LocalState {
    std::vector<UsageEntry> usages;
    std::optional<std::uint32_t> usageMinimum;  // raw item data, waiting for its other end
    std::optional<std::uint32_t> usageMaximum;
    std::size_t usageMinimumSize = 0;
    bool inDelimiter = false;
    bool delimiterTaken = false;  // a delimited set's first usage counts; the rest are aliases
};

PlatformError malformed(const std::string& what, std::size_t offset) {
    return PlatformError{EINVAL,
                         "malformed report descriptor: " + what + " at byte " + std::to_string(offset)};
}

class Parser {
public:
    explicit Parser(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    Result<HidReportDescriptor> run() {
        if (m_bytes.empty()) {
            return PlatformError{EINVAL, "malformed report descriptor: empty"};
        }
        std::size_t pos = 0;
        while (pos < m_bytes.size()) {
            const std::size_t start = pos;
            if (m_bytes[pos] == kLongItemPrefix) {
                // Long item: prefix, data size, tag, data. No long item tags are defined; skip it.
                if (m_bytes.size() - pos < 3 || m_bytes.size() - pos - 3 < m_bytes[pos + 1]) {
                    return malformed("truncated long item", start);
                }
                pos += 3 + m_bytes[pos + 1];
                continue;
            }
            ShortItem item;
            const std::uint8_t prefix = m_bytes[pos];
            item.size = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
            item.type = (prefix >> 2) & 0x3;
            item.tag = prefix >> 4;
            if (m_bytes.size() - pos - 1 < item.size) {
                return malformed("truncated item", start);
            }
            for (std::size_t i = 0; i < item.size; ++i) {
                item.data |= static_cast<std::uint32_t>(m_bytes[pos + 1 + i]) << (8 * i);
            }
            pos += 1 + item.size;

            std::optional<PlatformError> error;
            switch (item.type) {
                case kMain:
                    error = mainItem(item, start);
                    break;
                case kGlobal:
                    error = globalItem(item, start);
                    break;
                case kLocal:
                    error = localItem(item, start);
                    break;
                default:
                    break;  // reserved item type: nothing defined to do
            }
            if (error) {
                return *error;
            }
        }
        if (m_collectionDepth != 0) {
            return malformed("Collection not ended", m_bytes.size());
        }
        if (!m_sawCollection) {
            return PlatformError{EINVAL, "malformed report descriptor: declares no collection"};
        }
        finishLengths(m_result);
        for (auto& collection : m_result.collections) {
            finishLengths(collection);
        }
        return m_result;
    }

private:
    std::optional<PlatformError> mainItem(const ShortItem& item, std::size_t offset) {
        std::optional<PlatformError> error;
        switch (item.tag) {
            case kInput:
                error = dataItem(HidReportKind::Input, item.data, offset);
                break;
            case kOutput:
                error = dataItem(HidReportKind::Output, item.data, offset);
                break;
            case kFeature:
                error = dataItem(HidReportKind::Feature, item.data, offset);
                break;
            case kCollection:
                error = collection(offset);
                break;
            case kEndCollection:
                if (m_collectionDepth == 0) {
                    error = malformed("End Collection without Collection", offset);
                } else if (--m_collectionDepth == 0) {
                    m_current.reset();
                }
                break;
            default:
                break;  // reserved main item tag
        }
        // Every main item ends the local state (section 6.2.2.8).
        m_local = LocalState{};
        return error;
    }

    std::optional<PlatformError> collection(std::size_t offset) {
        std::vector<UsageEntry> usages;
        if (auto error = takeUsages(usages, offset)) {
            return error;
        }
        if (m_collectionDepth == 0) {
            HidCollectionDescriptor top;
            if (!usages.empty()) {
                top.usagePage = *usages.front().page;
                top.usage = usages.front().minimum;
            } else {
                top.usagePage = m_global.usagePage;
            }
            if (!m_sawCollection) {
                m_result.usagePage = top.usagePage;
                m_result.usage = top.usage;
            }
            m_result.collections.push_back(std::move(top));
            m_current = m_result.collections.size() - 1;
        }
        m_sawCollection = true;
        ++m_collectionDepth;
        return std::nullopt;
    }

    // The whole descriptor, and the top-level collection an item is in (none outside one).
    std::array<HidCollectionDescriptor*, 2> targets() {
        return {&m_result, m_current ? &m_result.collections[*m_current] : nullptr};
    }

    // Each kind's longest report among those the collection declares.
    void finishLengths(HidCollectionDescriptor& collection) const {
        for (std::size_t kind = 0; kind < 3; ++kind) {
            std::uint64_t longest = 0;
            for (const std::uint8_t id : collection.reportIds[kind]) {
                const std::uint64_t bytes = (m_reportBits[kind][id] + 7) / 8;
                if (collection.reportByteLength[kind] == 0 || bytes > longest) {
                    longest = bytes;
                    collection.longestReportId[kind] = id;
                    collection.reportByteLength[kind] = static_cast<std::uint16_t>(longest + 1);
                }
            }
        }
    }

    // An Input, Output or Feature item: the field's bits extend the current report, and the
    // field's usages become button or value caps.
    std::optional<PlatformError> dataItem(HidReportKind kind, std::uint32_t flags, std::size_t offset) {
        const auto k = static_cast<std::size_t>(kind);
        for (auto* target : targets()) {
            if (target != nullptr) {
                auto& ids = target->reportIds[k];
                if (std::find(ids.begin(), ids.end(), m_global.reportId) == ids.end()) {
                    ids.push_back(m_global.reportId);
                }
            }
        }
        std::uint64_t& bits = m_reportBits[k][m_global.reportId];
        bits += static_cast<std::uint64_t>(m_global.reportSize) * m_global.reportCount;
        if (bits > kMaxReportBits) {
            return malformed("report longer than 65534 bytes", offset);
        }

        std::vector<UsageEntry> usages;
        if (auto error = takeUsages(usages, offset)) {
            return error;
        }
        if (m_global.reportSize == 0 || m_global.reportCount == 0) {
            return std::nullopt;  // no data, no control
        }
        if (usages.empty()) {
            if (flags & kConstantBit) {
                return std::nullopt;  // padding
            }
            usages.push_back(UsageEntry{m_global.usagePage, 0, 0, false});
        }

        const bool isArray = (flags & kVariableBit) == 0;
        std::int64_t logicalMaximum = m_global.logicalMaximum;
        if (m_global.logicalMinimum >= 0 && logicalMaximum < 0) {
            // A maximum written in too few bytes to be positive, as 0x25 0xFF for 255.
            logicalMaximum = m_global.logicalMaximumRaw;
        }
        const bool isButton =
            isArray || (m_global.reportSize == 1 && m_global.logicalMinimum == 0 && logicalMaximum == 1);
        const auto addCap = [this, k, isButton](HidControlCap cap, const UsageEntry& usage,
                                                std::uint16_t maximum) {
            cap.usagePage = *usage.page;
            cap.isRange = usage.isRange;
            cap.usageMin = usage.minimum;
            cap.usageMax = usage.isRange ? maximum : usage.minimum;
            for (auto* target : targets()) {
                if (target != nullptr) {
                    (isButton ? target->buttonCaps[k] : target->valueCaps[k]).push_back(cap);
                }
            }
        };

        HidControlCap cap;
        cap.reportId = m_global.reportId;
        cap.bitSize = static_cast<std::uint16_t>(m_global.reportSize);
        if (isArray) {
            // Each usage of an array field is one button cap over all of the field's slots.
            cap.reportCount = static_cast<std::uint16_t>(m_global.reportCount);
            for (const auto& usage : usages) {
                addCap(cap, usage, usage.maximum);
            }
            return std::nullopt;
        }
        // A variable field gives its slots to its usages in order; the last usage takes all that
        // remain, and usages beyond the slots are unused.
        std::uint32_t remaining = m_global.reportCount;
        for (std::size_t i = 0; i < usages.size() && remaining > 0; ++i) {
            const auto& usage = usages[i];
            const std::uint32_t span = static_cast<std::uint32_t>(usage.maximum - usage.minimum) + 1;
            const bool last = i + 1 == usages.size();
            const std::uint32_t slots = last ? remaining : std::min(span, remaining);
            cap.reportCount = static_cast<std::uint16_t>(slots);
            const auto maximum = static_cast<std::uint16_t>(usage.minimum + std::min(span, slots) - 1);
            addCap(cap, usage, maximum);
            remaining -= slots;
        }
        return std::nullopt;
    }

    // Hands over the local usages, each with its page resolved, for the main item at offset.
    std::optional<PlatformError> takeUsages(std::vector<UsageEntry>& usages, std::size_t offset) {
        if (m_local.usageMinimum.has_value() != m_local.usageMaximum.has_value()) {
            return malformed(m_local.usageMinimum ? "Usage Minimum without Usage Maximum"
                                                  : "Usage Maximum without Usage Minimum",
                             offset);
        }
        usages = std::move(m_local.usages);
        for (auto& usage : usages) {
            if (!usage.page) {
                usage.page = m_global.usagePage;
            }
        }
        return std::nullopt;
    }

    std::optional<PlatformError> globalItem(const ShortItem& item, std::size_t offset) {
        switch (item.tag) {
            case kUsagePage:
                if (item.data > 0xFFFF) {
                    return malformed("Usage Page above 0xFFFF", offset);
                }
                m_global.usagePage = static_cast<std::uint16_t>(item.data);
                break;
            case kLogicalMinimum:
                m_global.logicalMinimum = item.signedData();
                break;
            case kLogicalMaximum:
                m_global.logicalMaximum = item.signedData();
                m_global.logicalMaximumRaw = item.data;
                break;
            case kReportSize:
                if (item.data > kMaxReportSizeBits) {
                    return malformed("Report Size of " + std::to_string(item.data) + " bits", offset);
                }
                m_global.reportSize = item.data;
                break;
            case kReportId:
                // Report ID 0 is reserved (section 6.2.2.7); IDs are one byte.
                if (item.data == 0 || item.data > 0xFF) {
                    return malformed("Report ID " + std::to_string(item.data), offset);
                }
                m_global.reportId = static_cast<std::uint8_t>(item.data);
                m_result.reportIdsUsed = true;
                break;
            case kReportCount:
                if (item.data > kMaxReportCount) {
                    return malformed("Report Count of " + std::to_string(item.data), offset);
                }
                m_global.reportCount = item.data;
                break;
            case kPush:
                if (m_globalStack.size() >= kMaxPushDepth) {
                    return malformed("Push nested too deeply", offset);
                }
                m_globalStack.push_back(m_global);
                break;
            case kPop:
                if (m_globalStack.empty()) {
                    return malformed("Pop without Push", offset);
                }
                m_global = m_globalStack.back();
                m_globalStack.pop_back();
                break;
            default:
                break;  // physical range, units, reserved tags: no bearing on caps or lengths
        }
        return std::nullopt;
    }

    std::optional<PlatformError> localItem(const ShortItem& item, std::size_t offset) {
        switch (item.tag) {
            case kUsage:
                addUsage(usageEntry(item.data, item.size, item.data, false));
                break;
            case kUsageMinimum:
                m_local.usageMinimum = item.data;
                m_local.usageMinimumSize = item.size;
                return completeRange(offset);
            case kUsageMaximum:
                m_local.usageMaximum = item.data;
                return completeRange(offset);
            case kDelimiter:
                // Opens (1) or closes (0) a set of alternative usages (section 6.2.2.8).
                if (item.data == 1) {
                    if (m_local.inDelimiter) {
                        return malformed("nested Delimiter", offset);
                    }
                    m_local.inDelimiter = true;
                    m_local.delimiterTaken = false;
                } else if (item.data == 0) {
                    if (!m_local.inDelimiter) {
                        return malformed("Delimiter close without open", offset);
                    }
                    m_local.inDelimiter = false;
                } else {
                    return malformed("Delimiter value " + std::to_string(item.data), offset);
                }
                break;
            default:
                break;  // designators and strings: no bearing on caps or lengths
        }
        return std::nullopt;
    }

    std::optional<PlatformError> completeRange(std::size_t offset) {
        if (!m_local.usageMinimum || !m_local.usageMaximum) {
            return std::nullopt;
        }
        const UsageEntry range =
            usageEntry(*m_local.usageMinimum, m_local.usageMinimumSize, *m_local.usageMaximum, true);
        if (range.minimum > range.maximum) {
            return malformed("Usage Minimum above Usage Maximum", offset);
        }
        m_local.usageMinimum.reset();
        m_local.usageMaximum.reset();
        addUsage(range);
        return std::nullopt;
    }

    static UsageEntry usageEntry(std::uint32_t first, std::size_t size, std::uint32_t last, bool isRange) {
        UsageEntry entry;
        if (size == 4) {
            entry.page = static_cast<std::uint16_t>(first >> 16);
        }
        entry.minimum = static_cast<std::uint16_t>(first & 0xFFFF);
        entry.maximum = static_cast<std::uint16_t>(last & 0xFFFF);
        entry.isRange = isRange;
        return entry;
    }

    void addUsage(const UsageEntry& entry) {
        if (m_local.inDelimiter) {
            if (m_local.delimiterTaken) {
                return;
            }
            m_local.delimiterTaken = true;
        }
        m_local.usages.push_back(entry);
    }

    std::span<const std::uint8_t> m_bytes;
    HidReportDescriptor m_result;
    GlobalState m_global;
    std::vector<GlobalState> m_globalStack;
    LocalState m_local;
    std::size_t m_collectionDepth = 0;
    bool m_sawCollection = false;
    std::optional<std::size_t> m_current;                          // index of the open top-level collection
    std::array<std::array<std::uint64_t, 256>, 3> m_reportBits{};  // by kind, then report ID
};

}  // namespace

Result<HidReportDescriptor> parseReportDescriptor(std::span<const std::uint8_t> bytes) {
    return Parser(bytes).run();
}

HidDescription makeHidDescription(const HidAttributes& attributes, const HidCollectionDescriptor& collection,
                                  bool numberedReports) {
    HidDescription description;
    description.attributes = attributes;
    description.numberedReports = numberedReports;
    description.reportIds = collection.reportIds;
    description.outputReportId = collection.longestReportId[static_cast<std::size_t>(HidReportKind::Output)];
    description.buttonCaps = collection.buttonCaps;
    description.valueCaps = collection.valueCaps;

    HidCaps& caps = description.caps;
    caps.usagePage = collection.usagePage;
    caps.usage = collection.usage;
    caps.inputReportByteLength = collection.reportByteLength[0];
    caps.outputReportByteLength = collection.reportByteLength[1];
    caps.featureReportByteLength = collection.reportByteLength[2];
    auto count = [](const std::vector<HidControlCap>& caps) {
        return static_cast<std::uint16_t>(std::min<std::size_t>(caps.size(), 0xFFFF));
    };
    caps.numberInputButtonCaps = count(collection.buttonCaps[0]);
    caps.numberInputValueCaps = count(collection.valueCaps[0]);
    caps.numberOutputButtonCaps = count(collection.buttonCaps[1]);
    caps.numberOutputValueCaps = count(collection.valueCaps[1]);
    caps.numberFeatureButtonCaps = count(collection.buttonCaps[2]);
    caps.numberFeatureValueCaps = count(collection.valueCaps[2]);
    return description;
}

std::vector<HidDescription> describeInterfaces(const HidAttributes& attributes,
                                               const HidReportDescriptor& descriptor) {
    // Without report IDs the reports of several collections cannot be told apart: the device
    // is one interface.
    if (!descriptor.reportIdsUsed || descriptor.collections.size() < 2) {
        return {makeHidDescription(attributes, descriptor, descriptor.reportIdsUsed)};
    }
    std::vector<HidDescription> interfaces;
    interfaces.reserve(descriptor.collections.size());
    for (const auto& collection : descriptor.collections) {
        interfaces.push_back(makeHidDescription(attributes, collection, true));
    }
    return interfaces;
}

}  // namespace platform
