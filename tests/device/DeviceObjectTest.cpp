#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/System.h"
#include "sim/SimHidBus.h"

namespace {

TEST(ProgramNameTest, FolderAndExtensionAreDropped) {
    EXPECT_EQ(CHIDProtocol::ProgramNameFromPath("C:\\Tools\\Wizard.exe"), "Wizard");
    EXPECT_EQ(CHIDProtocol::ProgramNameFromPath("/usr/bin/probe-guide"), "probe-guide");
    EXPECT_EQ(CHIDProtocol::ProgramNameFromPath("Wizard.v2.exe"), "Wizard.v2");
    EXPECT_EQ(CHIDProtocol::ProgramNameFromPath("/opt/.hidden"), ".hidden");
    EXPECT_EQ(CHIDProtocol::ProgramNameFromPath(""), "");
}

TEST(ProgramNameTest, TheRunningProgramHasAName) {
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    EXPECT_EQ(protocol.m_programName, "device_tests");
}

class DeviceObject : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimHidUnit::Config config;
        config.productId = 83;
        unit = std::make_shared<sim::SimHidUnit>(config, std::make_shared<sim::SimUnitModel>(83, 0));
        bus.attach(unit);
        ASSERT_TRUE(EnumerateHidDevices(bus, protocol.m_devices));
    }

    sim::SimHidBus bus;
    std::shared_ptr<sim::SimHidUnit> unit;
    CHIDProtocol protocol{bus};
};

TEST_F(DeviceObject, ConstructionLeavesEverythingOff) {
    EXPECT_EQ(protocol.m_selectedDevice, -1);
    EXPECT_EQ(protocol.m_productCode, 0);
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_FALSE(protocol.m_readerRunning);
    EXPECT_FALSE(protocol.m_unitIdRead);
    for (auto word : protocol.m_mailboxCache) {
        EXPECT_EQ(word, 0xFFFF);
    }
    EXPECT_TRUE(protocol.m_mailboxCacheEnabled);
    EXPECT_EQ(protocol.m_comPort, nullptr);
}

TEST_F(DeviceObject, OpeningWithoutASelectionOpensNothing) {
    protocol.OpenDevice(true, false);
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_FALSE(protocol.m_readerRunning);
}

TEST_F(DeviceObject, WriteRecordFailureLeavesNoRecordOpen) {
    protocol.m_selectedDevice = 0;
    unit->setOpenable(false);
    protocol.OpenDevice(true, false);
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_FALSE(protocol.m_reader.readDevice.isOpen());
    EXPECT_FALSE(protocol.m_writeDevice.isOpen());
}

TEST_F(DeviceObject, DisconnectForgetsTheUnitButKeepsRoutesAndVolumeBase) {
    protocol.m_selectedDevice = 0;
    protocol.OpenDevice(true, false);
    ASSERT_TRUE(protocol.m_deviceOpen);
    protocol.m_productCode = 83;
    protocol.m_productName = "Unit";
    protocol.m_firmwareNumber = 5012;
    protocol.m_firmwareVersionText = "5.12";
    protocol.m_protocolVersion = 22;
    protocol.m_unitIdWord = 0x12345678;
    protocol.m_unitIdRead = true;
    protocol.m_defaultVolumeBase = 0x607F;
    protocol.m_slaveUnit = 2;
    protocol.m_infoCache.channels = "2";
    protocol.Disconnect();
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_EQ(protocol.GetProductName(), "");
    EXPECT_EQ(protocol.m_productCode, 0);
    EXPECT_EQ(protocol.m_firmwareNumber, 0);
    EXPECT_EQ(protocol.m_firmwareVersionText, "");
    EXPECT_EQ(protocol.m_protocolVersion, 0);
    EXPECT_FALSE(protocol.m_unitIdRead);
    EXPECT_EQ(protocol.m_infoCache.channels, "");
    EXPECT_EQ(protocol.m_defaultVolumeBase, 0x607F);
    EXPECT_EQ(protocol.m_slaveUnit, 2);
    EXPECT_EQ(protocol.m_selectedDevice, 0);
    // Connecting again is possible at once.
    protocol.OpenDevice(true, false);
    EXPECT_TRUE(protocol.m_deviceOpen);
}

TEST_F(DeviceObject, ReaderThreadSignalsEachReportAndStopsOnRequest) {
    protocol.m_selectedDevice = 0;
    protocol.OpenDevice(true, true);
    ASSERT_TRUE(protocol.m_readerRunning);
    unit->injectInputReport({0, 0x12, 0x34, 0x56});
    ASSERT_EQ(protocol.m_reader.dataEvent.wait(2000), platform::kWaitObject0);
    EXPECT_EQ(protocol.m_reader.lastReplyCode, 0x1234);
    const auto copy = protocol.m_reader.TakeLastReport();
    ASSERT_GE(copy.size(), 4u);
    EXPECT_EQ(copy[3], 0x56);
    unit->injectInputReport({0, 0xAB, 0xCD});
    ASSERT_EQ(protocol.m_reader.dataEvent.wait(2000), platform::kWaitObject0);
    EXPECT_EQ(protocol.m_reader.lastReplyCode, 0xABCD);
    EXPECT_EQ(copy[1], 0x12);  // the consumer's copy is untouched by later reports
    EXPECT_EQ(protocol.m_reader.dataEvent.wait(100), platform::kWaitTimeout);

    // Stopping returns although no report ever arrives.
    protocol.OpenDevice(false, false);
    EXPECT_FALSE(protocol.m_readerRunning);
    EXPECT_FALSE(protocol.m_deviceOpen);
}

TEST_F(DeviceObject, DestructionStopsARunningReader) {
    auto local = std::make_unique<CHIDProtocol>(bus);
    ASSERT_TRUE(EnumerateHidDevices(bus, local->m_devices));
    local->m_selectedDevice = 0;
    local->OpenDevice(true, true);
    ASSERT_TRUE(local->m_readerRunning);
    local.reset();
}

}  // namespace
