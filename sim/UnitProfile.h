#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What one model of the product line is and answers, as plain data. A catalogue model is one
// of these tables; CatalogueUnitModel plays it.

struct FirmwareVersion {
    int major = 0;
    int minor = 0;
};

// A PIC controller's answer to F0 11 19 p (main) or F0 21 19 p (interface).
struct PicVersion {
    std::uint8_t id = 0;
    std::uint8_t major = 0;
    std::uint8_t minor = 0;  // 255: the controller runs its first revision
};

struct StatusWords {
    std::uint16_t word0 = 0;
    std::uint16_t word1 = 0;
};

struct ParameterValue {
    std::uint8_t page = 0;
    std::uint8_t parameter = 0;
    std::uint8_t index = 0;
    std::uint16_t value = 0;
};

struct TextParameter {
    std::uint8_t page = 0;
    std::uint8_t parameter = 0;
    std::string text;
};

struct ParameterRefusal {
    std::uint8_t page = 0;
    std::uint8_t parameter = 0;
    std::uint8_t errorByte = 255;
};

// Where the unit shows whether a telephone line is present (the bit is clear when it is).
enum class LineSense {
    None,
    Probe40Bit3,      // bit 3 of the 0x40FF answer
    Probe41Bit1,      // bit 1 of the 0x41FF answer
    StatusWord0Bit15  // bit 15 of processor parameter (8, 3) index 0
};

struct UnitProfile {
    std::string key{};
    // The USB HID interface.
    std::uint16_t vendorId = 0x3B59;
    std::uint16_t productId = 0;
    std::uint16_t reportLength = 9;
    int unitNumber = 0;

    // Identification. An empty optional: the firmware does not answer that command.
    std::optional<std::uint16_t> algorithmWord{};  // 0x9000 answers 0x9000 | word (12 bits)
    std::optional<FirmwareVersion> firmware{};     // 0xA000 answers 0xA000 | major << 4 | minor
    int protocolLevel = 0;                         // 0xA400 answers 0xA400 | level; frames need 11
    std::uint32_t unitId = 0;                      // F0 05 and the nibble commands 0xB370..0xB300
    std::string serialNumber{};                    // F0 1A, four characters a step

    // Probes: the low bytes of the answers to 0x36FF, 0x40FF and 0x41FF.
    std::uint8_t probe36 = 0x00;  // bit 7 with unit ID 0x00010000: an unprogrammed board
    std::uint8_t probe40 = 0x00;  // bit 7: no interface processor; bits 3-2: the board kind
    std::uint8_t probe41 = 0x00;  // bit 7, bit 3, bit 2: see the interface detection
    LineSense lineSense = LineSense::None;
    // Whether a line is present, by relay state × 2 + line select state.
    std::array<bool, 4> linePresent{};
    std::optional<std::uint16_t> interfaceBoardWord{};            // F0 18: reply bytes 6-7
    std::optional<StatusWords> mainStatus{};                      // F0 11 0A; empty: refused
    std::optional<StatusWords> interfaceStatus{};                 // F0 21 0A; empty: refused
    std::map<std::uint8_t, PicVersion> mainPic{};                 // by the page byte p of F0 11 19 p
    std::map<std::uint8_t, PicVersion> interfacePic{};            // by p of F0 21 19 p
    std::optional<std::array<std::uint8_t, 6>> hardwareConfig{};  // F0 03: reply bytes 2..7

    // Network answers of the request block (page 6, parameter 13); false: no network side.
    bool network = false;
    std::array<std::uint16_t, 4> macWords{};
    std::array<std::uint16_t, 4> sipWords{};
    std::array<std::uint16_t, 4> ipWords{};

    // The processor and the registers.
    std::vector<ParameterValue> parameters{};
    std::vector<TextParameter> texts{};
    std::vector<ParameterRefusal> refusals{};
    std::map<std::uint8_t, std::uint8_t> registers{};
    std::vector<std::uint8_t> switchesOn{};

    // A unit attached behind this one (the hub's unit 16): its catalogue key and number.
    std::string attachedUnitKey{};
    int attachedUnitNumber = 16;
};

}  // namespace sim
