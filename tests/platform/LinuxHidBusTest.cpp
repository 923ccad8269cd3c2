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
#include "tests/support/FakeHidraw.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A sysfs and /dev tree of five hidraw nodes in a temporary folder:
//   hidraw0  USB 0556:0A1B, 8-byte vendor reports, node a FIFO, bcdDevice 0117 on its USB device
//   hidraw1  USB, no report_descriptor file
//   hidraw2  Bluetooth keyboard (no USB device above it), node a regular file
//   hidraw3  USB 3B59:0042, consumer keys (report 1) and a vendor channel (reports 2 and 3) in
//            two top-level collections, node a FIFO
//   hidraw10 USB 2E71:0310, 42-byte vendor reports, no node in /dev
class LinuxHidBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path usb = sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1";
        FakeHidrawTree::writeFile(usb / "bcdDevice", "0605\n");  // the root hub: farther up than the unit
        FakeHidrawTree::writeFile(usb / "1-2" / "bcdDevice", "0117\n");
        FakeHidrawTree::writeFile(usb / "1-3" / "bcdDevice", "0200\n");
        FakeHidrawTree::writeFile(usb / "1-4" / "bcdDevice", "0310\n");

        m_tree.addInterface("hidraw0", usb / "1-2" / "1-2:1.3" / "0003:0556:0A1B.0001",
                            "0003:00000556:00000A1B", samples::kVendor8);
        m_tree.addInterface("hidraw1", usb / "1-3" / "1-3:1.0" / "0003:0556:0B00.0002",
                            "0003:00000556:00000B00", {});
        m_tree.addInterface("hidraw2",
                            sys() / "devices" / "virtual" / "misc" / "uhid" / "0005:046D:B342.0003",
                            "0005:0000046D:0000B342", samples::kBootKeyboard);
        m_tree.addInterface("hidraw3", usb / "1-4" / "1-4:1.3" / "0003:3B59:0042.0004",
                            "0003:00003B59:00000042", samples::kNumberedConsumerVendor);
        m_tree.addInterface("hidraw10", usb / "1-4" / "1-4:1.4" / "0003:2E71:0310.0005",
                            "0003:00002E71:00000310", samples::kVendor42);

        ASSERT_EQ(::mkfifo(node("hidraw0").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo(node("hidraw3").c_str(), 0600), 0);
        FakeHidrawTree::writeFile(dev() / "hidraw2", "");
        m_bus = std::make_unique<LinuxHidBus>(sys().string(), dev().string());
    }

    void TearDown() override {
        for (const int fd : m_fds) {
            ::close(fd);
        }
    }

    fs::path sys() const { return m_tree.sys(); }
    fs::path dev() const { return m_tree.dev(); }
    std::string node(const std::string& name) const { return m_tree.node(name); }

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

    FakeHidrawTree m_tree;
    std::unique_ptr<LinuxHidBus> m_bus;
    std::vector<int> m_fds;
};

TEST_F(LinuxHidBusTest, ListsInterfacesInNaturalOrderUnderTheDevRoot) {
    const auto list = m_bus->listInterfaces();
    ASSERT_TRUE(list.ok()) << list.error().what;
    // The node of two numbered collections is two interfaces.
    EXPECT_EQ(list.value(),
              (std::vector<std::string>{node("hidraw0"), node("hidraw1"), node("hidraw2"), node("hidraw3#1"),
                                        node("hidraw3#2"), node("hidraw10")}));
}

TEST_F(LinuxHidBusTest, AMachineWithoutHidrawHasNoInterfaces) {
    LinuxHidBus bus((m_tree.root() / "empty-sys").string(), dev().string());
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
}

TEST_F(LinuxHidBusTest, EachNumberedCollectionIsDescribedAlone) {
    const auto keys = openOk("hidraw3#1", {});
    ASSERT_NE(keys, nullptr);
    const auto& k = keys->description();
    EXPECT_TRUE(k.numberedReports);
    EXPECT_EQ(k.attributes.productId, 0x0042);
    EXPECT_EQ(k.caps.usagePage, 0x0C);
    EXPECT_EQ(k.caps.numberInputButtonCaps, 3);
    EXPECT_EQ(k.caps.inputReportByteLength, 2);
    EXPECT_EQ(k.caps.outputReportByteLength, 0);
    EXPECT_EQ(k.reportIds[0], std::vector<std::uint8_t>{1});

    const auto vendor = openOk("hidraw3#2", {});
    ASSERT_NE(vendor, nullptr);
    const auto& v = vendor->description();
    EXPECT_EQ(v.caps.usagePage, 0xFF00);
    EXPECT_EQ(v.caps.numberInputButtonCaps, 0);
    EXPECT_EQ(v.caps.numberInputValueCaps, 1);
    EXPECT_EQ(v.caps.inputReportByteLength, 64);
    EXPECT_EQ(v.caps.featureReportByteLength, 5);
    EXPECT_EQ(v.reportIds[0], std::vector<std::uint8_t>{2});
    EXPECT_EQ(v.reportIds[2], std::vector<std::uint8_t>{3});
    EXPECT_EQ(v.outputReportId, 2);

    for (const char* name : {"hidraw3", "hidraw3#3", "hidraw3#0", "hidraw3#x", "hidraw0#1"}) {
        const auto unknown = m_bus->open(node(name), {});
        ASSERT_FALSE(unknown.ok()) << name;
        EXPECT_EQ(unknown.error().what, "open " + node(name) + ": No such device");
    }
}

TEST_F(LinuxHidBusTest, MissingOrBadSysfsFilesAreErrorsNamingTheFile) {
    const auto noDescriptor = m_bus->open(node("hidraw1"), {});
    ASSERT_FALSE(noDescriptor.ok());
    EXPECT_EQ(noDescriptor.error().code, ENOENT);
    EXPECT_NE(noDescriptor.error().what.find("hidraw1/device/report_descriptor: No such file"),
              std::string::npos)
        << noDescriptor.error().what;

    const fs::path keyboardDevice = sys() / "class" / "hidraw" / "hidraw2" / "device";
    FakeHidrawTree::writeFile(keyboardDevice / "report_descriptor", std::string("\x05\x01\x09", 3));
    const auto truncated = m_bus->open(node("hidraw2"), {});
    ASSERT_FALSE(truncated.ok());
    EXPECT_EQ(truncated.error().what, "parse " + (keyboardDevice / "report_descriptor").string() +
                                          ": malformed report descriptor: truncated item at byte 2");

    FakeHidrawTree::writeFile(keyboardDevice / "uevent", "DRIVER=hid-generic\nHID_NAME=x\n");
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

TEST_F(LinuxHidBusTest, ANumberedReportKeepsItsIdAndOtherCollectionsReportsArePassedOver) {
    const auto unit = openOk("hidraw3#2", {.read = true});
    ASSERT_NE(unit, nullptr);
    const int kernel = openFifoEnd("hidraw3", O_WRONLY);
    const std::uint8_t keys[2] = {0x01, 0x04};
    ASSERT_EQ(::write(kernel, keys, sizeof keys), 2);
    std::vector<std::uint8_t> report(64, 0xEE);
    EXPECT_EQ(unit->readInputReport(report, 50).status, HidIoStatus::TimedOut);
    EXPECT_EQ(report, std::vector<std::uint8_t>(64, 0xEE));

    std::vector<std::uint8_t> sent(64);
    sent[0] = 0x02;
    std::iota(sent.begin() + 1, sent.end(), 1);
    ASSERT_EQ(::write(kernel, sent.data(), sent.size()), 64);
    const auto result = unit->readInputReport(report, 1000);
    ASSERT_EQ(result.status, HidIoStatus::Ok) << result.error.what;
    EXPECT_EQ(result.bytes, 64u);
    EXPECT_EQ(report, sent);
}

TEST_F(LinuxHidBusTest, AShortReportIsFollowedByZerosNotByTheLastReport) {
    const auto unit = openOk("hidraw0", {.read = true});
    ASSERT_NE(unit, nullptr);
    const int kernel = openFifoEnd("hidraw0", O_WRONLY);
    std::vector<std::uint8_t> report(9);
    const std::uint8_t full[8] = {0xF0, 0x0D, 0x00, 0x07, 0x07, 0x00, 0x12, 0x34};
    ASSERT_EQ(::write(kernel, full, sizeof full), 8);
    ASSERT_EQ(unit->readInputReport(report, 1000).status, HidIoStatus::Ok);

    const std::uint8_t shortReport[2] = {0xF0, 0x0D};
    ASSERT_EQ(::write(kernel, shortReport, sizeof shortReport), 2);
    const auto result = unit->readInputReport(report, 1000);
    ASSERT_EQ(result.status, HidIoStatus::Ok) << result.error.what;
    EXPECT_EQ(result.bytes, 3u);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0x00, 0xF0, 0x0D, 0, 0, 0, 0, 0, 0}));
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
    const auto numbered = openOk("hidraw3#2", {.write = true});
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
