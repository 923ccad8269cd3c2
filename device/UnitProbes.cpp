// Probes of what is fitted to the unit: line interface board, PIC controllers, processor
// hardware and network identity.
#include <cstdio>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

namespace {

constexpr std::uint16_t kLinkProbe = 0x0555;
constexpr std::uint16_t kLineProbe = 0x40FF;
constexpr std::uint16_t kBoardProbe = 0x41FF;

// Network request block of the processor: index 0 the request, 1..4 the answer words.
constexpr std::uint8_t kNetworkPage = 6;
constexpr std::uint8_t kNetworkParameter = 13;
constexpr int kRequestMac = 4;
constexpr int kRequestSip = 6;
constexpr int kRequestIp = 8;

bool IsVelmarGroup(int code) {
    return CHIDProtocol::IsVelmarCode(code);
}

// The words of the network answers are signed 16-bit numbers.
int Signed16(std::uint16_t word) {
    return static_cast<std::int16_t>(word);
}

}  // namespace

std::string CHIDProtocol::InterfaceTypeName(int code, int firmwareNumber) {
    const bool newer = firmwareNumber >= 6000;
    switch (code) {
        case 3020:
            return newer ? "KR302 - PSTN Line Analog Interface" : "KR302-L - PSTN Line Analog Interface";
        case 3021:
            return "KR302-1L - PSTN 1 Line Analog Interface";
        case 3022:
            return "KR302-2L - PSTN 2 Line Analog Interface";
        case 3030:
            return newer ? "KR303 - Smart" : "KR303/KR305 - Video Codec or Digital phone interface";
        case 3040:
            return newer ? "KR304 - External Power Interface" : "KR304 - Daisy Chain Interface";
        case 3050:
            return "KR305 - SIP Interface";
        case 4020:
            return "KR402-L - PSTN Line Analog Interface";
        case 5020:
            return "KR502-PSTN";
        case 5030:
            return "KR503-Smart";
        case 5050:
            return "KR505-SIP";
        default:
            return {};  // 3010 and 4010: no board
    }
}

void CHIDProtocol::SetInterfaceType(int code) {
    m_interfaceTypeCode = code;
    m_interfaceTypeName = InterfaceTypeName(code, m_firmwareNumber);
}

bool CHIDProtocol::IsConnected() {
    if (m_ipMode) {
        return m_ipAnswered;
    }
    if (!m_deviceOpen) {
        return false;
    }
    ReplyBuffer reply{};
    if (SendWord(kLinkProbe, reply) >= 0) {
        return true;
    }
    OpenDevice(false, true);
    return false;
}

void CHIDProtocol::ToggleLineRelay() {
    ReplyBuffer reply{};
    SendWord(0x2080, reply);
    platform::sleepMs(100);
    SendWord(0x2180, reply);
    platform::sleepMs(100);
}

void CHIDProtocol::PulseLineSelect() {
    ReplyBuffer reply{};
    SendWord(0x2710, reply);
    platform::sleepMs(500);
    SendWord(0x2610, reply);
    platform::sleepMs(500);
}

bool CHIDProtocol::IsLinePresent() {
    ReplyBuffer reply{};
    const int code = m_productCode;
    if (code == 18 || (IsKR401Family() && m_firmwareNumber < 5000)) {
        const int answer = SendWord(kLineProbe, reply);
        return answer >= 0 && (answer & 0x08) == 0;
    }
    if (code == 274 || code == 530 || code == 54016) {
        std::uint16_t words[2] = {0, 0};
        return GetParameter(8, 3, words, 2) >= 0 && (words[0] & 0x8000) == 0;
    }
    if (IsKR401Family()) {
        const int answer = SendWord(kBoardProbe, reply);
        return answer >= 0 && (answer & 0x02) == 0;
    }
    return false;
}

std::string CHIDProtocol::DetectInterfaceType() {
    if (!m_interfaceTypeName.empty()) {
        return m_interfaceTypeName;
    }
    const int fw = m_firmwareNumber;
    ReplyBuffer reply{};
    if (IsTolvinFamily()) {
        const Frame frame{0xF0, 0x18, 0x03, 0x02, 0xFF, 0xFF, 0x00, 0x00};
        const int v = SendFrame(frame, reply) >= 0 ? reply[6] * 256 + reply[7] : -1;
        switch (v & 0x700) {
            case 0x300:
                SetInterfaceType(5050);
                break;
            case 0x100:
                SetInterfaceType(5020);
                break;
            case 0x000:
                SetInterfaceType(5030);
                break;
            default:
                break;
        }
    } else if (IsVelmarGroup(m_productCode) && fw >= 6000) {
        // An unanswered probe counts as an answer with every bit set.
        const int a = SendWord(kBoardProbe, reply);
        if ((a & 0x04) != 0) {
            SetInterfaceType(3010);
        } else {
            const int b = SendWord(kLineProbe, reply);
            if ((b & 0x80) == 0) {
                std::uint16_t words[2] = {0, 0};
                // Without the interface processor's status there is nothing to tell the board by.
                if (GetStatusWords(words, false, 2)) {
                    const int board = (words[1] >> 2) & 0x7;
                    if (board == 0) {
                        SetInterfaceType(3020);
                    } else if (board == 1) {
                        SetInterfaceType(3030);
                    }
                }
            } else {
                switch (b & 0x0C) {
                    case 0x00:
                        SetInterfaceType(3040);
                        break;
                    case 0x04:
                        SetInterfaceType(3050);
                        break;
                    default:
                        SetInterfaceType(3010);
                        break;
                }
            }
        }
    } else if (IsVelmarGroup(m_productCode)) {
        const int a = SendWord(kBoardProbe, reply);
        if ((a & 0x08) == 0) {
            SetInterfaceType(3040);
        } else if (IsLinePresent()) {
            if (m_protocolVersion < 10) {
                SetInterfaceType(3020);
            } else {
                ToggleLineRelay();
                if (IsLinePresent()) {
                    PulseLineSelect();
                    SetInterfaceType(3022);
                } else {
                    PulseLineSelect();
                    SetInterfaceType(IsLinePresent() ? 3022 : 3021);
                    ToggleLineRelay();
                }
            }
        } else if (m_protocolVersion >= 10) {
            PulseLineSelect();
            if (IsLinePresent()) {
                PulseLineSelect();
                SetInterfaceType(3022);
            } else {
                ToggleLineRelay();
                if (IsLinePresent()) {
                    SetInterfaceType(3021);
                } else {
                    SetInterfaceType((a & 0x04) != 0 ? 3010 : 3030);
                }
                ToggleLineRelay();
            }
        }
    } else if (IsKR401Family() && fw >= 2001) {
        if (IsLinePresent()) {
            SetInterfaceType(4020);
        } else {
            ToggleLineRelay();
            if (IsLinePresent()) {
                ToggleLineRelay();
                SetInterfaceType(4020);
            }
        }
    } else {
        SetInterfaceType(4010);
    }
    return m_interfaceTypeName;
}

int CHIDProtocol::GetInterfaceTypeCode() {
    if (m_interfaceTypeCode == 0) {
        DetectInterfaceType();
    }
    return m_interfaceTypeCode;
}

bool CHIDProtocol::ReadPicInfo(int which, int& id, int& major, int& minor) {
    id = -1;
    major = 0;
    minor = 0;
    const int code = m_productCode;
    const bool velmarWithPic = code == 274 || code == 54016 || code == 530;
    const bool kr401 = IsKR401Family();
    if (IsOrrinFamily() || IsTolvinFamily() || (code == 786 && which == 2)) {
        return false;
    }
    if (!velmarWithPic && !kr401 && m_protocolVersion < 20) {
        return false;
    }
    if (kr401 && (m_firmwareNumber < 5000 || (which != 1 && m_protocolVersion < 20))) {
        return false;
    }
    ReplyBuffer reply{};
    if (velmarWithPic && which != 1) {
        const int answer = SendWord(kLineProbe, reply);
        if (answer < 0 || (answer & 0x80) != 0) {
            return false;
        }
    }
    const auto processor = static_cast<std::uint8_t>(which == 1 ? 0x11 : 0x21);
    const bool oldKr401 = kr401 && m_firmwareNumber < 7000;
    const auto page = static_cast<std::uint8_t>(oldKr401 ? 1 : 4);
    if (SendFrame(Frame{0xF0, processor, 0x19, page, 0, 0, 0, 0}, reply) <= 0 || (reply[2] & 0x80) != 0) {
        return false;
    }
    if (reply[5] != 255) {
        id = oldKr401 ? 3 : reply[7];
        major = reply[4];
        minor = reply[5];
        return true;
    }
    // The controller runs its first software revision: ask again on page 1.
    if (SendFrame(Frame{0xF0, processor, 0x19, 1, 0, 0, 0, 0}, reply) > 0) {
        id = which == 1 ? 4 : 5;
        major = reply[4];
        minor = reply[5];
    }
    return true;
}

bool CHIDProtocol::ReadHardwareConfig(HardwareConfig& config) {
    config = HardwareConfig{};
    if (!IsConnected() || m_protocolVersion < 11 || (!m_ipMode && GetReportLength() < 8)) {
        return false;
    }
    const std::string text = (IsOrrinFamily() || IsVelmarFamily())
                                 ? "You should release the volume up button for reading the hardware "
                                   "configuration.   "
                                 : "You should remove protection jumper J5 for reading the hardware "
                                   "configuration.   ";
    for (int attempt = 1;; ++attempt) {
        if (!IsNewBoard()) {
            break;
        }
        const int answer = platform::showMessageBox("Reading Configuration", text,
                                                    platform::mb::kOkCancel | platform::mb::kIconWarning);
        if (answer == platform::id::kCancel || attempt == 5) {
            return false;
        }
    }

    ReplyBuffer reply{};
    SendWord(0xB600, reply);
    if (SendFrame(Frame{0xF0, 0x03, 0, 0, 0, 0, 0, 0}, reply) < 0) {
        return false;
    }
    bool allSet = true;
    for (std::size_t i = 2; i < 8; ++i) {
        allSet = allSet && reply[i] == 0xFF;
    }
    if (allSet) {
        return true;
    }
    static constexpr int kDspTypes[] = {5506, 5507, 5509, 6746};
    static constexpr const char* kDspNames[] = {"TMS320VC5506", "TMS320VC5507", "TMS320VC5509",
                                                "TMS320C6746"};
    static constexpr int kClocks[] = {108, 192, 375};
    const int dsp = reply[2] & 0x03;
    config.dspType = kDspTypes[dsp];
    config.dspName = kDspNames[dsp];
    const int clock = (reply[2] >> 2) & 0x03;
    if (clock < 3) {
        config.clockMhz = kClocks[clock];
    }
    config.memoryType = (reply[2] >> 4) & 0x03;
    config.config4 = (reply[3] & 0x03) + 1;
    config.config5 = (reply[3] >> 2) & 0x07;
    config.config6 = reply[4];
    config.hardwareVersion = reply[5];
    config.config8 = (reply[6] >> 6) & 0x03;
    config.config9 = (reply[6] >> 4) & 0x03;
    return true;
}

std::optional<std::array<std::uint16_t, 4>> CHIDProtocol::ReadNetworkWords(int request, int count) {
    for (int i = 1; i <= count; ++i) {
        SetParameterItem(kNetworkPage, kNetworkParameter, static_cast<std::uint8_t>(i), 0);
    }
    SetParameterItem(kNetworkPage, kNetworkParameter, 0, request);
    // Raising bit 1 of page 6, parameter 2 makes the processor answer the request.
    SetParameterBit(kNetworkPage, 1, 1);
    platform::sleepMs(200);
    std::array<std::uint16_t, 4> words{};
    for (int i = 1; i <= count; ++i) {
        if (GetParameterItem(kNetworkPage, kNetworkParameter, static_cast<std::uint8_t>(i),
                             words[static_cast<std::size_t>(i - 1)]) <= 0) {
            return std::nullopt;
        }
    }
    return words;
}

std::string CHIDProtocol::ReadSipVersion() {
    if (m_protocolVersion < 22 || (m_productCode != 1042 && m_productCode != 83)) {
        return {};
    }
    const auto words = ReadNetworkWords(kRequestSip, 4);
    if (!words) {
        return "Reading Error";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", Signed16((*words)[0]), Signed16((*words)[1]),
                  Signed16((*words)[2]), Signed16((*words)[3]));
    return text;
}

std::string CHIDProtocol::ReadMacAddress() {
    if (m_protocolVersion < 22) {
        return {};
    }
    if (GetInterfaceTypeCode() != 5050 && m_productCode != 83) {
        return {};
    }
    const auto words = ReadNetworkWords(kRequestMac, 3);
    if (!words) {
        return "Reading Error";
    }
    const auto& w = *words;
    char text[64];
    std::snprintf(text, sizeof text, "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X", w[0] >> 8, w[0] & 0xFF, w[1] >> 8,
                  w[1] & 0xFF, w[2] >> 8, w[2] & 0xFF);
    return text;
}

std::string CHIDProtocol::ReadIpAddress() {
    if (m_protocolVersion < 22) {
        return {};
    }
    if (m_productCode != 83 && GetInterfaceTypeCode() != 5050) {
        return {};
    }
    const auto words = ReadNetworkWords(kRequestIp, 4);
    if (!words) {
        return "Reading Error";
    }
    const auto& w = *words;
    if (w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0) {
        return "No IP";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", Signed16(w[0]), Signed16(w[1]), Signed16(w[2]),
                  Signed16(w[3]));
    return text;
}
