// Finding, opening and identifying the unit.
#include <cstdio>
#include <map>

#include "device/HIDProtocol.h"
#include "platform/System.h"

namespace {

constexpr std::uint16_t kAlgorithmQuery = 0x9000;
constexpr std::uint16_t kFirmwareQuery = 0xA000;
constexpr std::uint16_t kProtocolQuery = 0xA400;
constexpr int kBackupAlgorithm = 1023;

const std::map<int, const char*>& ProductNameTable() {
    static const std::map<int, const char*> names = {
        {17, "Ansel KR201"},
        {273, "Ansel KR201"},
        {4113, "Ansel 8kHz"},
        {7, "KR102-RGX"},
        {8, "KR102"},
        {18, "Velmar"},
        {274, "Velmar3"},
        {54016, "Velmar3-M"},
        {1042, "Tolvin-SIP"},
        {1043, "Tolvin-PSTN"},
        {1044, "Tolvin-Smart"},
        {83, "Brevik-KR600"},
        {530, "Velmar TF"},
        {786, "Velmar Controller"},
        {19, "Orrin Executive"},
        {275, "Orrin Executive"},
        {20, "Orrin PCS"},
        {276, "Orrin PCS"},
        {21, "Orrin PTT"},
        {277, "Orrin PTT"},
        {22, "Orrin VCA"},
        {278, "Orrin VCA"},
        {23, "KR401"},
        {28, "KR401_32kHZ"},
        {279, "Castel-Stand Alone"},
        {535, "Castel-Master"},
        {791, "Castel-Slave"},
        {24, "KR103"},
        {25, "KR103 32kHz"},
        {26, "KR103 48kHz"},
        {27, "KR103 96kHz"},
        {29, "KR107A"},
        {4119, "GL 400/800"},
        {53504, "H880-M"},
        {53505, "H880"},
        {4354, "H880-M2"},
        {32767, "KR103 TF"},
    };
    return names;
}

}  // namespace

std::string CHIDProtocol::ProductNameFromCode(int code) {
    const auto& names = ProductNameTable();
    const auto it = names.find(code);
    return it == names.end() ? std::string{} : std::string{it->second};
}

void CHIDProtocol::SendIPGreeting() {
    // "INIT:" goes with its terminating zero.
    static constexpr char kGreeting[] = "INIT:";
    m_udpSocket.SendDatagram(kGreeting, sizeof kGreeting);
    platform::sleepMs(100);
}

bool CHIDProtocol::Connect(int wanted, bool byIndex, bool full) {
    const bool unitRoute = m_comPort != nullptr || m_slaveUnit > 0;
    if (unitRoute || m_ipMode) {
        if (m_ipMode) {
            SendIPGreeting();
        }
        // The unit names its product in processor parameter (0, 2).
        m_protocolVersion = 13;
        std::uint16_t word = 0;
        if (GetParameter(0, 2, &word, 1) > 0) {
            // Product codes are unsigned 16-bit numbers (53504 and up included).
            m_productCode = word;
            if (m_ipMode) {
                m_ipAnswered = true;
            }
        }
    } else if (byIndex) {
        // An index outside the list selects nothing.
        const int index = wanted >= 0 && wanted < static_cast<int>(m_devices.size()) ? wanted : -1;
        if (index != m_selectedDevice) {
            // The open records belong to the previous selection.
            OpenDevice(false, true);
        }
        m_selectedDevice = index;
    } else {
        RefreshDeviceList();
        m_selectedDevice = -1;
        OpenDevice(false, true);
        for (std::size_t i = 0; i < m_devices.size(); ++i) {
            const auto& attributes = m_devices[i].attributes;
            const int product = attributes.productId;
            const bool candidate = (wanted >= 0 && product == wanted) || wanted == -1 ||
                                   (wanted < -1 && MatchFamilySelector(product, wanted));
            // The scan runs to the end: the last acceptable device wins.
            if (candidate && IsSupportedDevice(attributes.vendorId, attributes.productId,
                                               m_devices[i].caps.numberInputButtonCaps)) {
                m_selectedDevice = static_cast<int>(i);
            }
        }
    }
    if (!unitRoute && !m_ipMode && m_selectedDevice > -1) {
        m_productCode = m_devices[static_cast<std::size_t>(m_selectedDevice)].attributes.productId;
    }

    if (m_selectedDevice <= -1 && m_comPort == nullptr && m_slaveUnit <= 0 && !m_ipAnswered) {
        Disconnect();
        return false;
    }

    m_configFileInfo.clear();
    m_productName = ProductNameFromCode(m_productCode);
    // The unit ID read before belongs to the unit identified before (the hub, while the report
    // identifies the unit behind it, or a unit since swapped): the next query reads again.
    m_unitIdWord = 0;
    m_unitIdRead = false;
    m_interfaceTypeName.clear();
    m_interfaceTypeCode = 0;

    if (m_comPort == nullptr && !m_ipMode && !m_deviceOpen) {
        OpenDevice(true, m_startReaderOnOpen);
        // Without an open device there is no unit to identify (a node without permission is
        // the usual cause).
        if (!m_deviceOpen) {
            Disconnect();
            return false;
        }
    }

    if (!full) {
        m_algorithmCode = 0;
        m_firmwareNumber = m_firmwareMajor = m_firmwareMinor = 0;
        m_firmwareVersionText.clear();
        m_protocolVersion = 0;
        return true;
    }

    m_algorithmCode = 0;
    if (m_productCode == 1042 && m_interfaceTypeCode == 0) {
        DetectInterfaceType();
        if (m_interfaceTypeCode == 5020) {
            m_algorithmCode = 1;
            m_productName = "Tolvin-PSTN";
        }
    }
    ReplyBuffer reply{};
    if (m_algorithmCode == 0) {
        const int w = SendWord(kAlgorithmQuery, reply);
        if (w >= 0) {
            m_algorithmCode = (w & 0x400) != 0 ? (w & 0x3FF) : (w & 0x1F);
        }
    }
    if (m_algorithmCode == kBackupAlgorithm) {
        if (IsTolvinFamily()) {
            switch (GetInterfaceTypeCode()) {
                case 5020:
                    m_productName = "Tolvin-PSTN-Backup";
                    break;
                case 5030:
                    m_productName = "Tolvin-Smart-Backup";
                    break;
                case 5050:
                    m_productName = "Tolvin-SIP-Backup";
                    break;
                default:
                    break;
            }
        } else {
            m_productName += "-Backup";
        }
    }

    const int w = SendWord(kFirmwareQuery, reply);
    if (w >= 0) {
        m_firmwareMajor = (w >> 4) & 0x7F;
        m_firmwareMinor = w & 0xF;
        m_firmwareNumber = m_firmwareMajor * 1000 + m_firmwareMinor;
        char text[32];
        std::snprintf(text, sizeof text, "%d.%d", m_firmwareMajor, m_firmwareMinor);
        m_firmwareVersionText = text;
        if (m_productCode == 28 && m_firmwareNumber >= 5000) {
            m_productName = "Castel";
        }
        if (m_productCode == 18) {
            if (m_firmwareNumber >= 6000) {
                m_productName = "Velmar3";
            } else if (m_firmwareNumber >= 5000) {
                m_productName = "Velmar";
            }
        }
    } else if (m_productCode == 18) {
        m_firmwareMajor = 0;
        m_firmwareMinor = 1;
        m_firmwareNumber = 1;
        m_firmwareVersionText = "0.1";
    } else {
        m_firmwareMajor = m_firmwareMinor = m_firmwareNumber = 0;
        m_firmwareVersionText.clear();
        m_protocolVersion = 0;
    }
    DetectProtocolVersion();
    return true;
}

void CHIDProtocol::DetectProtocolVersion() {
    const int fw = m_firmwareNumber;
    int level = 0;
    bool ask = true;
    switch (m_productCode) {
        case 18:
            level = fw >= 2002 ? 6 : 0;
            ask = fw >= 5000 || fw == 0;
            break;
        case 19:
            level = fw >= 3000 ? 6 : 0;
            ask = fw > 4000;
            break;
        case 20:
        case 21:
            level = fw == 4001 ? 9 : (fw >= 2000 ? 6 : 0);
            ask = fw > 4001;
            break;
        case 53504:
            level = fw >= 4001 ? 9 : (fw >= 2000 ? 6 : 0);
            ask = fw >= 4008;
            if (fw >= 4007) {
                m_productName = "H880-M";
            }
            break;
        case 53505:
            level = fw >= 1000 ? 9 : 0;
            ask = fw >= 2000;
            if (fw >= 1001) {
                m_productName = "H880";
            }
            break;
        case 22:
            level = fw >= 2000 ? 6 : 0;
            ask = fw >= 3000;
            break;
        default:
            if (IsKR401Family()) {
                level = fw >= 2000 ? 6 : 0;
                ask = fw > 3000;
            }
            break;
    }
    m_protocolVersion = level;
    if (ask || m_algorithmCode == kBackupAlgorithm) {
        // A slave unit is asked through parameter access, which needs level 13.
        m_protocolVersion = 13;
        ReplyBuffer reply{};
        const int w = SendWord(kProtocolQuery, reply);
        m_protocolVersion = w >= 0 ? (w & 0x3FF) : 0;
    }
    m_defaultVolumeBase = m_protocolVersion == 9 ? 0x607F : 0x603F;
    if (m_slaveUnit <= 0 && m_comPort == nullptr && !m_ipMode) {
        m_localProtocolVersion = m_protocolVersion;
    }
}
