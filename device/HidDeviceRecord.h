#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Hid.h"

// One HID interface of the machine and the free functions that open it, describe it and move
// its reports. The device object keeps a list of these, a write record and a read record.

// Vendor ids of the units this program drives; only their records get report buffers.
inline constexpr std::uint16_t kSupportedVendorIds[] = {0x0556, 0x3B59, 0x2E71};

bool IsSupportedVendor(std::uint16_t vendorId);

// The udev rule, installed with the program, that gives the users of local seat sessions access
// to the units' hidraw nodes.
inline constexpr const char* kUdevRuleName = "70-quenlor-speakerphone.rules";

// Who is told, besides the debug output, when a unit's node is there but may not be opened: the
// hint names the node, the error and the udev rule. The program shows it to the user. Called on
// the thread that opens; an empty function tells nobody. Thread-safe.
void SetNoAccessListener(std::function<void(const std::string& hint)> listener);

// The most memory that the buffers, caps and data entries of one record may take, and of all the
// records of one device list. Real devices take a few kilobytes; a report descriptor that asks
// for more is refused, not trusted.
inline constexpr std::uint64_t kMaxRecordLayoutBytes = 1024 * 1024;
inline constexpr std::uint64_t kMaxListLayoutBytes = 16 * 1024 * 1024;

// One control of a report. Nothing reads the values; they describe the report's layout.
struct HidDataEntry {
    bool isButton = false;
    std::uint16_t usagePage = 0;
    std::uint32_t status = 0;
    std::uint32_t reportId = 0;
    bool dataSet = false;
    // Button view.
    std::uint32_t usageMin = 0;
    std::uint32_t usageMax = 0;
    std::uint32_t maxUsageListLength = 0;
    std::vector<std::uint16_t> usageList;
    // Value view.
    std::uint16_t usage = 0;
    std::uint32_t value = 0;
    std::int32_t scaledValue = 0;
};

inline constexpr std::uint32_t kHidStatusSuccess = 0x00110000;

// The buffers, caps and data entries of one report kind. Empty vectors stand for "none".
struct HidReportSet {
    std::vector<std::uint8_t> report;
    std::vector<HidDataEntry> dataEntries;
    std::vector<platform::HidControlCap> buttonCaps;
    std::vector<platform::HidControlCap> valueCaps;
    bool allocated = false;  // the fill reached this kind (an empty report is still "allocated")
};

struct HidDeviceRecord {
    HidDeviceRecord() = default;
    HidDeviceRecord(HidDeviceRecord&&) noexcept = default;
    HidDeviceRecord& operator=(HidDeviceRecord&&) noexcept = default;
    HidDeviceRecord(const HidDeviceRecord&) = delete;
    HidDeviceRecord& operator=(const HidDeviceRecord&) = delete;

    bool hasPath = false;
    std::string devicePath;
    std::unique_ptr<platform::IHidDevice> handle;  // null while closed
    bool openedForRead = false;
    bool openedForWrite = false;
    bool openedOverlapped = false;
    bool openedExclusive = false;
    bool hasPreparsedData = false;
    platform::HidCaps caps;
    platform::HidAttributes attributes;
    std::uint8_t outputReportId = 0;  // what byte 0 of an output report carries
    HidReportSet input;
    HidReportSet output;
    HidReportSet feature;
    std::uint32_t inputDataEntryCount() const { return static_cast<std::uint32_t>(input.dataEntries.size()); }

    bool isOpen() const { return handle != nullptr; }
};

// Lists every present HID interface into records (each opened with no access for its
// attributes and capabilities). False with an empty list when the listing cannot be had or
// memory runs out.
bool EnumerateHidDevices(platform::IHidBus& bus, std::vector<HidDeviceRecord>& records);

// Opens path into record (which must be closed). False leaves the record closed; a node of a
// supported vendor that the user may not open, and a descriptor that asks for more than
// kMaxRecordLayoutBytes, are told in the debug output.
bool OpenHidDevice(platform::IHidBus& bus, const std::string* path, bool readAccess, bool writeAccess,
                   bool overlapped, bool exclusive, HidDeviceRecord& record);

// Allocates the report buffers, caps and data entries of an open record.
bool FillDeviceInfo(HidDeviceRecord& record);

// What FillDeviceInfo allocates for an interface with this description, in bytes.
std::uint64_t LayoutBytes(const platform::HidDescription& description);

// Forgets the buffers, caps and data entries without the close that releases the handle.
void ClearDeviceCaps(HidDeviceRecord& record);

void CloseHidDevice(HidDeviceRecord& record);
void CloseHidDevices(std::vector<HidDeviceRecord>& records);

// Reads one input report into the record's input buffer, waiting up to timeoutMs.
platform::HidIoStatus ReadInputReport(HidDeviceRecord& record, std::uint32_t timeoutMs);

// Reads and drops the input reports queued on the record's handle, without waiting.
void DrainInputReports(HidDeviceRecord& record);

// Writes the record's whole output buffer as one report; true when every byte went out.
bool WriteReport(HidDeviceRecord& record);
