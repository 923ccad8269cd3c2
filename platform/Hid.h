#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// The HID service: lists the machine's HID interfaces, opens one, and moves whole reports.
// A real backend (Linux hidraw) and the simulated unit implement it.

enum class HidReportKind { Input = 0, Output = 1, Feature = 2 };

struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

// One button or value control of a report kind, as the report descriptor declares it.
struct HidControlCap {
    std::uint8_t reportId = 0;
    std::uint16_t usagePage = 0;
    bool isRange = false;
    std::uint16_t usageMin = 0;  // the single usage when not a range
    std::uint16_t usageMax = 0;
    std::uint16_t bitSize = 0;
    std::uint16_t reportCount = 0;
};

// Top-level facts of an interface. Report byte lengths include the report-ID byte, which is
// present in every report buffer (0 on a device without numbered reports).
struct HidCaps {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
    std::uint16_t numberInputButtonCaps = 0;
    std::uint16_t numberInputValueCaps = 0;
    std::uint16_t numberOutputButtonCaps = 0;
    std::uint16_t numberOutputValueCaps = 0;
    std::uint16_t numberFeatureButtonCaps = 0;
    std::uint16_t numberFeatureValueCaps = 0;
};

// One interface: a device's top-level collection, or the whole device when its reports carry no
// report ID.
struct HidDescription {
    HidAttributes attributes;
    HidCaps caps;
    bool numberedReports = false;  // the descriptor declares report IDs
    // By HidReportKind, the IDs of this interface's reports (0 for an unnumbered report).
    std::array<std::vector<std::uint8_t>, 3> reportIds;
    // The ID of its longest output report, which a report write carries in byte 0.
    std::uint8_t outputReportId = 0;
    std::array<std::vector<HidControlCap>, 3> buttonCaps;  // by HidReportKind
    std::array<std::vector<HidControlCap>, 3> valueCaps;
};

// The largest number of buttons of one usage page that a report kind can report at once (at
// most 0xFFFFFFFF).
std::uint32_t maxUsageListLength(const HidDescription& description, HidReportKind kind,
                                 std::uint16_t usagePage);

enum class HidIoStatus {
    Ok,
    TimedOut,   // nothing arrived within the time-out
    Unplugged,  // the interface is gone
    Failed,     // any other failure; see error
};

struct HidIoResult {
    HidIoStatus status = HidIoStatus::Failed;
    std::size_t bytes = 0;  // bytes moved, report-ID byte included
    PlatformError error;
};

struct HidOpenMode {
    bool read = false;
    bool write = false;
    bool exclusive = false;
};

// An open HID interface. One thread uses a handle at a time.
class IHidDevice {
public:
    virtual ~IHidDevice() = default;

    virtual const std::string& path() const = 0;
    virtual const HidDescription& description() const = 0;

    // Waits up to timeoutMs for one input report of this interface and puts it in report: byte 0
    // the report ID (0 on a device without numbered reports), the report's data from byte 1.
    // The buffer is the input report byte length long; a shorter report is followed by zeros,
    // and bytes tells how many arrived. Reports of the device's other interfaces are passed over.
    virtual HidIoResult readInputReport(std::span<std::uint8_t> report, std::uint32_t timeoutMs) = 0;

    // Writes one output report; byte 0 is the report ID (0 for an unnumbered report).
    virtual HidIoResult writeOutputReport(std::span<const std::uint8_t> report) = 0;
};

class IHidBus {
public:
    virtual ~IHidBus() = default;

    // Paths of the HID interfaces present now, in a stable order.
    virtual Result<std::vector<std::string>> listInterfaces() = 0;

    // Opens an interface; neither read nor write opens it for its description alone.
    virtual Result<std::unique_ptr<IHidDevice>> open(const std::string& path, HidOpenMode mode) = 0;
};

}  // namespace platform
