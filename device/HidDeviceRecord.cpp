#include "device/HidDeviceRecord.h"

#include <algorithm>
#include <limits>

bool IsSupportedVendor(std::uint16_t vendorId) {
    return std::find(std::begin(kSupportedVendorIds), std::end(kSupportedVendorIds), vendorId) !=
           std::end(kSupportedVendorIds);
}

bool EnumerateHidDevices(platform::IHidBus& bus, std::vector<HidDeviceRecord>& records) {
    CloseHidDevices(records);
    records.clear();
    auto paths = bus.listInterfaces();
    if (!paths) {
        return false;
    }
    records.reserve(paths.value().size());
    for (const auto& path : paths.value()) {
        HidDeviceRecord record;
        if (!OpenHidDevice(bus, &path, false, false, false, false, record)) {
            // The interface stays listed with its path and no handle.
            record.hasPath = true;
            record.devicePath = path;
        }
        records.push_back(std::move(record));
    }
    return true;
}

bool OpenHidDevice(platform::IHidBus& bus, const std::string* path, bool readAccess, bool writeAccess,
                   bool overlapped, bool exclusive, HidDeviceRecord& record) {
    record = HidDeviceRecord{};
    if (path == nullptr) {
        CloseHidDevice(record);
        return false;
    }
    record.hasPath = true;
    record.devicePath = *path;

    auto opened = bus.open(*path, platform::HidOpenMode{readAccess, writeAccess, exclusive});
    if (!opened) {
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

namespace {

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

    for (const auto& cap : set.buttonCaps) {
        HidDataEntry entry;
        entry.isButton = true;
        entry.status = kHidStatusSuccess;
        entry.usagePage = cap.usagePage;
        entry.usageMin = cap.usageMin;
        entry.usageMax = cap.isRange ? cap.usageMax : cap.usageMin;
        entry.maxUsageListLength = platform::maxUsageListLength(description, kind, cap.usagePage);
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
    return FillReportKind(record, platform::HidReportKind::Input, record.caps.inputReportByteLength,
                          record.input) &&
           FillReportKind(record, platform::HidReportKind::Output, record.caps.outputReportByteLength,
                          record.output) &&
           FillReportKind(record, platform::HidReportKind::Feature, record.caps.featureReportByteLength,
                          record.feature);
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

bool WriteReport(HidDeviceRecord& record) {
    if (!record.handle || record.output.report.empty()) {
        return false;
    }
    const auto result = record.handle->writeOutputReport(record.output.report);
    return result.status == platform::HidIoStatus::Ok && result.bytes == record.output.report.size();
}
