// libFuzzer target over the scan of the HID interfaces: the fuzzer's bytes are the report
// descriptor of one hidraw node of a supported vendor, taken through the parse, the split into
// top-level collections (as LinuxHidBus presents them) and the device list's records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/HidDeviceRecord.h"
#include "platform/HidReportDescriptor.h"
#include "platform/System.h"

namespace {

class DescribedInterface : public platform::IHidDevice {
public:
    DescribedInterface(std::string path, platform::HidDescription description)
        : m_path(std::move(path)), m_description(std::move(description)) {}
    const std::string& path() const override { return m_path; }
    const platform::HidDescription& description() const override { return m_description; }
    platform::HidIoResult readInputReport(std::span<std::uint8_t>, std::uint32_t) override {
        return {platform::HidIoStatus::TimedOut, 0, {}};
    }
    platform::HidIoResult writeOutputReport(std::span<const std::uint8_t> report) override {
        return {platform::HidIoStatus::Ok, report.size(), {}};
    }

private:
    std::string m_path;
    platform::HidDescription m_description;
};

// The interfaces of one node, at "/fuzz/hidraw0#N".
class DescriptorBus : public platform::IHidBus {
public:
    explicit DescriptorBus(std::vector<platform::HidDescription> interfaces)
        : m_interfaces(std::move(interfaces)) {}

    platform::Result<std::vector<std::string>> listInterfaces() override {
        std::vector<std::string> paths;
        for (std::size_t i = 0; i < m_interfaces.size(); ++i) {
            paths.push_back("/fuzz/hidraw0#" + std::to_string(i));
        }
        return paths;
    }
    platform::Result<std::unique_ptr<platform::IHidDevice>> open(const std::string& path,
                                                                 platform::HidOpenMode) override {
        const std::size_t index = std::stoul(path.substr(path.find('#') + 1));
        return std::unique_ptr<platform::IHidDevice>(
            std::make_unique<DescribedInterface>(path, m_interfaces.at(index)));
    }

private:
    std::vector<platform::HidDescription> m_interfaces;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::setDebugOutputSink([](const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto descriptor = platform::parseReportDescriptor(std::span(data, size));
    if (!descriptor) {
        return 0;
    }
    DescriptorBus bus(platform::describeInterfaces({0x3B59, 0x0053, 0x0100}, descriptor.value()));
    std::vector<HidDeviceRecord> records;
    // Only running out of memory fails a listing of this bus, and the bounds keep it from that.
    if (!EnumerateHidDevices(bus, records)) {
        __builtin_trap();
    }
    CloseHidDevices(records);
    return 0;
}
