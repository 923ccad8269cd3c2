// Product codes, their families, the acceptance of HID devices and the level step table.
#include <algorithm>

#include "device/HIDProtocol.h"

namespace {

bool IsOneOf(int code, std::initializer_list<int> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace

int CHIDProtocol::GetReportLength() const {
    return m_ipMode ? 9 : ReportLength();
}

bool CHIDProtocol::IsOrrinCode(int code) {
    // Sibling models differ in bit 8 only.
    return IsOneOf(code & ~0x100, {19, 20, 21, 22}) || IsOneOf(code, {53504, 53505, 4354});
}

bool CHIDProtocol::IsVelmarCode(int code) {
    return IsOneOf(code, {18, 274, 54016, 530});
}

bool CHIDProtocol::IsTolvinCode(int code) {
    return IsOneOf(code, {1042, 1043, 1044});
}

bool CHIDProtocol::IsKR103Code(int code) {
    return IsOneOf(code, {24, 25, 26, 27, 29, 32767});
}

bool CHIDProtocol::IsKR401Code(int code) {
    return IsOneOf(code, {23, 279, 535, 791, 28, 4119});
}

bool CHIDProtocol::IsOrrinFamily() const {
    return IsOrrinCode(m_productCode);
}

bool CHIDProtocol::IsVelmarFamily() const {
    return IsVelmarCode(m_productCode);
}

bool CHIDProtocol::IsTolvinFamily() const {
    return IsTolvinCode(m_productCode);
}

bool CHIDProtocol::IsKR103Family() const {
    return IsKR103Code(m_productCode);
}

bool CHIDProtocol::IsKR401Family() const {
    return IsKR401Code(m_productCode);
}

bool CHIDProtocol::IsLoopbackModel() const {
    return IsOneOf(m_productCode, {1042, 83});
}

bool CHIDProtocol::MatchFamilySelector(int code, int selector) {
    switch (selector) {
        case -2:
            return IsOneOf(code, {19, 20, 21, 22, 275, 276, 277, 278, 53504, 53505, 4354});
        case -3:
            return IsOneOf(code, {24, 25, 26, 27, 29});
        case -4:
            return IsOneOf(code, {53504, 53505, 4354});
        case -5:
            return IsOneOf(code, {20, 21, 276, 277, 53504, 53505, 4354});
        case -6:
            return IsKR401Code(code);
        case -7:
            return IsVelmarCode(code);
        case -8:
            return IsOneOf(code, {17, 273, 4113});
        case -9:
            return IsOneOf(code, {1042, 1043, 1044, 83, 81, 82, 339, 340});
        case -10:
            return IsTolvinCode(code);
        default:
            return false;
    }
}

bool CHIDProtocol::IsSupportedDevice(std::uint16_t vendorId, std::uint16_t productId,
                                     std::uint16_t inputButtonCaps) {
    if (inputButtonCaps != 0) {
        return false;
    }
    switch (vendorId) {
        case 0x0556:
            return productId >= 18 && productId <= 21;
        case 0x3B59:
            return true;
        case 0x2E71:
            return IsOneOf(productId, {53504, 53505, 4354});
        default:
            return false;
    }
}

void CHIDProtocol::RefreshDeviceList() {
    CloseHidDevices(m_devices);
    m_devices.clear();
    EnumerateHidDevices(m_hidBus, m_devices);
}

bool CHIDProtocol::SendCommandNoReply(std::uint16_t word) {
    if (!m_deviceOpen || m_unitSilent) {
        return false;
    }
    auto& output = m_writeDevice.output.report;
    // The report ID and the two command bytes must fit in the output report.
    if (output.size() < 3) {
        return false;
    }
    std::fill(output.begin(), output.end(), 0);
    output[0] = m_writeDevice.outputReportId;
    output[1] = static_cast<std::uint8_t>(word >> 8);
    output[2] = static_cast<std::uint8_t>(word & 0xFF);
    return WriteReport(m_writeDevice);
}

int CHIDProtocol::LevelToSliderValue(int step) {
    // Callers pass register bits; a step outside the table is taken as its nearest end.
    step = std::clamp(step, 0, 24);
    if (step == 0) {
        return 0;
    }
    if (step == 24) {
        return 65535;
    }
    const auto s = static_cast<std::size_t>(step);
    return (LevelSliderSteps[s] + LevelSliderSteps[s + 1]) / 2;
}

int CHIDProtocol::SliderValueToLevel(int value) {
    for (std::size_t i = 1; i < LevelSliderSteps.size(); ++i) {
        if (value <= LevelSliderSteps[i]) {
            return static_cast<int>(i) - 1;
        }
    }
    return 24;
}
