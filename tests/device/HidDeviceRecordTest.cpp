#include "device/HidDeviceRecord.h"

#include <gtest/gtest.h>

#include "sim/SimHidBus.h"

namespace {

std::shared_ptr<sim::SimHidUnit> makeUnit(std::uint16_t vendor, std::uint16_t product, std::uint16_t length,
                                          bool openable = true) {
    sim::SimHidUnit::Config config;
    config.vendorId = vendor;
    config.productId = product;
    config.inputReportLength = length;
    config.openable = openable;
    return std::make_shared<sim::SimHidUnit>(config, std::make_shared<sim::SimUnitModel>(product, 0));
}

TEST(EnumerateHidDevicesTest, NoInterfaceGivesAnEmptySuccessfulList) {
    sim::SimHidBus bus;
    std::vector<HidDeviceRecord> records;
    EXPECT_TRUE(EnumerateHidDevices(bus, records));
    EXPECT_TRUE(records.empty());
}

TEST(EnumerateHidDevicesTest, EveryInterfaceIsListedInOrderWhateverItsVendor) {
    sim::SimHidBus bus;
    std::vector<std::string> paths;
    for (int i = 0; i < 9; ++i) {
        paths.push_back(
            bus.attach(makeUnit(i == 4 ? 0x046D : 0x0556, static_cast<std::uint16_t>(100 + i), 9)));
    }
    paths.push_back(bus.attach(makeUnit(0x2E71, 83, 11, false)));
    std::vector<HidDeviceRecord> records;
    ASSERT_TRUE(EnumerateHidDevices(bus, records));
    ASSERT_EQ(records.size(), 10u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(records[i].devicePath, paths[i]);
        EXPECT_EQ(records[i].attributes.productId, 100 + i);
        EXPECT_TRUE(records[i].isOpen());
    }
    // Another vendor: described, but without report buffers.
    EXPECT_EQ(records[4].attributes.vendorId, 0x046D);
    EXPECT_EQ(records[4].caps.inputReportByteLength, 9);
    EXPECT_TRUE(records[4].input.report.empty());
    EXPECT_TRUE(records[4].output.report.empty());
    // A supported vendor gets zeroed buffers of the report lengths.
    EXPECT_EQ(records[0].input.report, std::vector<std::uint8_t>(9, 0));
    EXPECT_EQ(records[0].output.report.size(), 9u);
    EXPECT_FALSE(records[0].input.dataEntries.empty());
    // An interface that cannot be opened keeps its path and no handle.
    EXPECT_TRUE(records[9].hasPath);
    EXPECT_EQ(records[9].devicePath, paths[9]);
    EXPECT_FALSE(records[9].isOpen());
    CloseHidDevices(records);
    for (const auto& r : records) {
        EXPECT_FALSE(r.isOpen());
        EXPECT_FALSE(r.hasPath);
    }
}

TEST(EnumerateHidDevicesTest, AFailedListingClosesWhatThePreviousListHeld) {
    sim::SimHidBus bus;
    bus.attach(makeUnit(0x0556, 83, 9));
    std::vector<HidDeviceRecord> records;
    ASSERT_TRUE(EnumerateHidDevices(bus, records));
    ASSERT_EQ(records.size(), 1u);
    bus.setListingFails(true);
    EXPECT_FALSE(EnumerateHidDevices(bus, records));
    EXPECT_TRUE(records.empty());
}

// A bus that runs out of memory over its listing, or over every description.
class OutOfMemoryBus : public platform::IHidBus {
public:
    explicit OutOfMemoryBus(bool listing) : m_listing(listing) {}
    platform::Result<std::vector<std::string>> listInterfaces() override {
        if (m_listing) {
            throw std::bad_alloc();
        }
        return std::vector<std::string>{"/oom/hidraw0"};
    }
    platform::Result<std::unique_ptr<platform::IHidDevice>> open(const std::string&,
                                                                 platform::HidOpenMode) override {
        throw std::bad_alloc();
    }

private:
    bool m_listing;
};

TEST(EnumerateHidDevicesTest, RunningOutOfMemoryFailsTheListingOrTheOneOpening) {
    OutOfMemoryBus listing(true);
    std::vector<HidDeviceRecord> records(2);
    EXPECT_FALSE(EnumerateHidDevices(listing, records));
    EXPECT_TRUE(records.empty());

    OutOfMemoryBus describing(false);
    ASSERT_TRUE(EnumerateHidDevices(describing, records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].isOpen());
    EXPECT_EQ(records[0].devicePath, "/oom/hidraw0");
}

TEST(OpenHidDeviceTest, FailuresLeaveTheRecordClosedAndCloseKeepsTheCaps) {
    sim::SimHidBus bus;
    const auto path = bus.attach(makeUnit(0x3B59, 786, 43));
    HidDeviceRecord record;
    EXPECT_FALSE(OpenHidDevice(bus, nullptr, true, true, false, false, record));
    EXPECT_FALSE(record.isOpen());
    const std::string missing = "/sim/hidraw99";
    EXPECT_FALSE(OpenHidDevice(bus, &missing, true, false, false, false, record));
    EXPECT_FALSE(record.isOpen());
    EXPECT_FALSE(record.hasPath);

    ASSERT_TRUE(OpenHidDevice(bus, &path, true, false, true, true, record));
    EXPECT_TRUE(record.openedForRead);
    EXPECT_FALSE(record.openedForWrite);
    EXPECT_TRUE(record.openedOverlapped);
    EXPECT_TRUE(record.openedExclusive);
    EXPECT_EQ(record.input.report.size(), 43u);
    CloseHidDevice(record);
    EXPECT_FALSE(record.isOpen());
    EXPECT_TRUE(record.input.report.empty());
    EXPECT_EQ(record.caps.inputReportByteLength, 43);
    EXPECT_EQ(record.attributes.productId, 786);
    CloseHidDevice(record);  // closing twice is harmless
    ASSERT_TRUE(OpenHidDevice(bus, &path, false, true, false, false, record));
    EXPECT_TRUE(record.openedForWrite);
}

TEST(ReportIoTest, WritesMustGoOutWholeAndReadsNeedReadAccess) {
    sim::SimHidBus bus;
    auto unit = makeUnit(0x0556, 83, 9);
    const auto path = bus.attach(unit);
    HidDeviceRecord writer;
    ASSERT_TRUE(OpenHidDevice(bus, &path, false, true, false, false, writer));
    writer.output.report = {0, 0xB1, 0x00, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(WriteReport(writer));
    sim::SimFaults faults;
    faults.shortWrites = true;
    unit->setFaults(faults);
    EXPECT_FALSE(WriteReport(writer));
    // The write record cannot read.
    EXPECT_EQ(ReadInputReport(writer, 0), platform::HidIoStatus::Failed);

    HidDeviceRecord reader;
    ASSERT_TRUE(OpenHidDevice(bus, &path, true, false, true, false, reader));
    unit->injectInputReport({0, 0x12, 0x34});
    EXPECT_EQ(ReadInputReport(reader, 100), platform::HidIoStatus::Ok);
    EXPECT_EQ(reader.input.report[1], 0x12);
    EXPECT_EQ(ReadInputReport(reader, 10), platform::HidIoStatus::TimedOut);
    unit->unplug();
    EXPECT_EQ(ReadInputReport(reader, 10), platform::HidIoStatus::Unplugged);
}

}  // namespace
