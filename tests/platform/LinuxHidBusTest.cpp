#include "platform/LinuxHidBus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <span>
#include <vector>

#include "platform/System.h"
#include "tests/platform/HidDescriptorSamples.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A sysfs and /dev tree of five hidraw interfaces in a temporary folder:
//   hidraw0  USB 0556:0A1B, 8-byte vendor reports, node a FIFO, bcdDevice 0117 on its USB device
//   hidraw1  USB, no report_descriptor file
//   hidraw2  Bluetooth keyboard (no USB device above it), node a regular file
//   hidraw3  USB 3B59:0042 with numbered reports, node a FIFO
//   hidraw10 USB 2E71:0310, 42-byte vendor reports, no node in /dev
class LinuxHidBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qpg-hidraw-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
        fs::create_directories(sys() / "class" / "hidraw");
        fs::create_directories(dev());

        const fs::path usb = sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1";
        writeFile(usb / "bcdDevice", "0605\n");  // the root hub: farther up than the unit
        writeFile(usb / "1-2" / "bcdDevice", "0117\n");
        writeFile(usb / "1-3" / "bcdDevice", "0200\n");
        writeFile(usb / "1-4" / "bcdDevice", "0310\n");

        addInterface("hidraw0", usb / "1-2" / "1-2:1.3" / "0003:0556:0A1B.0001", "0003:00000556:00000A1B",
                     samples::kVendor8);
        addInterface("hidraw1", usb / "1-3" / "1-3:1.0" / "0003:0556:0B00.0002", "0003:00000556:00000B00",
                     {});
        addInterface("hidraw2", sys() / "devices" / "virtual" / "misc" / "uhid" / "0005:046D:B342.0003",
                     "0005:0000046D:0000B342", samples::kBootKeyboard);
        addInterface("hidraw3", usb / "1-4" / "1-4:1.3" / "0003:3B59:0042.0004", "0003:00003B59:00000042",
                     samples::kNumberedConsumerVendor);
        addInterface("hidraw10", usb / "1-4" / "1-4:1.4" / "0003:2E71:0310.0005", "0003:00002E71:00000310",
                     samples::kVendor42);

        ASSERT_EQ(::mkfifo(node("hidraw0").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo(node("hidraw3").c_str(), 0600), 0);
        writeFile(dev() / "hidraw2", "");
        m_bus = std::make_unique<LinuxHidBus>(sys().string(), dev().string());
    }

    void TearDown() override {
        for (const int fd : m_fds) {
            ::close(fd);
        }
        fs::remove_all(m_root);
    }

    fs::path sys() const { return m_root / "sys"; }
    fs::path dev() const { return m_root / "dev"; }
    std::string node(const std::string& name) const { return (dev() / name).string(); }

    static void writeFile(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    // A hidraw class entry whose "device" link leads to the HID device's folder.
    void addInterface(const std::string& name, const fs::path& hidDevice, const std::string& hidId,
                      std::span<const std::uint8_t> descriptor) {
        writeFile(hidDevice / "uevent", "DRIVER=hid-generic\nHID_ID=" + hidId +
                                            "\nHID_NAME=Test Unit\nHID_PHYS=usb-0000:00:14.0-2/input3\n");
        if (!descriptor.empty()) {
            writeFile(hidDevice / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
        }
        fs::create_directories(hidDevice / "hidraw" / name);
        fs::create_directory_symlink(hidDevice / "hidraw" / name, sys() / "class" / "hidraw" / name);
        fs::create_directory_symlink(hidDevice, hidDevice / "hidraw" / name / "device");
    }

    // The far end of a FIFO node, as the kernel side of hidraw; closed at tear-down.
    int openFifoEnd(const std::string& name, int flags) {
        const int fd = ::open(node(name).c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        m_fds.push_back(fd);
        return fd;
    }

    std::unique_ptr<IHidDevice> openOk(const std::string& name, HidOpenMode mode) {
        auto device = m_bus->open(node(name), mode);
        EXPECT_TRUE(device.ok()) << (device.ok() ? "" : device.error().what);
        return device.ok() ? std::move(device.value()) : nullptr;
    }

    fs::path m_root;
    std::unique_ptr<LinuxHidBus> m_bus;
    std::vector<int> m_fds;
};

TEST_F(LinuxHidBusTest, ListsInterfacesInNaturalOrderUnderTheDevRoot) {
    const auto list = m_bus->listInterfaces();
    ASSERT_TRUE(list.ok()) << list.error().what;
    EXPECT_EQ(list.value(), (std::vector<std::string>{node("hidraw0"), node("hidraw1"), node("hidraw2"),
                                                      node("hidraw3"), node("hidraw10")}));
}

TEST_F(LinuxHidBusTest, AMachineWithoutHidrawHasNoInterfaces) {
    LinuxHidBus bus((m_root / "empty-sys").string(), dev().string());
    const auto list = bus.listInterfaces();
    ASSERT_TRUE(list.ok());
    EXPECT_TRUE(list.value().empty());
}

TEST_F(LinuxHidBusTest, DescribesInterfacesFromSysfsWithoutTouchingTheirNodes) {
    // hidraw10 has no node at all: opening for neither read nor write still describes it.
    const auto vendor42 = openOk("hidraw10", {});
    ASSERT_NE(vendor42, nullptr);
    EXPECT_EQ(vendor42->path(), node("hidraw10"));
    const auto& d42 = vendor42->description();
    EXPECT_EQ(d42.attributes.vendorId, 0x2E71);
    EXPECT_EQ(d42.attributes.productId, 0x0310);
    EXPECT_EQ(d42.attributes.versionNumber, 0x0310);
    EXPECT_EQ(d42.caps.inputReportByteLength, 43);
    EXPECT_EQ(d42.caps.outputReportByteLength, 43);
    EXPECT_EQ(d42.caps.numberInputValueCaps, 1);
    EXPECT_FALSE(d42.numberedReports);

    const auto unit = openOk("hidraw0", {});
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->description().attributes.vendorId, 0x0556);
    EXPECT_EQ(unit->description().attributes.productId, 0x0A1B);
    EXPECT_EQ(unit->description().attributes.versionNumber, 0x0117);  // the nearest bcdDevice
    EXPECT_EQ(unit->description().caps.usagePage, 0xFF00);
    EXPECT_EQ(unit->description().caps.inputReportByteLength, 9);
    EXPECT_EQ(unit->description().caps.outputReportByteLength, 9);

    const auto keyboard = openOk("hidraw2", {});
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(keyboard->description().attributes.vendorId, 0x046D);
    EXPECT_EQ(keyboard->description().attributes.versionNumber, 0);  // no USB device above it
    EXPECT_EQ(keyboard->description().caps.numberInputButtonCaps, 2);
    EXPECT_EQ(keyboard->description().caps.outputReportByteLength, 2);

    const auto numbered = openOk("hidraw3", {});
    ASSERT_NE(numbered, nullptr);
    EXPECT_TRUE(numbered->description().numberedReports);
    EXPECT_EQ(numbered->description().caps.inputReportByteLength, 64);
    EXPECT_EQ(numbered->description().caps.featureReportByteLength, 5);
}

TEST_F(LinuxHidBusTest, MissingOrBadSysfsFilesAreErrorsNamingTheFile) {
    const auto noDescriptor = m_bus->open(node("hidraw1"), {});
    ASSERT_FALSE(noDescriptor.ok());
    EXPECT_EQ(noDescriptor.error().code, ENOENT);
    EXPECT_NE(noDescriptor.error().what.find("hidraw1/device/report_descriptor: No such file"),
              std::string::npos)
        << noDescriptor.error().what;

    const fs::path keyboardDevice = sys() / "class" / "hidraw" / "hidraw2" / "device";
    writeFile(keyboardDevice / "report_descriptor", std::string("\x05\x01\x09", 3));
    const auto truncated = m_bus->open(node("hidraw2"), {});
    ASSERT_FALSE(truncated.ok());
    EXPECT_EQ(truncated.error().what, "parse " + (keyboardDevice / "report_descriptor").string() +
                                          ": malformed report descriptor: truncated item at byte 2");

    writeFile(keyboardDevice / "uevent", "DRIVER=hid-generic\nHID_NAME=x\n");
    const auto noId = m_bus->open(node("hidraw2"), {});
    ASSERT_FALSE(noId.ok());
    EXPECT_NE(noId.error().what.find("no valid HID_ID"), std::string::npos) << noId.error().what;

    const auto absent = m_bus->open(node("hidraw7"), {});
    ASSERT_FALSE(absent.ok());
    EXPECT_EQ(absent.error().what, "open " + node("hidraw7") + ": No such device");
    const auto elsewhere = m_bus->open("/elsewhere/hidraw0", {});
    ASSERT_FALSE(elsewhere.ok());
    EXPECT_EQ(elsewhere.error().what, "open /elsewhere/hidraw0: No such device");
}

TEST_F(LinuxHidBusTest, AnUnopenableNodeGivesAnErrorNamingThePath) {
    const auto missing = m_bus->open(node("hidraw10"), {.read = true});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_EQ(missing.error().what, "open " + node("hidraw10") + ": No such file or directory");

    fs::create_directory(dev() / "hidraw10");
    const auto directory = m_bus->open(node("hidraw10"), {.read = true, .write = true});
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error().what, "open " + node("hidraw10") + ": Is a directory");
}

TEST_F(LinuxHidBusTest, ReadTimesOutWhenNoReportArrives) {
    const auto unit = openOk("hidraw0", {.read = true});
    ASSERT_NE(unit, nullptr);
    openFifoEnd("hidraw0", O_WRONLY);
    std::vector<std::uint8_t> report(9, 0xEE);
    const auto start = tickCountMs();
    const auto result = unit->readInputReport(report, 60);
    EXPECT_EQ(result.status, HidIoStatus::TimedOut);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_GE(tickCountMs() - start, 55u);
    EXPECT_EQ(report, std::vector<std::uint8_t>(9, 0xEE));
}

TEST_F(LinuxHidBusTest, AnUnnumberedReportGetsAZeroReportIdInFront) {
    const auto unit = openOk("hidraw0", {.read = true});
    ASSERT_NE(unit, nullptr);
    const int kernel = openFifoEnd("hidraw0", O_WRONLY);
    const std::uint8_t sent[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    ASSERT_EQ(::write(kernel, sent, sizeof sent), 8);

    std::vector<std::uint8_t> report(9, 0xEE);
    const auto result = unit->readInputReport(report, 1000);
    ASSERT_EQ(result.status, HidIoStatus::Ok) << result.error.what;
    EXPECT_EQ(result.bytes, 9u);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}));
}

TEST_F(LinuxHidBusTest, ANumberedReportKeepsItsIdInFront) {
    const auto unit = openOk("hidraw3", {.read = true});
    ASSERT_NE(unit, nullptr);
    const int kernel = openFifoEnd("hidraw3", O_WRONLY);
    std::vector<std::uint8_t> sent(64);
    sent[0] = 0x02;
    std::iota(sent.begin() + 1, sent.end(), 1);
    ASSERT_EQ(::write(kernel, sent.data(), sent.size()), 64);

    std::vector<std::uint8_t> report(64, 0xEE);
    const auto result = unit->readInputReport(report, 1000);
    ASSERT_EQ(result.status, HidIoStatus::Ok) << result.error.what;
    EXPECT_EQ(result.bytes, 64u);
    EXPECT_EQ(report, sent);
}

TEST_F(LinuxHidBusTest, ReadReportsUnplugWhenTheOtherEndGoes) {
    const auto unit = openOk("hidraw0", {.read = true});
    ASSERT_NE(unit, nullptr);
    const int kernel = openFifoEnd("hidraw0", O_WRONLY);
    ::close(kernel);
    m_fds.pop_back();
    std::vector<std::uint8_t> report(9);
    const auto result = unit->readInputReport(report, 1000);
    EXPECT_EQ(result.status, HidIoStatus::Unplugged);
    EXPECT_EQ(result.error.code, ENODEV);
    EXPECT_NE(result.error.what.find(node("hidraw0")), std::string::npos) << result.error.what;
}

TEST_F(LinuxHidBusTest, WritePassesTheReportWholeWithItsIdByteFirst) {
    const auto keyboard = openOk("hidraw2", {.write = true});
    ASSERT_NE(keyboard, nullptr);
    const std::vector<std::uint8_t> leds{0x00, 0x05};
    const auto written = keyboard->writeOutputReport(leds);
    ASSERT_EQ(written.status, HidIoStatus::Ok) << written.error.what;
    EXPECT_EQ(written.bytes, 2u);
    std::ifstream file(dev() / "hidraw2", std::ios::binary);
    EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}), leds);

    const int kernel = openFifoEnd("hidraw3", O_RDONLY);
    const auto numbered = openOk("hidraw3", {.write = true});
    ASSERT_NE(numbered, nullptr);
    std::vector<std::uint8_t> report(64, 0xA5);
    report[0] = 0x02;
    const auto sent = numbered->writeOutputReport(report);
    ASSERT_EQ(sent.status, HidIoStatus::Ok) << sent.error.what;
    EXPECT_EQ(sent.bytes, 64u);
    std::vector<std::uint8_t> received(100);
    ASSERT_EQ(::read(kernel, received.data(), received.size()), 64);
    received.resize(64);
    EXPECT_EQ(received, report);
}

TEST_F(LinuxHidBusTest, ReportsNeedTheAccessTheyWereOpenedFor) {
    const auto writeOnly = openOk("hidraw2", {.write = true});
    ASSERT_NE(writeOnly, nullptr);
    std::vector<std::uint8_t> report(9);
    const auto read = writeOnly->readInputReport(report, 10);
    EXPECT_EQ(read.status, HidIoStatus::Failed);
    EXPECT_EQ(read.error.code, EBADF);

    const auto described = openOk("hidraw2", {});
    ASSERT_NE(described, nullptr);
    const auto write = described->writeOutputReport(std::vector<std::uint8_t>{0x00, 0x01});
    EXPECT_EQ(write.status, HidIoStatus::Failed);
    EXPECT_EQ(write.error.what, "write " + node("hidraw2") + ": not opened for writing");

    const auto readable = openOk("hidraw2", {.read = true});
    ASSERT_NE(readable, nullptr);
    std::vector<std::uint8_t> tiny(1);
    EXPECT_EQ(readable->readInputReport(tiny, 10).status, HidIoStatus::Failed);
}

TEST_F(LinuxHidBusTest, AnExclusiveOpenExcludesOtherOpensAndTheOtherWayRound) {
    auto first = openOk("hidraw2", {.read = true, .exclusive = true});
    ASSERT_NE(first, nullptr);
    const auto shared = m_bus->open(node("hidraw2"), {.write = true});
    ASSERT_FALSE(shared.ok());
    EXPECT_EQ(shared.error().what, "open " + node("hidraw2") + ": Device or resource busy");
    EXPECT_TRUE(m_bus->open(node("hidraw2"), {}).ok());  // a description needs no handle

    first.reset();
    auto reader = openOk("hidraw2", {.read = true});
    auto writer = openOk("hidraw2", {.write = true});
    EXPECT_NE(reader, nullptr);
    EXPECT_NE(writer, nullptr);
    EXPECT_FALSE(m_bus->open(node("hidraw2"), {.read = true, .write = true, .exclusive = true}).ok());
}

}  // namespace
}  // namespace platform
