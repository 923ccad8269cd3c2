#include "sim/UnitCatalogue.h"

#include <stdexcept>

#include "sim/CatalogueUnitModel.h"

namespace sim {

std::uint32_t DefaultUnitId(unsigned a, unsigned b, unsigned c, bool flag, unsigned d, unsigned e) {
    return (a & 0x7) << 29 | (b & 0xF) << 25 | (c & 0xF) << 21 | (flag ? 1u : 0u) << 20 | (d & 0xFF) << 12 |
           (e & 0xFFF);
}

std::uint32_t AltUnitId(unsigned a, unsigned b, bool flag, unsigned serial) {
    return (a & 0x7) << 29 | (b & 0xFF) << 21 | (flag ? 1u << 20 | (serial & 0xFFFFF) : (serial & 0x1FFFFF));
}

std::uint32_t TolvinUnitId(unsigned a, unsigned monthCount, unsigned serial) {
    return (a & 0x3F) << 26 | (monthCount & 0xFF) << 18 | (serial & 0x3FFFF);
}

std::array<std::uint8_t, 6> HardwareBytes(unsigned dsp, unsigned clock, unsigned memory, unsigned config4,
                                          unsigned config5, unsigned config6, unsigned version,
                                          unsigned config8, unsigned config9) {
    return {static_cast<std::uint8_t>((dsp & 3) | (clock & 3) << 2 | (memory & 3) << 4),
            static_cast<std::uint8_t>(((config4 - 1) & 3) | (config5 & 7) << 2),
            static_cast<std::uint8_t>(config6),
            static_cast<std::uint8_t>(version),
            static_cast<std::uint8_t>((config8 & 3) << 6 | (config9 & 3) << 4),
            0};
}

namespace {

// Volume registers of units at protocol level 10 or more (speaker 1 and 2, microphone 3, 4, 7)
// and of older ones (speaker 4, microphone 3, corrections 1 and 6).
const std::map<std::uint8_t, std::uint8_t> kRegisters = {{1, 16}, {2, 16}, {3, 12}, {4, 12}, {7, 12}};
const std::map<std::uint8_t, std::uint8_t> kOldRegisters = {{1, 24}, {3, 12}, {4, 16}, {6, 24}};
// The echo canceller (0x0E) and noise reduction (0x15) run; the test switches 0x01 and 0x06 are off.
const std::vector<std::uint8_t> kSwitches = {0x0E, 0x15};

std::vector<UnitProfile> BuildCatalogue() {
    std::vector<UnitProfile> units;

    // Conference unit with Ethernet, speaker delay and loopback.
    units.push_back({
        .key = "brevik-kr600",
        .productId = 83,
        .algorithmWord = 0x005,
        .firmware = FirmwareVersion{7, 3},
        .protocolLevel = 22,
        .unitId = DefaultUnitId(2, 5, 3, true, 7, 42),
        .serialNumber = "QB600-2026-000123",
        .mainStatus = StatusWords{0x0000, 0x0000},
        .interfaceStatus = StatusWords{0x0000, 0x0000},
        .mainPic = {{4, {12, 3, 7}}},
        .interfacePic = {{4, {13, 1, 2}}},
        .hardwareConfig = HardwareBytes(3, 2, 1, 2, 3, 0, 4, 1, 0),
        .network = true,
        .macWords = {0x00A1, 0xB2C3, 0xD4E5, 0},
        .sipWords = {2, 4, 1, 17},
        .ipWords = {192, 168, 1, 20},
        .parameters = {{0, 13, 0, 80}, {0, 4, 0, 2}, {7, 3, 0, 0}, {7, 3, 1, 0x0010}},
        .texts = {{0, 1, "Qnlr Brevik KR600"}, {0, 12, "Conference unit with Ethernet"}},
        // Protected parameters, refused with each of the processor's error numbers.
        .refusals = {{5, 1, 255}, {5, 2, 254}, {5, 3, 253}, {5, 4, 252}, {5, 5, 251}, {5, 6, 250}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Hub without a unit behind it.
    units.push_back({
        .key = "velmar-controller",
        .productId = 786,
        .reportLength = 11,
        .algorithmWord = 0x002,
        .firmware = FirmwareVersion{6, 4},
        .protocolLevel = 21,
        .unitId = DefaultUnitId(1, 12, 4, false, 130, 977),
        .probe40 = 0x80,
        .mainStatus = StatusWords{0x0000, 0x0000},
        .mainPic = {{4, {7, 2, 1}}},
        .hardwareConfig = HardwareBytes(0, 0, 0, 1, 0, 0, 2, 0, 0),
        .parameters = {{0, 10, 0, 0x0000}},
        .texts = {{0, 1, "Qnlr Velmar Controller"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // The same hub with a Velmar3 attached as unit 16 (status bit 3 tells so).
    units.push_back({
        .key = "velmar-controller-with-unit",
        .productId = 786,
        .reportLength = 11,
        .algorithmWord = 0x002,
        .firmware = FirmwareVersion{6, 4},
        .protocolLevel = 21,
        .unitId = DefaultUnitId(1, 12, 4, false, 131, 978),
        .probe40 = 0x80,
        .mainStatus = StatusWords{0x0000, 0x0008},
        .mainPic = {{4, {7, 2, 1}}},
        .hardwareConfig = HardwareBytes(0, 0, 0, 1, 0, 0, 2, 0, 0),
        .parameters = {{0, 10, 0, 0x0000}},
        .texts = {{0, 1, "Qnlr Velmar Controller"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
        .attachedUnitKey = "velmar3",
    });

    // Velmar3 at firmware 6: the interface processor reports a PSTN board.
    units.push_back({
        .key = "velmar3",
        .productId = 274,
        .algorithmWord = 0x003,
        .firmware = FirmwareVersion{6, 2},
        .protocolLevel = 20,
        .unitId = DefaultUnitId(3, 2, 9, false, 18, 2048),
        .probe40 = 0x00,
        .probe41 = 0x80,
        .mainStatus = StatusWords{0x0000, 0x0000},
        .interfaceStatus = StatusWords{0x0000, 0x0000},
        .mainPic = {{4, {9, 4, 2}}},
        .interfacePic = {{4, {10, 1, 5}}},
        .hardwareConfig = HardwareBytes(1, 1, 2, 1, 2, 0, 3, 0, 0),
        .parameters = {{7, 3, 0, 0}, {7, 3, 1, 0}, {8, 3, 0, 0}, {8, 3, 1, 0}},
        .texts = {{0, 1, "Qnlr Velmar3"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Tolvin with a PSTN board: identified by the board, without the algorithm query.
    units.push_back({
        .key = "tolvin-pstn",
        .productId = 1042,
        .reportLength = 11,
        .unitNumber = 2,
        .algorithmWord = 0x007,
        .firmware = FirmwareVersion{3, 2},
        .protocolLevel = 22,
        .unitId = TolvinUnitId(3, 25, 1234),
        .serialNumber = "TP-0042-7780",
        .interfaceBoardWord = 0x0100,
        .mainStatus = StatusWords{0x0000, 0x0000},
        .hardwareConfig = HardwareBytes(2, 2, 1, 1, 1, 0, 5, 0, 0),
        .network = true,
        .sipWords = {3, 0, 2, 4},
        .texts = {{0, 1, "Qnlr Tolvin"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Tolvin with a SIP board: network identity.
    units.push_back({
        .key = "tolvin-sip",
        .productId = 1042,
        .reportLength = 11,
        .unitNumber = 2,
        .algorithmWord = 0x409,
        .firmware = FirmwareVersion{3, 5},
        .protocolLevel = 22,
        .unitId = TolvinUnitId(5, 40, 98765),
        .serialNumber = "TS-0042-7781",
        .interfaceBoardWord = 0x0300,
        .mainStatus = StatusWords{0x0000, 0x0000},
        .hardwareConfig = HardwareBytes(2, 2, 1, 1, 1, 0, 6, 0, 0),
        .network = true,
        .macWords = {0x0011, 0x2233, 0x4455, 0},
        .sipWords = {3, 0, 2, 5},
        .ipWords = {0, 0, 0, 0},
        .texts = {{0, 1, "Qnlr Tolvin"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Orrin PCS at firmware 4.1: level 9 without asking, unit ID by nibbles in the other layout.
    units.push_back({
        .key = "orrin-pcs",
        .vendorId = 0x0556,
        .productId = 20,
        .algorithmWord = 0x004,
        .firmware = FirmwareVersion{4, 1},
        .protocolLevel = 9,
        .unitId = AltUnitId(1, 31, false, 5000),
        .probe41 = 0x00,
        .registers = kOldRegisters,
        .switchesOn = kSwitches,
    });

    // Velmar of the first generation: level 6, no frames, a line on its PSTN interface.
    units.push_back({
        .key = "velmar-old",
        .vendorId = 0x0556,
        .productId = 18,
        .algorithmWord = 0x001,
        .firmware = FirmwareVersion{2, 5},
        .protocolLevel = 6,
        .unitId = AltUnitId(0, 1, true, 77),
        .probe41 = 0x88,
        .lineSense = LineSense::Probe40Bit3,
        .linePresent = {true, true, true, true},
        .registers = kOldRegisters,
        .switchesOn = kSwitches,
    });

    units.push_back({
        .key = "kr103",
        .productId = 24,
        .algorithmWord = 0x003,
        .firmware = FirmwareVersion{3, 4},
        .protocolLevel = 13,
        .unitId = DefaultUnitId(2, 1, 1, false, 45, 300),
        .probe36 = 0x00,
        // A processor that reports no hardware configuration: every byte 0xFF.
        .hardwareConfig = std::array<std::uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        .texts = {{0, 1, "Qnlr KR103"}},
        .refusals = {{5, 1, 253}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // KR401 below firmware 5: line probe 0x40FF, status words in parameter (0, 14).
    units.push_back({
        .key = "kr401",
        .productId = 23,
        .algorithmWord = 0x006,
        .firmware = FirmwareVersion{4, 2},
        .protocolLevel = 13,
        .unitId = DefaultUnitId(4, 3, 2, false, 99, 1),
        .lineSense = LineSense::Probe40Bit3,
        .linePresent = {true, true, true, true},
        .hardwareConfig = HardwareBytes(1, 0, 0, 1, 0, 0, 1, 0, 0),
        .parameters = {{0, 14, 0, 0x0001}, {0, 14, 1, 0x0008}},
        .texts = {{0, 1, "Qnlr KR401"}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // KR401_32kHZ above firmware 5 (named Castel): the line shows only after the relay toggles.
    units.push_back({
        .key = "castel",
        .productId = 28,
        .algorithmWord = 0x006,
        .firmware = FirmwareVersion{5, 1},
        .protocolLevel = 20,
        .unitId = DefaultUnitId(4, 6, 1, true, 12, 3456),
        .lineSense = LineSense::Probe41Bit1,
        .linePresent = {false, false, true, true},
        .mainPic = {{1, {0, 3, 4}}},
        .interfacePic = {{1, {0, 2, 2}}},
        .hardwareConfig = HardwareBytes(1, 1, 0, 1, 0, 0, 2, 0, 0),
        .parameters = {{0, 14, 0, 0}, {0, 14, 1, 0}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Castel stand-alone at firmware 7: its main PIC runs its first revision.
    units.push_back({
        .key = "castel-standalone",
        .productId = 279,
        .algorithmWord = 0x006,
        .firmware = FirmwareVersion{7, 2},
        .protocolLevel = 22,
        .unitId = DefaultUnitId(5, 1, 2, false, 3, 4),
        .serialNumber = "CS-279-\xFF\xFF"
                        "0001",
        .lineSense = LineSense::Probe41Bit1,
        .linePresent = {true, true, true, true},
        .mainPic = {{4, {8, 5, 255}}, {1, {0, 5, 1}}},
        .interfacePic = {{4, {11, 2, 0}}},
        .hardwareConfig = HardwareBytes(3, 1, 1, 1, 0, 0, 7, 0, 0),
        .parameters = {{7, 3, 0, 0}, {7, 3, 1, 0}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // KR401 running its backup image (algorithm 1023): always asked for its level.
    units.push_back({
        .key = "kr401-backup",
        .productId = 23,
        .algorithmWord = 0x7FF,
        .firmware = FirmwareVersion{2, 1},
        .protocolLevel = 13,
        .unitId = DefaultUnitId(4, 3, 2, false, 100, 2),
        .lineSense = LineSense::Probe40Bit3,
        .linePresent = {false, false, false, false},
        .hardwareConfig = HardwareBytes(1, 0, 0, 1, 0, 0, 1, 0, 0),
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // A board that was never programmed: the probe 0x36FF and the unit ID say so.
    units.push_back({
        .key = "new-board",
        .productId = 26,
        .algorithmWord = 0x000,
        .firmware = FirmwareVersion{1, 0},
        .protocolLevel = 13,
        .unitId = 0x00010000,
        .probe36 = 0x80,
        .hardwareConfig = HardwareBytes(0, 0, 0, 1, 0, 0, 0, 0, 0),
        .registers = kRegisters,
    });

    // Varnholt H880-M (0xD100): asked for its level from firmware 4.8.
    units.push_back({
        .key = "h880-m",
        .vendorId = 0x2E71,
        .productId = 53504,
        .algorithmWord = 0x008,
        .firmware = FirmwareVersion{4, 8},
        .protocolLevel = 13,
        .unitId = AltUnitId(2, 31, true, 123456),
        .probe41 = 0x00,
        .hardwareConfig = HardwareBytes(1, 1, 1, 1, 0, 0, 2, 0, 0),
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Varnholt H880 (0xD101) at firmware 1.1: level 9 without asking.
    units.push_back({
        .key = "h880",
        .vendorId = 0x2E71,
        .productId = 53505,
        .algorithmWord = 0x008,
        .firmware = FirmwareVersion{1, 1},
        .protocolLevel = 9,
        .unitId = AltUnitId(2, 31, false, 654321),
        .probe41 = 0x00,
        .registers = kOldRegisters,
        .switchesOn = kSwitches,
    });

    // Velmar3-M (0xD300) with no interface board.
    units.push_back({
        .key = "velmar3-m",
        .productId = 54016,
        .algorithmWord = 0x003,
        .firmware = FirmwareVersion{6, 1},
        .protocolLevel = 20,
        .unitId = DefaultUnitId(3, 4, 5, false, 6, 7),
        .probe40 = 0x80,
        .probe41 = 0x84,
        .mainStatus = StatusWords{0x0000, 0x0000},
        .mainPic = {{4, {9, 4, 3}}},
        .hardwareConfig = HardwareBytes(1, 1, 2, 1, 0, 0, 3, 0, 0),
        .parameters = {{7, 3, 0, 0}, {7, 3, 1, 0}, {8, 3, 0, 0}, {8, 3, 1, 0}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    // Velmar TF below firmware 6 with a two-line PSTN board: the second line needs the select.
    units.push_back({
        .key = "velmar-tf",
        .productId = 530,
        .algorithmWord = 0x003,
        .firmware = FirmwareVersion{5, 3},
        .protocolLevel = 13,
        .unitId = DefaultUnitId(1, 1, 1, false, 1, 1),
        .probe41 = 0x88,
        .lineSense = LineSense::StatusWord0Bit15,
        .linePresent = {false, true, false, true},
        .mainPic = {{4, {9, 3, 9}}},
        .interfacePic = {{4, {10, 1, 1}}},
        .hardwareConfig = HardwareBytes(1, 0, 0, 1, 0, 0, 2, 0, 0),
        .parameters = {{8, 3, 0, 0}, {8, 3, 1, 0}},
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    units.push_back({
        .key = "ansel-kr201",
        .productId = 17,
        .algorithmWord = 0x002,
        .firmware = FirmwareVersion{3, 0},
        .protocolLevel = 10,
        .unitId = DefaultUnitId(1, 2, 3, false, 4, 5),
        .registers = kRegisters,
        .switchesOn = kSwitches,
    });

    return units;
}

const std::vector<UnitProfile>& Catalogue() {
    static const std::vector<UnitProfile> catalogue = BuildCatalogue();
    return catalogue;
}

}  // namespace

std::vector<std::string> catalogueKeys() {
    std::vector<std::string> keys;
    for (const auto& unit : Catalogue()) {
        keys.push_back(unit.key);
    }
    return keys;
}

const UnitProfile& catalogueProfile(const std::string& key) {
    for (const auto& unit : Catalogue()) {
        if (unit.key == key) {
            return unit;
        }
    }
    throw std::invalid_argument("no simulated unit named \"" + key + "\" in the catalogue");
}

std::shared_ptr<SimHidUnit> makeUnit(const UnitProfile& profile, std::shared_ptr<UnitState> state) {
    SimHidUnit::Config config;
    config.vendorId = profile.vendorId;
    config.productId = profile.productId;
    config.inputReportLength = profile.reportLength;
    auto local = std::make_shared<CatalogueUnitModel>(profile, profile.unitNumber, std::move(state));
    auto unit = std::make_shared<SimHidUnit>(config, local);
    if (!profile.attachedUnitKey.empty()) {
        unit->addRemoteUnit(std::make_shared<CatalogueUnitModel>(catalogueProfile(profile.attachedUnitKey),
                                                                 profile.attachedUnitNumber));
    }
    return unit;
}

std::shared_ptr<SimHidUnit> makeCatalogueUnit(const std::string& key) {
    return makeUnit(catalogueProfile(key));
}

}  // namespace sim
