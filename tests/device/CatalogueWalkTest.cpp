// Connect and every probe over each model of the simulated catalogue.
#include <gtest/gtest.h>

#include "CatalogueBench.h"
#include "platform/MessageBox.h"

namespace {

struct Pic {
    int id = -1;  // -1: the read fails
    int major = 0;
    int minor = 0;
};

struct Identity {
    const char* key;
    const char* name;
    int productCode;
    int firmwareNumber;
    const char* firmwareText;
    int level;
    int algorithm;
    int interfaceCode;
    const char* interfaceName;
    const char* unitId;
    const char* serial = "";
    const char* mac = "";
    const char* ip = "";
    const char* sip = "";
    Pic mainPic = {};
    Pic interfacePic = {};
    int hardwareVersion = -1;  // -1: the read fails
    const char* dspName = "";
    int clockMhz = 108;
    int volumeBase = 0x603F;
};

const Identity kIdentities[] = {
    {.key = "brevik-kr600",
     .name = "Brevik-KR600",
     .productCode = 83,
     .firmwareNumber = 7003,
     .firmwareText = "7.3",
     .level = 22,
     .algorithm = 5,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "2-05-03-007-0042 F",
     .serial = "QB600-2026-000123",
     .mac = "00:A1:B2:C3:D4:E5",
     .ip = "192.168.1.20",
     .sip = "2.4.1.17",
     .mainPic = {12, 3, 7},
     .interfacePic = {13, 1, 2},
     .hardwareVersion = 4,
     .dspName = "TMS320C6746",
     .clockMhz = 375},
    {.key = "velmar-controller",
     .name = "Velmar Controller",
     .productCode = 786,
     .firmwareNumber = 6004,
     .firmwareText = "6.4",
     .level = 21,
     .algorithm = 2,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "1-12-04-130-0977",
     .mainPic = {7, 2, 1},
     .hardwareVersion = 2,
     .dspName = "TMS320VC5506"},
    {.key = "velmar-controller-with-unit",
     .name = "Velmar Controller",
     .productCode = 786,
     .firmwareNumber = 6004,
     .firmwareText = "6.4",
     .level = 21,
     .algorithm = 2,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "1-12-04-131-0978",
     .mainPic = {7, 2, 1},
     .hardwareVersion = 2,
     .dspName = "TMS320VC5506"},
    {.key = "velmar3",
     .name = "Velmar3",
     .productCode = 274,
     .firmwareNumber = 6002,
     .firmwareText = "6.2",
     .level = 20,
     .algorithm = 3,
     .interfaceCode = 3020,
     .interfaceName = "KR302 - PSTN Line Analog Interface",
     .unitId = "3-02-09-018-2048",
     .mainPic = {9, 4, 2},
     .interfacePic = {10, 1, 5},
     .hardwareVersion = 3,
     .dspName = "TMS320VC5507",
     .clockMhz = 192},
    {.key = "tolvin-pstn",
     .name = "Tolvin-PSTN",
     .productCode = 1042,
     .firmwareNumber = 3002,
     .firmwareText = "3.2",
     .level = 22,
     .algorithm = 1,
     .interfaceCode = 5020,
     .interfaceName = "KR502-PSTN",
     .unitId = "3-16-02-001234",
     .serial = "TP-0042-7780",
     .sip = "3.0.2.4",
     .hardwareVersion = 5,
     .dspName = "TMS320VC5509",
     .clockMhz = 375},
    {.key = "tolvin-sip",
     .name = "Tolvin-SIP",
     .productCode = 1042,
     .firmwareNumber = 3005,
     .firmwareText = "3.5",
     .level = 22,
     .algorithm = 9,
     .interfaceCode = 5050,
     .interfaceName = "KR505-SIP",
     .unitId = "5-17-05-098765",
     .serial = "TS-0042-7781",
     .mac = "00:11:22:33:44:55",
     .ip = "No IP",
     .sip = "3.0.2.5",
     .hardwareVersion = 6,
     .dspName = "TMS320VC5509",
     .clockMhz = 375},
    {.key = "orrin-pcs",
     .name = "Orrin PCS",
     .productCode = 20,
     .firmwareNumber = 4001,
     .firmwareText = "4.1",
     .level = 9,
     .algorithm = 4,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "1-31-5000",
     .volumeBase = 0x607F},
    {.key = "velmar-old",
     .name = "Velmar",
     .productCode = 18,
     .firmwareNumber = 2005,
     .firmwareText = "2.5",
     .level = 6,
     .algorithm = 1,
     .interfaceCode = 3020,
     .interfaceName = "KR302-L - PSTN Line Analog Interface",
     .unitId = "0-1-77 F"},
    {.key = "kr103",
     .name = "KR103",
     .productCode = 24,
     .firmwareNumber = 3004,
     .firmwareText = "3.4",
     .level = 13,
     .algorithm = 3,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "2-01-01-045-0300",
     .hardwareVersion = 0},
    {.key = "kr401",
     .name = "KR401",
     .productCode = 23,
     .firmwareNumber = 4002,
     .firmwareText = "4.2",
     .level = 13,
     .algorithm = 6,
     .interfaceCode = 4020,
     .interfaceName = "KR402-L - PSTN Line Analog Interface",
     .unitId = "4-03-02-099-0001",
     .hardwareVersion = 1,
     .dspName = "TMS320VC5507"},
    {.key = "castel",
     .name = "Castel",
     .productCode = 28,
     .firmwareNumber = 5001,
     .firmwareText = "5.1",
     .level = 20,
     .algorithm = 6,
     .interfaceCode = 4020,
     .interfaceName = "KR402-L - PSTN Line Analog Interface",
     .unitId = "4-06-01-012-3456 F",
     .mainPic = {3, 3, 4},
     .interfacePic = {3, 2, 2},
     .hardwareVersion = 2,
     .dspName = "TMS320VC5507",
     .clockMhz = 192},
    {.key = "castel-standalone",
     .name = "Castel-Stand Alone",
     .productCode = 279,
     .firmwareNumber = 7002,
     .firmwareText = "7.2",
     .level = 22,
     .algorithm = 6,
     .interfaceCode = 4020,
     .interfaceName = "KR402-L - PSTN Line Analog Interface",
     .unitId = "5-01-02-003-0004",
     .serial = "CS-279-0001",
     .mainPic = {4, 5, 1},
     .interfacePic = {11, 2, 0},
     .hardwareVersion = 7,
     .dspName = "TMS320C6746",
     .clockMhz = 192},
    {.key = "kr401-backup",
     .name = "KR401-Backup",
     .productCode = 23,
     .firmwareNumber = 2001,
     .firmwareText = "2.1",
     .level = 13,
     .algorithm = 1023,
     .interfaceCode = 0,
     .interfaceName = "",
     .unitId = "4-03-02-100-0002",
     .hardwareVersion = 1,
     .dspName = "TMS320VC5507"},
    {.key = "new-board",
     .name = "KR103 48kHz",
     .productCode = 26,
     .firmwareNumber = 1000,
     .firmwareText = "1.0",
     .level = 13,
     .algorithm = 0,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "New Board"},
    {.key = "h880-m",
     .name = "H880-M",
     .productCode = 53504,
     .firmwareNumber = 4008,
     .firmwareText = "4.8",
     .level = 13,
     .algorithm = 8,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "2-31-123456 F",
     .hardwareVersion = 2,
     .dspName = "TMS320VC5507",
     .clockMhz = 192},
    {.key = "h880",
     .name = "H880",
     .productCode = 53505,
     .firmwareNumber = 1001,
     .firmwareText = "1.1",
     .level = 9,
     .algorithm = 8,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "2-31-654321",
     .volumeBase = 0x607F},
    {.key = "velmar3-m",
     .name = "Velmar3-M",
     .productCode = 54016,
     .firmwareNumber = 6001,
     .firmwareText = "6.1",
     .level = 20,
     .algorithm = 3,
     .interfaceCode = 3010,
     .interfaceName = "",
     .unitId = "3-04-05-006-0007",
     .mainPic = {9, 4, 3},
     .hardwareVersion = 3,
     .dspName = "TMS320VC5507",
     .clockMhz = 192},
    {.key = "velmar-tf",
     .name = "Velmar TF",
     .productCode = 530,
     .firmwareNumber = 5003,
     .firmwareText = "5.3",
     .level = 13,
     .algorithm = 3,
     .interfaceCode = 3022,
     .interfaceName = "KR302-2L - PSTN 2 Line Analog Interface",
     .unitId = "1-01-01-001-0001",
     .mainPic = {9, 3, 9},
     .interfacePic = {10, 1, 1},
     .hardwareVersion = 2,
     .dspName = "TMS320VC5507"},
    {.key = "ansel-kr201",
     .name = "Ansel KR201",
     .productCode = 17,
     .firmwareNumber = 3000,
     .firmwareText = "3.0",
     .level = 10,
     .algorithm = 2,
     .interfaceCode = 4010,
     .interfaceName = "",
     .unitId = "1-02-03-004-0005"},
};

class CatalogueWalk : public ::testing::TestWithParam<Identity> {};

void ExpectPic(CHIDProtocol& protocol, int which, const Pic& expected) {
    int id = 0;
    int major = 0;
    int minor = 0;
    EXPECT_EQ(protocol.ReadPicInfo(which, id, major, minor), expected.id != -1) << "PIC " << which;
    EXPECT_EQ(id, expected.id) << "PIC " << which;
    EXPECT_EQ(major, expected.major) << "PIC " << which;
    EXPECT_EQ(minor, expected.minor) << "PIC " << which;
}

TEST_P(CatalogueWalk, ConnectAndEveryProbeGiveTheModelsIdentity) {
    const Identity& expected = GetParam();
    auto boxes = std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scoped(boxes);
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect(expected.key));
    CHIDProtocol& protocol = bench.protocol;

    EXPECT_TRUE(protocol.m_deviceOpen);
    EXPECT_EQ(protocol.GetProductName(), expected.name);
    EXPECT_EQ(protocol.m_productCode, expected.productCode);
    EXPECT_EQ(protocol.m_firmwareNumber, expected.firmwareNumber);
    EXPECT_EQ(protocol.m_firmwareVersionText, expected.firmwareText);
    EXPECT_EQ(protocol.m_protocolVersion, expected.level);
    EXPECT_EQ(protocol.m_algorithmCode, expected.algorithm);
    EXPECT_EQ(protocol.m_defaultVolumeBase, expected.volumeBase);

    EXPECT_TRUE(protocol.IsConnected());
    EXPECT_EQ(protocol.DetectInterfaceType(), expected.interfaceName);
    EXPECT_EQ(protocol.GetInterfaceTypeCode(), expected.interfaceCode);
    EXPECT_EQ(protocol.GetUnitId(), expected.unitId);
    EXPECT_EQ(protocol.ReadSerialNumber(), expected.serial);
    EXPECT_EQ(protocol.ReadMacAddress(), expected.mac);
    EXPECT_EQ(protocol.ReadIpAddress(), expected.ip);
    EXPECT_EQ(protocol.ReadSipVersion(), expected.sip);
    ExpectPic(protocol, 1, expected.mainPic);
    ExpectPic(protocol, 2, expected.interfacePic);

    // An unprogrammed board asks to remove its jumper; the user cancels.
    boxes->scriptAnswer(platform::id::kCancel);
    HardwareConfig config;
    EXPECT_EQ(protocol.ReadHardwareConfig(config), expected.hardwareVersion != -1);
    EXPECT_EQ(config.hardwareVersion, std::max(expected.hardwareVersion, 0));
    EXPECT_EQ(config.dspName, expected.dspName);
    EXPECT_EQ(config.clockMhz, expected.clockMhz);
    EXPECT_EQ(boxes->count(), std::string(expected.key) == "new-board" ? 1u : 0u);

    // The walk leaves the unit connected.
    EXPECT_TRUE(protocol.IsConnected());
}

std::string KeyName(const ::testing::TestParamInfo<Identity>& info) {
    std::string name = info.param.key;
    for (auto& c : name) {
        if (c == '-') {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CatalogueWalk, ::testing::ValuesIn(kIdentities), KeyName);

TEST(CatalogueWalkTable, CoversEveryCatalogueModel) {
    std::vector<std::string> walked;
    for (const auto& identity : kIdentities) {
        walked.emplace_back(identity.key);
    }
    EXPECT_EQ(walked, sim::catalogueKeys());
}

TEST(CatalogueWalkTable, AnUnknownModelIsAClearError) {
    EXPECT_THROW(sim::makeCatalogueUnit("kr999"), std::invalid_argument);
}

}  // namespace
