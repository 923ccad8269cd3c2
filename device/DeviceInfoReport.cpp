// The device-information report: what the device layer can learn about the connected unit.
#include <cstdio>

#include "device/HIDProtocol.h"

namespace {

constexpr int kHubProductCode = 786;
constexpr int kAttachedUnit = 16;
constexpr std::uint16_t kHubAttachBit = 0x4000;

// The signal-processing image of a KR103-family unit, by its algorithm code.
struct AlgorithmImage {
    int code;
    const char* description;
    const char* channels;
    const char* samplingFrequency;
    const char* imageFileName;
};

constexpr AlgorithmImage AlgorithmImageTable[] = {
    {512, "Noise Reduction", "2", "16kHz", "Qnlr_NR_5506_2CH_16Khz"},
    {513, "Noise Reduction", "4", "16kHz", "Qnlr_NR_5507_4CH_16Khz"},
    {514, "Acoustic Echo Canceller", "1", "16kHz", "Qnlr_AEC3_5506_1CH_16Khz"},
    {515, "Acoustic Echo Canceller", "1", "16kHz", "Qnlr_AEC3_5507_1CH_16Khz"},
    {516, "Acoustic Echo Canceller", "2", "16kHz", "Qnlr_AEC3_5507_2CH_16Khz"},
    {517, "Stereo Acoustic Echo Canceller", "1", "16kHz", "Qnlr_STRAEC2_5507_1CH_16Khz"},
    {518, "Mixer + Acoustic Echo Canceller", "4", "16kHz", "Qnlr_AECMIX_5507_4CH_16Khz"},
    {519, "Beam-Former + Acoustic Echo Canceller", "4", "16kHz", "Qnlr_AECBF_5507_4CH_16Khz"},
    {520, "Noise Reduction", "2", "32kHz", "Qnlr_NR_5506_2CH_32Khz"},
    {521, "Noise Reduction", "4", "32kHz", "Qnlr_NR_5507_4CH_32Khz"},
    {523, "Acoustic Echo Canceller", "1", "32kHz", "Qnlr_AEC3_5507_1CH_32Khz"},
    {526, "Stereo Sound Card", "2 Inputs, 2 Outputs", "16kHz", "Qnlr_Sampler_5506_2CH_16Khz"},
    {527, "Stereo Sound Card", "2 Inputs, 2 Outputs", "32kHz", "Qnlr_Sampler_5506_2CH_32Khz"},
    {528, "Multi Channel Sound Card", "6 inputs, 4 Outputs", "16kHz", "Qnlr_Sampler_5507_6CH_16Khz"},
    {529, "Multi Channel Sound Card", "6 inputs, 4 Outputs", "32kHz", "Qnlr_Sampler_5507_6CH_32Khz"},
    {530, "Stereo Acoustic Echo Canceller", "1", "32kHz", "Qnlr_STRAEC2_5507_1CH_32Khz"},
    {531, "Stereo Acoustic Echo Canceller - Single Reference", "1", "32kHz", "Qnlr_AEC3_5507_1CH_2SPK_32kHz"},
    {540, "RGX Mixer + Acoustic Echo Canceller", "4", "16kHz", "RGXdect.hex"},
};

const AlgorithmImage* findImage(int code) {
    for (const auto& row : AlgorithmImageTable) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

std::string decimal(int value) {
    return std::to_string(value);
}

std::string hexCode(int code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(code));
    return text;
}

std::string memoryText(int code) {
    switch (code) {
        case 0:
            return "Paralel";
        case 1:
            return "SPI";
        case 2:
            return "SPI-16M";
        default:
            return {};
    }
}

}  // namespace

std::string CHIDProtocol::PicText(int which) {
    int id = 0;
    int major = 0;
    int minor = 0;
    if (!ReadPicInfo(which, id, major, minor)) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "ID-%d, Version-%d.%d", id, major, minor);
    return text;
}

void CHIDProtocol::SetHubAttachBit(bool on) {
    std::uint16_t word = 0;
    // Without a value read there is nothing to write back.
    if (GetParameter(0, 10, &word, 1, 0) < 0) {
        return;
    }
    word = static_cast<std::uint16_t>(on ? (word | kHubAttachBit) : (word & ~kHubAttachBit));
    SetParameter(0, 10, &word, 1, 0);
}

std::string CHIDProtocol::GetDeviceInfoReport() {
    if (!IsConnected()) {
        m_configFileInfo.clear();
        return {};
    }
    std::string report;
    const bool hubBlock = m_productCode == kHubProductCode;
    bool attached = false;
    // The hub's own level: while the attached unit is identified, m_protocolVersion is that
    // unit's, which must not decide whether the hub's parameter can be restored.
    const int hubLevel = m_protocolVersion;
    if (hubBlock) {
        // The hub's status word tells whether a unit is attached; a refused or unanswered request
        // leaves it open, and an open question counts as attached.
        ReplyBuffer reply{};
        const Frame status{0xF0, 0x11, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00};
        const int answer = WaitForAnswer(status, reply, kUnitReplyTimeoutMs);
        attached = answer < 0 || (reply[2] & 0x80) != 0 || (reply[7] & 0x08) != 0;

        ReadUnitId();
        const std::string unitId = GetUnitId();
        const std::string productName = GetProductName();
        const std::string firmware = m_firmwareVersionText;
        const std::string protocol = decimal(m_protocolVersion);
        const std::string pic = PicText(1);
        HardwareConfig hardware;
        const std::string hardwareText =
            ReadHardwareConfig(hardware) ? decimal(hardware.hardwareVersion) : "";
        const std::string productId = hexCode(m_productCode);

        report = (attached ? "Connected via " : "Connected to ") + productName;
        report += "\r\nUnit ID\t               \t\t: " + unitId;
        report += "\r\nHardware Version \t\t: " + hardwareText;
        report += "\r\nSoftware Version \t\t: " + firmware;
        report += "\r\nProtocol Version \t\t: " + protocol;
        report += "\r\nPIC Software        \t\t: " + pic;
        report += "\r\nProduct ID              \t\t: " + productId;
        std::string audioName;
        if (GetParameterString(0, 1, audioName, 0) >= 0) {
            report += "\r\nAudio Device Name            \t: " + audioName;
        }
        if (!attached) {
            return report;
        }
        report += "\r\n---------------------------------------------------------\r\n";
        // Switch the device layer over to the attached unit.
        SetHubAttachBit(true);
        m_mailboxCache.fill(0xFFFF);
        m_slaveUnit = kAttachedUnit;
        Connect(-1, false, true);
    }

    report += FullInfoBlock(hubBlock);

    if (hubBlock) {
        // Back to the hub itself.
        m_slaveUnit = 0;
        m_protocolVersion = hubLevel;
        // A link check the attached unit did not answer closed the device; the hub's bit must
        // still be cleared.
        if (!m_deviceOpen && m_comPort == nullptr && !m_ipMode) {
            OpenDevice(true, m_startReaderOnOpen);
        }
        SetHubAttachBit(false);
        m_mailboxCache.fill(0xFFFF);
        Connect(-1, false, true);
    }
    return report;
}

std::string CHIDProtocol::FullInfoBlock(bool afterHubBlock) {
    const std::string interfaceName = DetectInterfaceType();
    std::string interfaceLine;
    if (!interfaceName.empty()) {
        interfaceLine = "\n\rInterface type    \t\t: " + interfaceName;
    }
    ReadUnitId();
    const std::string unitId = GetUnitId();
    const std::string serial = ReadSerialNumber();
    const std::string mac = ReadMacAddress();
    const std::string sip = ReadSipVersion();
    const std::string ip = ReadIpAddress();
    const std::string productName = GetProductName();
    const std::string firmware = m_firmwareVersionText;
    const std::string protocol = decimal(m_protocolVersion);
    const std::string algorithm = decimal(m_algorithmCode);

    const AlgorithmImage* image = IsKR103Code(m_productCode) ? findImage(m_algorithmCode) : nullptr;
    const std::string description = image != nullptr ? image->description : "";
    const std::string channels = image != nullptr ? image->channels : "";
    const std::string sampling = image != nullptr ? image->samplingFrequency : "";
    const std::string imageFile = image != nullptr ? image->imageFileName : "";

    const std::string mainPic = PicText(1);
    const std::string interfacePic = PicText(2);

    std::string block = "Connected to " + productName + interfaceLine;
    if (!serial.empty()) {
        block += "\r\nS/N\t               \t\t: " + serial;
    }
    block += "\r\nUnit ID\t               \t\t: " + unitId;
    if (!mac.empty()) {
        block += "\r\nMAC Address         \t\t: " + mac;
    }
    HardwareConfig hardware;
    if (ReadHardwareConfig(hardware)) {
        block += "\r\nDSP TYPE             \t\t: " + hardware.dspName;
        block += "\r\nMemory Type        \t\t: " + memoryText(hardware.memoryType);
        block += "\r\nHardware Version\t\t: " + decimal(hardware.hardwareVersion);
    }
    block += "\r\nProduct Type       \t\t: " + algorithm;
    block += "\r\nSoftware Version \t\t: " + firmware;
    block += "\r\nProtocol Version \t\t: " + protocol;
    if (!sip.empty()) {
        block += "\r\nSIP Version           \t\t: " + sip;
    }
    if (!ip.empty()) {
        block += "\r\nIP Address           \t\t: " + ip;
    }
    if (!description.empty()) {
        block += "\r\nAlgorithm             \t\t: " + description;
        block += "\r\nNumber of Channels           \t: " + channels;
        block += "\r\nSampling Frequency           \t: " + sampling;
        block += "\r\nHex File \t\t\t: " + imageFile + "     ";
    }
    if (!mainPic.empty()) {
        block += "\r\nMain PIC Software\t\t: " + mainPic;
    }
    if (!interfacePic.empty()) {
        block += "\r\nInterface PIC Software\t: " + interfacePic;
    }
    if (!afterHubBlock) {
        block += "\r\nProduct ID              \t\t: " + hexCode(m_productCode);
        std::string audioName;
        if (GetParameterString(0, 1, audioName, 0) >= 0) {
            block += "\r\nAudio Device Name            \t: " + audioName;
        }
    }
    std::string text;
    if (GetParameterString(0, 12, text, 0) > 0) {
        block += "\r\n\r\nDescription           \t\t: " + text;
    }
    if (!m_configFileInfo.empty()) {
        block += "Config File Info : \r\n" + m_configFileInfo;
    }

    m_infoCache.interfaceLine = interfaceLine;
    m_infoCache.imageFileName = imageFile;
    m_infoCache.algorithmDescription = description;
    m_infoCache.channels = channels;
    m_infoCache.samplingFrequency = sampling;
    m_infoCache.mainPicText = mainPic;
    m_infoCache.interfacePicText = interfacePic;
    return block;
}
