#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "sim/CatalogueUnitModel.h"
#include "sim/MailboxHubModel.h"
#include "sim/SimHidBus.h"
#include "sim/UnitCatalogue.h"

namespace {

// The lines of the Brevik KR600 of the catalogue.
const std::string kBrevikReport =
    "Connected to Brevik-KR600"
    "\r\nS/N\t               \t\t: QB600-2026-000123"
    "\r\nUnit ID\t               \t\t: 2-05-03-007-0042 F"
    "\r\nMAC Address         \t\t: 00:A1:B2:C3:D4:E5"
    "\r\nDSP TYPE             \t\t: TMS320C6746"
    "\r\nMemory Type        \t\t: SPI"
    "\r\nHardware Version\t\t: 4"
    "\r\nProduct Type       \t\t: 5"
    "\r\nSoftware Version \t\t: 7.3"
    "\r\nProtocol Version \t\t: 22"
    "\r\nSIP Version           \t\t: 2.4.1.17"
    "\r\nIP Address           \t\t: 192.168.1.20"
    "\r\nMain PIC Software\t\t: ID-12, Version-3.7"
    "\r\nInterface PIC Software\t: ID-13, Version-1.2"
    "\r\nProduct ID              \t\t: 0x53"
    "\r\nAudio Device Name            \t: Qnlr Brevik KR600"
    "\r\n\r\nDescription           \t\t: Conference unit with Ethernet";

// The hub's own lines after "Connected to" or "Connected via"; the two hubs of the catalogue
// differ in the last digits of their unit IDs.
std::string hubLines(char unitDigit, char lastDigit) {
    return std::string(" Velmar Controller") + "\r\nUnit ID\t               \t\t: 1-12-04-13" + unitDigit +
           "-097" + lastDigit +
           "\r\nHardware Version \t\t: 2"
           "\r\nSoftware Version \t\t: 6.4"
           "\r\nProtocol Version \t\t: 21"
           "\r\nPIC Software        \t\t: ID-7, Version-2.1"
           "\r\nProduct ID              \t\t: 0x312"
           "\r\nAudio Device Name            \t: Qnlr Velmar Controller";
}

// The Velmar3 behind the hub: its full block without the product and audio lines.
const std::string kAttachedVelmar3 =
    "\r\n---------------------------------------------------------\r\n"
    "Connected to Velmar3\n\rInterface type    \t\t: KR302 - PSTN Line Analog Interface"
    "\r\nUnit ID\t               \t\t: 3-02-09-018-2048"
    "\r\nDSP TYPE             \t\t: TMS320VC5507"
    "\r\nMemory Type        \t\t: SPI-16M"
    "\r\nHardware Version\t\t: 3"
    "\r\nProduct Type       \t\t: 3"
    "\r\nSoftware Version \t\t: 6.2"
    "\r\nProtocol Version \t\t: 20"
    "\r\nMain PIC Software\t\t: ID-9, Version-4.2"
    "\r\nInterface PIC Software\t: ID-10, Version-1.5";

class Report : public ::testing::Test {
protected:
    void connect(std::shared_ptr<sim::SimHidUnit> unit) {
        simUnit = std::move(unit);
        bus.attach(simUnit);
        ASSERT_TRUE(protocol.Connect(-1, false, true));
    }
    void connect(const sim::UnitProfile& profile) { connect(sim::makeUnit(profile)); }

    // The hub with a Velmar3 behind it as unit 16 that answers one request as `handler` says.
    void connectHubWithVelmar3(std::uint16_t request, sim::SimUnitModel::CommandHandler handler) {
        auto hubProfile = sim::catalogueProfile("velmar-controller-with-unit");
        hubProfile.attachedUnitKey.clear();
        auto hub = sim::makeUnit(hubProfile);
        auto attached = std::make_shared<sim::CatalogueUnitModel>(sim::catalogueProfile("velmar3"), 16);
        attached->onRequest(request, std::move(handler));
        hub->addRemoteUnit(attached);
        connect(hub);
    }

    // How often a parameter frame (operation, page, parameter) with the given value went out.
    int framesSent(std::uint8_t operation, std::uint8_t page, std::uint8_t parameter) const {
        int count = 0;
        for (const auto& r : simUnit->writtenReports()) {
            if (r[1] == 0xF0 && r[2] == operation && r[4] == page && r[5] == parameter) {
                ++count;
            }
        }
        return count;
    }

    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    std::shared_ptr<sim::SimHidUnit> simUnit;
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
};

TEST_F(Report, AUnitOfItsOwnGetsTheFullBlock) {
    connect(sim::catalogueProfile("brevik-kr600"));
    EXPECT_EQ(protocol.GetDeviceInfoReport(), kBrevikReport);
    EXPECT_EQ(protocol.m_infoCache.interfaceLine, "");
    EXPECT_EQ(protocol.m_infoCache.imageFileName, "");
    EXPECT_EQ(protocol.m_infoCache.mainPicText, "ID-12, Version-3.7");
    EXPECT_EQ(protocol.m_infoCache.interfacePicText, "ID-13, Version-1.2");
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(Report, AnInterfaceBoardOpensTheFirstLineAndOptionalLinesStayOut) {
    // A Tolvin with a SIP board: no PIC answers, no description, an address of zeros.
    connect(sim::makeCatalogueUnit("tolvin-sip"));
    EXPECT_EQ(protocol.GetDeviceInfoReport(),
              "Connected to Tolvin-SIP\n\rInterface type    \t\t: KR505-SIP"
              "\r\nS/N\t               \t\t: TS-0042-7781"
              "\r\nUnit ID\t               \t\t: 5-17-05-098765"
              "\r\nMAC Address         \t\t: 00:11:22:33:44:55"
              "\r\nDSP TYPE             \t\t: TMS320VC5509"
              "\r\nMemory Type        \t\t: SPI"
              "\r\nHardware Version\t\t: 6"
              "\r\nProduct Type       \t\t: 9"
              "\r\nSoftware Version \t\t: 3.5"
              "\r\nProtocol Version \t\t: 22"
              "\r\nSIP Version           \t\t: 3.0.2.5"
              "\r\nIP Address           \t\t: No IP"
              "\r\nProduct ID              \t\t: 0x412"
              "\r\nAudio Device Name            \t: Qnlr Tolvin");
    EXPECT_EQ(protocol.m_infoCache.interfaceLine, "\n\rInterface type    \t\t: KR505-SIP");
    EXPECT_EQ(protocol.m_infoCache.mainPicText, "");
}

TEST_F(Report, ConfigFileInfoFollowsTheLastValueWithoutALineBreak) {
    connect(sim::catalogueProfile("brevik-kr600"));
    protocol.m_configFileInfo = "config.cfg 2026-01-01";
    EXPECT_EQ(protocol.GetDeviceInfoReport(), kBrevikReport + "Config File Info : \r\nconfig.cfg 2026-01-01");
}

TEST_F(Report, MemoryTypeCode3ShowsAnEmptyValueAndAlgorithm513OutsideKR103ShowsNoImage) {
    auto profile = sim::catalogueProfile("brevik-kr600");
    profile.hardwareConfig = sim::HardwareBytes(3, 2, 3, 2, 3, 0, 4, 1, 0);
    profile.algorithmWord = 0x400 | 513;
    connect(profile);
    std::string expected = kBrevikReport;
    expected.replace(expected.find(": SPI"), 5, ": ");
    const std::string productType = "Product Type       \t\t: 5";
    expected.replace(expected.find(productType), productType.size(), productType + "13");
    EXPECT_EQ(protocol.GetDeviceInfoReport(), expected);
}

TEST_F(Report, AKR103ShowsTheImageOfItsAlgorithm) {
    auto profile = sim::catalogueProfile("kr103");
    profile.algorithmWord = 0x400 | 540;
    connect(profile);
    EXPECT_EQ(protocol.GetDeviceInfoReport(),
              "Connected to KR103"
              "\r\nUnit ID\t               \t\t: 2-01-01-045-0300"
              "\r\nDSP TYPE             \t\t: "
              "\r\nMemory Type        \t\t: Paralel"
              "\r\nHardware Version\t\t: 0"
              "\r\nProduct Type       \t\t: 540"
              "\r\nSoftware Version \t\t: 3.4"
              "\r\nProtocol Version \t\t: 13"
              "\r\nAlgorithm             \t\t: RGX Mixer + Acoustic Echo Canceller"
              "\r\nNumber of Channels           \t: 4"
              "\r\nSampling Frequency           \t: 16kHz"
              "\r\nHex File \t\t\t: RGXdect.hex     "
              "\r\nProduct ID              \t\t: 0x18"
              "\r\nAudio Device Name            \t: Qnlr KR103");
    EXPECT_EQ(protocol.m_infoCache.imageFileName, "RGXdect.hex");
    EXPECT_EQ(protocol.m_infoCache.algorithmDescription, "RGX Mixer + Acoustic Echo Canceller");
    EXPECT_EQ(protocol.m_infoCache.channels, "4");
    EXPECT_EQ(protocol.m_infoCache.samplingFrequency, "16kHz");
}

TEST_F(Report, AlgorithmCodesWithoutARowShowNoImage) {
    for (const int code : {522, 1023}) {
        auto profile = sim::catalogueProfile("kr103");
        profile.algorithmWord = static_cast<std::uint16_t>(0x400 | code);
        sim::SimHidBus ownBus;
        ownBus.attach(sim::makeUnit(profile));
        CHIDProtocol own{ownBus};
        ASSERT_TRUE(own.Connect(-1, false, true));
        const std::string report = own.GetDeviceInfoReport();
        EXPECT_EQ(report.find("Algorithm"), std::string::npos) << code;
        EXPECT_NE(report.find("Product Type       \t\t: " + std::to_string(code) + "\r\n"),
                  std::string::npos);
        EXPECT_TRUE(own.m_infoCache.imageFileName.empty());
    }
}

TEST_F(Report, AHubWithoutAUnitDescribesOnlyItself) {
    connect(sim::makeCatalogueUnit("velmar-controller"));
    protocol.m_infoCache.channels = "kept";
    EXPECT_EQ(protocol.GetDeviceInfoReport(), "Connected to" + hubLines('0', '7'));
    EXPECT_EQ(protocol.m_infoCache.channels, "kept");
    EXPECT_EQ(framesSent(0x0D, 0, 10), 0);  // parameter (0, 10) neither read
    EXPECT_EQ(framesSent(0x0C, 0, 10), 0);  // nor written
}

// The hub with the Velmar3 behind it, reached by addressed reports (11 bytes) or through the
// hub's mailbox (9 bytes): the same report either way.
class HubReport : public Report, public ::testing::WithParamInterface<bool> {};

TEST_P(HubReport, AHubWithAUnitDescribesBothAndSwitchesBack) {
    std::shared_ptr<sim::MailboxHubModel> mailboxHub;
    if (GetParam()) {
        connect(sim::makeMailboxHub(sim::catalogueProfile("velmar-controller-with-unit"), &mailboxHub));
    } else {
        connect(sim::makeCatalogueUnit("velmar-controller-with-unit"));
    }
    EXPECT_EQ(protocol.GetDeviceInfoReport(), "Connected via" + hubLines('1', '8') + kAttachedVelmar3);
    // Bit 14 of (0, 10) was raised for the attached unit and cleared again afterwards.
    EXPECT_EQ(framesSent(0x0C, 0, 10), 2);
    EXPECT_EQ(simUnit->localUnit()->state().parameter(0, 10, 0), 0x0000);
    EXPECT_EQ(protocol.m_slaveUnit, 0);
    EXPECT_EQ(protocol.m_productCode, 786);
    EXPECT_EQ(protocol.GetProductName(), "Velmar Controller");
    EXPECT_EQ(protocol.m_protocolVersion, 21);
    EXPECT_EQ(protocol.m_infoCache.interfaceLine,
              "\n\rInterface type    \t\t: KR302 - PSTN Line Analog Interface");
    EXPECT_EQ(protocol.m_infoCache.mainPicText, "ID-9, Version-4.2");
    for (const auto word : protocol.m_mailboxCache) {
        EXPECT_EQ(word, 0xFFFF);
    }
    if (mailboxHub) {
        EXPECT_GT(mailboxHub->tunnelledMessages(), 10);
    }
}

INSTANTIATE_TEST_SUITE_P(AddressedOrMailbox, HubReport, ::testing::Bool());

TEST_F(Report, AfterTheAttachedUnitTheHubAnswersWithItsOwnUnitId) {
    connect(sim::makeCatalogueUnit("velmar-controller-with-unit"));
    EXPECT_NE(protocol.GetDeviceInfoReport().find("3-02-09-018-2048"), std::string::npos);
    EXPECT_EQ(protocol.GetUnitId(), "1-12-04-131-0978");
}

TEST_F(Report, AHubWhoseStatusIsRefusedCountsAsHavingAUnit) {
    // The hub refuses the status request, so bit 3 of its status word is never seen.
    auto profile = sim::catalogueProfile("velmar-controller-with-unit");
    profile.mainStatus.reset();
    connect(profile);
    EXPECT_EQ(protocol.GetDeviceInfoReport(), "Connected via" + hubLines('1', '8') + kAttachedVelmar3);
    EXPECT_EQ(protocol.m_slaveUnit, 0);
    EXPECT_EQ(protocol.m_productCode, 786);
}

TEST_F(Report, TheHubIsSwitchedBackWhenItsUnitHasNoParameterAccess) {
    // A Velmar3 behind the hub that reports protocol level 12: identified, but without
    // parameter access of its own.
    connectHubWithVelmar3(0xA400, [](std::span<const std::uint8_t>) {
        return sim::SimUnitModel::Reply{{0xA4, 12}};
    });

    const std::string report = protocol.GetDeviceInfoReport();
    EXPECT_NE(report.find("Connected to Velmar3"), std::string::npos);
    EXPECT_NE(report.find("Protocol Version \t\t: 12"), std::string::npos);
    // The hub's attached-unit bit was raised and is clear again.
    EXPECT_EQ(framesSent(0x0C, 0, 10), 2);
    EXPECT_EQ(simUnit->localUnit()->state().parameter(0, 10, 0), 0x0000);
    EXPECT_EQ(protocol.m_slaveUnit, 0);
    EXPECT_EQ(protocol.m_productCode, 786);
    EXPECT_EQ(protocol.m_protocolVersion, 21);
}

TEST_F(Report, TheHubIsSwitchedBackWhenItsUnitFailsTheLinkCheck) {
    // The unit behind the hub ignores the link check, so the hardware read closes the device
    // while the attached unit is addressed.
    connectHubWithVelmar3(0x0555, [](std::span<const std::uint8_t>) { return sim::SimUnitModel::Reply{}; });

    const std::string report = protocol.GetDeviceInfoReport();
    EXPECT_NE(report.find("Connected to Velmar3"), std::string::npos);
    EXPECT_EQ(report.find("DSP TYPE"), std::string::npos);
    EXPECT_EQ(simUnit->localUnit()->state().parameter(0, 10, 0), 0x0000);
    EXPECT_EQ(protocol.m_slaveUnit, 0);
    EXPECT_TRUE(protocol.m_deviceOpen);
    EXPECT_EQ(protocol.GetProductName(), "Velmar Controller");
}

TEST_F(Report, AUnitThatStopsAnsweringGivesAnEmptyReport) {
    connect(sim::catalogueProfile("brevik-kr600"));
    protocol.m_configFileInfo = "config.cfg";
    sim::SimFaults faults;
    faults.silentForever = true;
    simUnit->setFaults(faults);
    EXPECT_EQ(protocol.GetDeviceInfoReport(), "");
    EXPECT_TRUE(protocol.m_configFileInfo.empty());
    EXPECT_FALSE(protocol.m_deviceOpen);
}

}  // namespace
