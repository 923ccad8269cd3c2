#include "device/HidDeviceRecord.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <new>

#include "platform/System.h"

bool IsSupportedVendor(std::uint16_t vendorId) {
    return std::find(std::begin(kSupportedVendorIds), std::end(kSupportedVendorIds), vendorId) !=
           std::end(kSupportedVendorIds);
}

bool EnumerateHidDevices(platform::IHidBus& bus, std::vector<HidDeviceRecord>& records) {
    CloseHidDevices(records);
    records.clear();
    try {
        auto paths = bus.listInterfaces();
        if (!paths) {
            return false;
        }
        records.reserve(paths.value().size());
        std::uint64_t listBytes = 0;
        for (const auto& path : paths.value()) {
            HidDeviceRecord record;
            bool opened = OpenHidDevice(bus, &path, false, false, false, false, record);
            // One device may present many interfaces, each within the bound of one record.
            if (opened && record.input.allocated) {
                const std::uint64_t bytes = LayoutBytes(record.handle->description());
                if (listBytes + bytes > kMaxListLayoutBytes) {
                    platform::debugOutput(
                        "HID interface " + path + ": the device list would take more than " +
                        std::to_string(kMaxListLayoutBytes) + " bytes of controls; not opened\n");
                    CloseHidDevice(record);
                    opened = false;
                } else {
                    listBytes += bytes;
                }
            }
            if (!opened) {
                // The interface stays listed with its path and no handle.
                record.hasPath = true;
                record.devicePath = path;
            }
            records.push_back(std::move(record));
        }
        return true;
    } catch (const std::bad_alloc&) {
        CloseHidDevices(records);
        records.clear();
        return false;
    }
}

namespace {

std::mutex& noAccessMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& noAccessListener() {
    static std::function<void(const std::string&)> listener;
    return listener;
}

// A node that the user may not open is the usual sign of a missing udev rule; say so for the
// units this program drives.
void ReportNoAccess(platform::IHidBus& bus, const std::string& path, const platform::PlatformError& error) {
    const auto described = bus.open(path, platform::HidOpenMode{});
    if (!described || !IsSupportedVendor(described.value()->description().attributes.vendorId)) {
        return;
    }
    const std::string hint = error.what + ": the udev rule " + kUdevRuleName +
                             " gives the users of local seat sessions access to the unit";
    platform::debugOutput(hint + "\n");
    std::function<void(const std::string&)> listener;
    {
        std::lock_guard lock(noAccessMutex());
        listener = noAccessListener();
    }
    if (listener) {
        listener(hint);
    }
}

bool OpenPath(platform::IHidBus& bus, const std::string& path, bool readAccess, bool writeAccess,
              bool overlapped, bool exclusive, HidDeviceRecord& record) {
    record.hasPath = true;
    record.devicePath = path;

    auto opened = bus.open(path, platform::HidOpenMode{readAccess, writeAccess, exclusive});
    if (!opened) {
        const int code = opened.error().code;
        if ((readAccess || writeAccess) && (code == EACCES || code == EPERM)) {
            ReportNoAccess(bus, path, opened.error());
        }
        CloseHidDevice(record);
        return false;
    }
    record.handle = std::move(opened.value());
    record.openedExclusive = exclusive;
    record.openedForRead = readAccess;
    record.openedForWrite = writeAccess;
    record.openedOverlapped = overlapped;

    const auto& description = record.handle->description();
    record.hasPreparsedData = true;
    record.attributes = description.attributes;
    record.caps = description.caps;
    record.outputReportId = description.outputReportId;

    if (!IsSupportedVendor(record.attributes.vendorId)) {
        ClearDeviceCaps(record);
        return true;
    }
    if (!FillDeviceInfo(record)) {
        CloseHidDevice(record);
        return false;
    }
    // Linux reads and writes with time-outs on the one descriptor, so the second opening that
    // overlapped I/O needs elsewhere is not made; the record remembers what was asked.
    return true;
}

}  // namespace

void SetNoAccessListener(std::function<void(const std::string& hint)> listener) {
    std::lock_guard lock(noAccessMutex());
    noAccessListener() = std::move(listener);
}

bool OpenHidDevice(platform::IHidBus& bus, const std::string* path, bool readAccess, bool writeAccess,
                   bool overlapped, bool exclusive, HidDeviceRecord& record) {
    record = HidDeviceRecord{};
    if (path == nullptr) {
        CloseHidDevice(record);
        return false;
    }
    // Whatever a device declares, running out of memory over it fails this opening only.
    try {
        return OpenPath(bus, *path, readAccess, writeAccess, overlapped, exclusive, record);
    } catch (const std::bad_alloc&) {
        CloseHidDevice(record);
        platform::debugOutput("HID interface " + *path + ": out of memory for its description; not opened\n");
        return false;
    }
}

namespace {

// The usage-list length of each usage page that the kind's button caps name.
std::map<std::uint16_t, std::uint32_t> UsageListLengths(const platform::HidDescription& description,
                                                        platform::HidReportKind kind) {
    std::map<std::uint16_t, std::uint32_t> lengths;
    for (const auto& cap : description.buttonCaps[static_cast<std::size_t>(kind)]) {
        if (lengths.find(cap.usagePage) == lengths.end()) {
            lengths[cap.usagePage] = platform::maxUsageListLength(description, kind, cap.usagePage);
        }
    }
    return lengths;
}

// What the fill of one kind allocates, in bytes. Each button entry's usage list is as long as
// all the buttons of its page together, so an array item of many usages costs their square.
std::uint64_t KindLayoutBytes(const platform::HidDescription& description, platform::HidReportKind kind,
                              std::uint16_t reportLength) {
    const auto index = static_cast<std::size_t>(kind);
    const auto& buttons = description.buttonCaps[index];
    const auto& values = description.valueCaps[index];
    std::uint64_t entries = buttons.size();
    for (const auto& cap : values) {
        entries += cap.isRange && cap.usageMax >= cap.usageMin ? cap.usageMax - cap.usageMin + 1u : 1u;
    }
    std::uint64_t bytes = reportLength + (buttons.size() + values.size()) * sizeof(platform::HidControlCap) +
                          entries * sizeof(HidDataEntry);
    const auto lengths = UsageListLengths(description, kind);
    for (const auto& cap : buttons) {
        bytes += std::uint64_t{lengths.at(cap.usagePage)} * sizeof(std::uint16_t);
    }
    return bytes;
}

bool FillReportKind(HidDeviceRecord& record, platform::HidReportKind kind, std::uint16_t reportLength,
                    HidReportSet& set) {
    const auto& description = record.handle->description();
    const auto index = static_cast<std::size_t>(kind);
    set.report.assign(reportLength, 0);
    set.buttonCaps = description.buttonCaps[index];
    set.valueCaps = description.valueCaps[index];
    set.allocated = true;

    std::uint64_t values = 0;
    for (const auto& cap : set.valueCaps) {
        if (cap.isRange) {
            if (cap.usageMin > cap.usageMax) {
                return false;
            }
            values += static_cast<std::uint64_t>(cap.usageMax - cap.usageMin) + 1;
        } else {
            values += 1;
        }
    }
    const std::uint64_t count = set.buttonCaps.size() + values;
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    set.dataEntries.clear();
    set.dataEntries.reserve(static_cast<std::size_t>(count));

    const auto usageListLengths = UsageListLengths(description, kind);
    for (const auto& cap : set.buttonCaps) {
        HidDataEntry entry;
        entry.isButton = true;
        entry.status = kHidStatusSuccess;
        entry.usagePage = cap.usagePage;
        entry.usageMin = cap.usageMin;
        entry.usageMax = cap.isRange ? cap.usageMax : cap.usageMin;
        entry.maxUsageListLength = usageListLengths.at(cap.usagePage);
        entry.usageList.assign(entry.maxUsageListLength, 0);
        entry.reportId = cap.reportId;
        set.dataEntries.push_back(std::move(entry));
    }
    for (const auto& cap : set.valueCaps) {
        const std::uint32_t first = cap.usageMin;
        const std::uint32_t last = cap.isRange ? cap.usageMax : cap.usageMin;
        for (std::uint32_t usage = first; usage <= last; ++usage) {
            HidDataEntry entry;
            entry.isButton = false;
            entry.status = kHidStatusSuccess;
            entry.usagePage = cap.usagePage;
            entry.usage = static_cast<std::uint16_t>(usage);
            entry.reportId = cap.reportId;
            set.dataEntries.push_back(std::move(entry));
        }
    }
    return set.dataEntries.size() == count;
}

}  // namespace

bool FillDeviceInfo(HidDeviceRecord& record) {
    if (!record.handle) {
        return false;
    }
    const std::uint64_t bytes = LayoutBytes(record.handle->description());
    if (bytes > kMaxRecordLayoutBytes) {
        platform::debugOutput("HID interface " + record.devicePath + ": its report descriptor asks for " +
                              std::to_string(bytes) + " bytes of controls, more than " +
                              std::to_string(kMaxRecordLayoutBytes) + "; not opened\n");
        return false;
    }
    return FillReportKind(record, platform::HidReportKind::Input, record.caps.inputReportByteLength,
                          record.input) &&
           FillReportKind(record, platform::HidReportKind::Output, record.caps.outputReportByteLength,
                          record.output) &&
           FillReportKind(record, platform::HidReportKind::Feature, record.caps.featureReportByteLength,
                          record.feature);
}

std::uint64_t LayoutBytes(const platform::HidDescription& description) {
    const auto& caps = description.caps;
    return KindLayoutBytes(description, platform::HidReportKind::Input, caps.inputReportByteLength) +
           KindLayoutBytes(description, platform::HidReportKind::Output, caps.outputReportByteLength) +
           KindLayoutBytes(description, platform::HidReportKind::Feature, caps.featureReportByteLength);
}

void ClearDeviceCaps(HidDeviceRecord& record) {
    record.input = HidReportSet{};
    record.output = HidReportSet{};
    record.feature = HidReportSet{};
}

void CloseHidDevice(HidDeviceRecord& record) {
    record.hasPath = false;
    record.devicePath.clear();
    record.handle.reset();
    record.hasPreparsedData = false;
    ClearDeviceCaps(record);
}

void CloseHidDevices(std::vector<HidDeviceRecord>& records) {
    for (auto& record : records) {
        CloseHidDevice(record);
    }
}

platform::HidIoStatus ReadInputReport(HidDeviceRecord& record, std::uint32_t timeoutMs) {
    if (!record.handle || record.input.report.empty()) {
        return platform::HidIoStatus::Failed;
    }
    return record.handle->readInputReport(record.input.report, timeoutMs).status;
}

void DrainInputReports(HidDeviceRecord& record) {
    // More than the kernel queues for a reader (64 reports), so a full queue is emptied; still
    // bounded, so that a unit that streams reports cannot hold the caller.
    constexpr int kMaxDrainedReports = 256;
    for (int i = 0; i < kMaxDrainedReports && ReadInputReport(record, 0) == platform::HidIoStatus::Ok; ++i) {
    }
}

bool WriteReport(HidDeviceRecord& record) {
    if (!record.handle || record.output.report.empty()) {
        return false;
    }
    const auto result = record.handle->writeOutputReport(record.output.report);
    return result.status == platform::HidIoStatus::Ok && result.bytes == record.output.report.size();
}
