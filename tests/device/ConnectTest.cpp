#include <gtest/gtest.h>

#include <algorithm>

#include "CatalogueBench.h"

namespace {

bool Contains(const std::vector<int>& codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

TEST(ConnectSelection, TheLastAcceptableDeviceWins) {
    CatalogueBench bench;
    bench.attach("velmar-old");
    bench.attach("velmar-old");
    ASSERT_TRUE(bench.protocol.Connect(-1, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, 1);
    EXPECT_EQ(bench.protocol.GetProductName(), "Velmar");
}

TEST(ConnectSelection, ACollectionWithInputButtonsIsPassedOver) {
    CatalogueBench bench;
    bench.attach("kr103");
    sim::SimHidUnit::Config buttons;
    buttons.vendorId = 0x3B59;
    buttons.productId = 24;
    buttons.inputButtonCaps = 2;
    bench.bus.attach(std::make_shared<sim::SimHidUnit>(buttons, std::make_shared<sim::SimUnitModel>(24, 0)));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, 0);
}

TEST(ConnectSelection, WantedCodesAndFamilySelectors) {
    CatalogueBench bench;
    bench.attach("orrin-pcs");  // 20
    bench.attach("h880-m");     // 53504
    bench.attach("kr103");      // 24

    EXPECT_FALSE(bench.protocol.Connect(19, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, -1);
    EXPECT_EQ(bench.protocol.m_productCode, 0);

    ASSERT_TRUE(bench.protocol.Connect(20, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, 0);
    ASSERT_TRUE(bench.protocol.Connect(-2, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, 1);
    EXPECT_EQ(bench.protocol.m_productCode, 53504);
    EXPECT_EQ(bench.protocol.GetProductName(), "H880-M");
    ASSERT_TRUE(bench.protocol.Connect(-3, false, false));
    EXPECT_EQ(bench.protocol.m_selectedDevice, 2);
    EXPECT_FALSE(bench.protocol.Connect(-7, false, false));
}

TEST(ConnectSelection, NoDeviceDisconnects) {
    CatalogueBench bench;
    sim::SimHidUnit::Config other;
    other.vendorId = 0x046D;
    other.productId = 18;
    bench.bus.attach(std::make_shared<sim::SimHidUnit>(other, std::make_shared<sim::SimUnitModel>(18, 0)));
    EXPECT_FALSE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_productCode, 0);
    EXPECT_FALSE(bench.protocol.m_deviceOpen);
    EXPECT_EQ(bench.protocol.GetProductName(), "");
}

TEST(ConnectSelection, ByIndexTakesTheListEntryAndChecksTheIndex) {
    CatalogueBench bench;
    bench.attach("kr103");
    bench.attach("velmar3");
    bench.protocol.RefreshDeviceList();
    ASSERT_TRUE(bench.protocol.Connect(1, true, true));
    EXPECT_EQ(bench.protocol.m_productCode, 274);
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 6002);

    // Another index drops the open records of the first.
    ASSERT_TRUE(bench.protocol.Connect(0, true, true));
    EXPECT_EQ(bench.protocol.GetProductName(), "KR103");
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 3004);

    EXPECT_FALSE(bench.protocol.Connect(2, true, true));
    EXPECT_FALSE(bench.protocol.m_deviceOpen);
    EXPECT_EQ(bench.protocol.m_productCode, 0);
    EXPECT_FALSE(bench.protocol.Connect(-1, true, true));
}

TEST(ConnectSelection, ADeviceThatCannotBeOpenedIsNotConnected) {
    CatalogueBench bench;
    bench.attach("brevik-kr600");
    bench.unit->setAccessDenied(true);
    EXPECT_FALSE(bench.protocol.Connect(-1, false, true));
    EXPECT_FALSE(bench.protocol.m_deviceOpen);
    EXPECT_EQ(bench.protocol.m_productCode, 0);
    EXPECT_EQ(bench.protocol.GetProductName(), "");
    EXPECT_EQ(bench.unit->writeCount(), 0u);

    bench.unit->setAccessDenied(false);
    EXPECT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_protocolVersion, 22);
}

TEST(ConnectIdentity, AnotherUnitIsAskedForItsOwnUnitId) {
    CatalogueBench bench;
    const std::string first = bench.bus.attach(sim::makeCatalogueUnit("kr103"));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.GetUnitId(), "2-01-01-045-0300");

    // The unit is swapped for another while both are briefly plugged in.
    bench.attach("brevik-kr600");
    bench.bus.detach(first);
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_productCode, 83);
    EXPECT_EQ(bench.protocol.GetUnitId(), "2-05-03-007-0042 F");
}

TEST(ConnectIdentity, WithoutFullTheVersionsStayZero) {
    CatalogueBench bench;
    bench.attach("brevik-kr600");
    ASSERT_TRUE(bench.protocol.Connect(-1, false, false));
    EXPECT_TRUE(bench.protocol.m_deviceOpen);
    EXPECT_EQ(bench.protocol.GetProductName(), "Brevik-KR600");
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 0);
    EXPECT_EQ(bench.protocol.m_firmwareVersionText, "");
    EXPECT_EQ(bench.protocol.m_protocolVersion, 0);
    EXPECT_EQ(bench.unit->writeCount(), 0u);
}

TEST(ConnectIdentity, Code18WithoutFirmwareAnswerIsVersion01AndNotAsked) {
    CatalogueBench bench;
    bench.attach(Modified("velmar-old", [](sim::UnitProfile& p) { p.firmware.reset(); }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_firmwareVersionText, "0.1");
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 1);
    EXPECT_EQ(bench.protocol.m_protocolVersion, 0);
    EXPECT_FALSE(Contains(bench.requestsSince(0), 0xA400));
}

TEST(ConnectIdentity, AlgorithmAndFirmwareWordsAreMasked) {
    struct Case {
        std::uint16_t algorithmWord;
        std::uint16_t firmwareReply;
        int algorithm;
        int major;
    };
    // Bits above the algorithm's five (without 0x400) and above the major's seven are not theirs.
    for (const Case& c :
         {Case{0x068, 0xA873, 8, 7}, Case{0x5FF, 0xA0F3, 511, 15}, Case{0x3FF, 0xA3F3, 31, 63}}) {
        CatalogueBench bench;
        bench.attach(
            Modified("brevik-kr600", [&c](sim::UnitProfile& p) { p.algorithmWord = c.algorithmWord; }));
        bench.model().onRequest(0xA000, [&c](std::span<const std::uint8_t>) {
            return sim::SimUnitModel::Reply{{static_cast<std::uint8_t>(c.firmwareReply >> 8),
                                             static_cast<std::uint8_t>(c.firmwareReply & 0xFF)}};
        });
        ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
        EXPECT_EQ(bench.protocol.m_algorithmCode, c.algorithm) << std::hex << c.algorithmWord;
        EXPECT_EQ(bench.protocol.m_firmwareMajor, c.major) << std::hex << c.firmwareReply;
        EXPECT_EQ(bench.protocol.m_firmwareNumber, c.major * 1000 + 3) << std::hex << c.firmwareReply;
    }
}

TEST(ConnectIdentity, APSTNTolvinNeedsNoAlgorithmQuery) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("tolvin-pstn"));
    EXPECT_FALSE(Contains(bench.requestsSince(0), 0x9000));
    EXPECT_EQ(bench.protocol.m_algorithmCode, 1);
}

TEST(ConnectIdentity, BackupImageNames) {
    struct Case {
        const char* key;
        std::uint16_t interfaceBoard;
        const char* name;
    };
    for (const Case& c :
         {Case{"tolvin-sip", 0x0300, "Tolvin-SIP-Backup"}, Case{"tolvin-sip", 0x0000, "Tolvin-Smart-Backup"},
          Case{"tolvin-sip", 0x0200, "Tolvin-SIP"}, Case{"kr103", 0, "KR103-Backup"}}) {
        CatalogueBench bench;
        bench.attach(Modified(c.key, [&c](sim::UnitProfile& p) {
            p.algorithmWord = 0x7FF;
            p.interfaceBoardWord = c.interfaceBoard;
        }));
        ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
        EXPECT_EQ(bench.protocol.m_algorithmCode, 1023);
        EXPECT_EQ(bench.protocol.GetProductName(), c.name) << c.key << " board " << c.interfaceBoard;
    }

    // Product 28 above firmware 5 is renamed, which drops the suffix.
    CatalogueBench castel;
    castel.attach(Modified("castel", [](sim::UnitProfile& p) { p.algorithmWord = 0x7FF; }));
    ASSERT_TRUE(castel.protocol.Connect(-1, false, true));
    EXPECT_EQ(castel.protocol.GetProductName(), "Castel");
}

TEST(ConnectIdentity, VarnholtNamesAndLevelsByFirmware) {
    struct Case {
        int product;
        sim::FirmwareVersion firmware;
        std::uint16_t algorithm;
        const char* name;
        int level;
    };
    const Case cases[] = {
        {53505, {1, 0}, 0x008, "H880", 9},         {53505, {2, 0}, 0x008, "H880", 13},
        {53505, {1, 0}, 0x7FF, "H880-Backup", 13}, {53505, {1, 1}, 0x7FF, "H880", 13},
        {53504, {4, 7}, 0x008, "H880-M", 9},       {53504, {4, 6}, 0x7FF, "H880-M-Backup", 13},
        {53504, {3, 0}, 0x008, "H880-M", 6},
    };
    for (const Case& c : cases) {
        CatalogueBench bench;
        bench.attach(Modified(c.product == 53505 ? "h880" : "h880-m", [&c](sim::UnitProfile& p) {
            p.firmware = c.firmware;
            p.algorithmWord = c.algorithm;
            p.protocolLevel = 13;
        }));
        ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
        EXPECT_EQ(bench.protocol.GetProductName(), c.name)
            << c.product << " " << c.firmware.major << "." << c.firmware.minor;
        EXPECT_EQ(bench.protocol.m_protocolVersion, c.level)
            << c.product << " " << c.firmware.major << "." << c.firmware.minor;
    }
}

struct LevelCase {
    int product;
    int firmware;
    int level;  // the unit answers 0xA400 with 22
    bool asked;
};

class ProtocolLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(ProtocolLevel, PresetOrAskedByProductAndFirmware) {
    const LevelCase& c = GetParam();
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("brevik-kr600"));
    bench.protocol.m_productCode = c.product;
    bench.protocol.m_firmwareNumber = c.firmware;
    const auto before = bench.mark();
    bench.protocol.DetectProtocolVersion();
    EXPECT_EQ(bench.protocol.m_protocolVersion, c.level);
    EXPECT_EQ(bench.mark() - before, c.asked ? 1u : 0u);
    EXPECT_EQ(bench.protocol.m_defaultVolumeBase, c.level == 9 ? 0x607F : 0x603F);
}

INSTANTIATE_TEST_SUITE_P(Table, ProtocolLevel,
                         ::testing::Values(LevelCase{18, 2001, 0, false}, LevelCase{18, 2002, 6, false},
                                           LevelCase{18, 4999, 6, false}, LevelCase{18, 5000, 22, true},
                                           LevelCase{18, 0, 22, true}, LevelCase{19, 3000, 6, false},
                                           LevelCase{19, 4000, 6, false}, LevelCase{19, 4001, 22, true},
                                           LevelCase{20, 4001, 9, false}, LevelCase{20, 4002, 22, true},
                                           LevelCase{21, 2000, 6, false}, LevelCase{53504, 4001, 9, false},
                                           LevelCase{53504, 4008, 22, true}, LevelCase{53505, 999, 0, false},
                                           LevelCase{53505, 1000, 9, false}, LevelCase{53505, 2000, 22, true},
                                           LevelCase{22, 2999, 6, false}, LevelCase{22, 3000, 22, true},
                                           LevelCase{23, 3000, 6, false}, LevelCase{4119, 3001, 22, true},
                                           LevelCase{24, 0, 22, true}, LevelCase{786, 6004, 22, true}));

TEST(ProtocolLevelBackup, TheBackupImageIsAlwaysAsked) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("brevik-kr600"));
    bench.protocol.m_productCode = 20;
    bench.protocol.m_firmwareNumber = 4001;
    bench.protocol.m_algorithmCode = 1023;
    bench.protocol.DetectProtocolVersion();
    EXPECT_EQ(bench.protocol.m_protocolVersion, 22);
}

TEST(ConnectHub, TheHubLearnsForwardingAndReachesItsUnit16) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("velmar-controller-with-unit"));
    EXPECT_TRUE(bench.protocol.m_hubForwarding);

    bench.protocol.m_slaveUnit = 16;
    const auto before = bench.mark();
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_productCode, 274);
    EXPECT_EQ(bench.protocol.GetProductName(), "Velmar3");
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 6002);
    EXPECT_EQ(bench.protocol.m_protocolVersion, 20);
    EXPECT_EQ(bench.protocol.m_algorithmCode, 3);
    EXPECT_EQ(bench.protocol.GetUnitId(), "3-02-09-018-2048");
    const auto messages = bench.messagesSince(before);
    ASSERT_FALSE(messages.empty());
    // The product code comes from processor parameter (0, 2), through the hub to unit 16.
    EXPECT_EQ(messages[0][0], 0xF0);
    EXPECT_EQ(messages[0][1], 0x0D);
    EXPECT_EQ(messages[0][8], 0x01);
    EXPECT_EQ(messages[0][9], 0x05);

    bench.protocol.m_slaveUnit = 0;
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.GetProductName(), "Velmar Controller");
}

TEST(ConnectHub, ProductCodesAbove32767StayUnsignedOnTheUnitRoute) {
    CatalogueBench bench;
    bench.attach(Modified("velmar-controller-with-unit",
                          [](sim::UnitProfile& p) { p.attachedUnitKey = "velmar3-m"; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    bench.protocol.m_slaveUnit = 16;
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_productCode, 54016);
    EXPECT_EQ(bench.protocol.GetProductName(), "Velmar3-M");
    EXPECT_TRUE(bench.protocol.IsVelmarFamily());
}

TEST(ConnectFaults, AUnitThatStopsAnsweringHalfWay) {
    CatalogueBench bench;
    bench.attach("brevik-kr600");
    sim::SimFaults faults;
    faults.silentAfterRequests = 1;  // answers the algorithm query only
    bench.unit->setFaults(faults);
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_algorithmCode, 5);
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 0);
    EXPECT_EQ(bench.protocol.m_firmwareVersionText, "");
    EXPECT_EQ(bench.protocol.m_protocolVersion, 0);
    EXPECT_EQ(bench.protocol.GetProductName(), "Brevik-KR600");

    // The link check notices and closes the device; later probes find it closed.
    EXPECT_FALSE(bench.protocol.IsConnected());
    EXPECT_FALSE(bench.protocol.m_deviceOpen);
    const auto before = bench.mark();
    EXPECT_FALSE(bench.protocol.IsConnected());
    HardwareConfig config;
    EXPECT_FALSE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(bench.mark(), before);
}

TEST(ConnectFaults, AUnitUnpluggedDuringIdentification) {
    CatalogueBench bench;
    bench.attach("kr103");
    sim::SimFaults faults;
    faults.unplugAfterWrites = 2;
    bench.unit->setFaults(faults);
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_algorithmCode, 3);
    EXPECT_EQ(bench.protocol.m_firmwareNumber, 0);
    EXPECT_FALSE(bench.protocol.IsConnected());
    // Gone from the list, it is not found again.
    bench.bus.detach("/sim/hidraw0");
    EXPECT_FALSE(bench.protocol.Connect(-1, false, true));
}

TEST(ConnectFaults, AReplyFromTheWrongUnitIsNotTakenForUnit16) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("velmar-controller-with-unit"));
    bench.protocol.m_slaveUnit = 16;
    sim::SimFaults faults;
    faults.wrongFr = 1;
    bench.unit->setFaults(faults);
    const auto before = bench.mark();
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    EXPECT_EQ(bench.protocol.m_productCode, 274);
    // The product-code frame went out twice: its first answer came from another unit.
    const auto requests = bench.requestsSince(before);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], 0xF00D);
    EXPECT_EQ(requests[1], 0xF00D);
}

}  // namespace
