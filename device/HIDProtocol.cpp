#include "device/HIDProtocol.h"

#include <algorithm>

#include "device/ReplyMatching.h"
#include "platform/System.h"

CHIDProtocol::CHIDProtocol(platform::IHidBus& hidBus) : m_hidBus(hidBus) {
    m_mailboxCache.fill(0xFFFF);
    m_mailboxCacheEnabled = true;
    m_programName = ProgramNameFromPath(platform::programPath());
}

CHIDProtocol::~CHIDProtocol() {
    StopReaderThread();
    CloseDevice();
    CloseHidDevices(m_devices);
}

std::string CHIDProtocol::ProgramNameFromPath(const std::string& path) {
    std::string name = path;
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    // Drop an extension only when there is one: on Linux most programs have none.
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    return name;
}

void CHIDProtocol::StopReaderThread() {
    if (!m_readerRunning) {
        return;
    }
    m_reader.stopEvent.set();
    m_readerThread.join(platform::kInfinite);
    m_readerRunning = false;
}

void CHIDProtocol::CloseDevice() {
    if (!m_deviceOpen) {
        return;
    }
    CloseHidDevice(m_writeDevice);
    CloseHidDevice(m_reader.readDevice);
    m_deviceOpen = false;
    m_hubForwarding = false;
}

void CHIDProtocol::Disconnect() {
    StopReaderThread();
    CloseDevice();
    m_productCode = 0;
    m_algorithmCode = 0;
    m_unitIdWord = 0;
    m_unitIdRead = false;
    m_firmwareNumber = 0;
    m_firmwareMajor = 0;
    m_firmwareMinor = 0;
    m_firmwareVersionText.clear();
    m_protocolVersion = 0;
    m_localProtocolVersion = -1;
    m_productName.clear();
    m_interfaceTypeName.clear();
    m_interfaceTypeCode = 0;
    m_configFileInfo.clear();
    m_infoCache.clear();
}

void CHIDProtocol::OpenDevice(bool open, bool startReader) {
    StopReaderThread();
    if (!open) {
        CloseDevice();
        return;
    }
    if (m_deviceOpen) {
        CloseHidDevice(m_reader.readDevice);
        CloseHidDevice(m_writeDevice);
        m_deviceOpen = false;
    }
    if (m_selectedDevice < 0 || m_selectedDevice >= static_cast<int>(m_devices.size())) {
        return;
    }
    const HidDeviceRecord& entry = m_devices[static_cast<std::size_t>(m_selectedDevice)];
    if (!entry.hasPath) {
        return;
    }
    const std::string path = entry.devicePath;
    if (!OpenHidDevice(m_hidBus, &path, true, false, true, false, m_reader.readDevice)) {
        return;
    }
    if (!OpenHidDevice(m_hidBus, &path, false, true, false, false, m_writeDevice)) {
        // Nothing is left half open: the next opening starts from closed records.
        CloseHidDevice(m_reader.readDevice);
        return;
    }
    m_deviceOpen = true;
    if (startReader) {
        m_reader.stopEvent.reset();
        m_readerThread.start([this] { ReadThread(m_reader); });
        m_readerRunning = true;
    }
}

void CHIDProtocol::ReadThread(ReaderBlock& reader) {
    // Reads in short slices so that the stop event is seen between them.
    constexpr std::uint32_t kSliceMs = 50;
    for (;;) {
        if (reader.stopEvent.wait(0) == platform::kWaitObject0) {
            return;
        }
        const auto status = ReadInputReport(reader.readDevice, kSliceMs);
        if (status == platform::HidIoStatus::TimedOut) {
            continue;
        }
        if (status != platform::HidIoStatus::Ok) {
            return;
        }
        const auto& report = reader.readDevice.input.report;
        if (report.size() >= 3) {
            reader.lastReplyCode = report[1] * 256 + report[2];
        }
        reader.StoreLastReport(report);
        reader.dataEvent.set();
    }
}

void CHIDProtocol::ReopenReadHandle() {
    if (!m_deviceOpen) {
        return;
    }
    CloseHidDevice(m_reader.readDevice);
    if (m_selectedDevice < 0 || m_selectedDevice >= static_cast<int>(m_devices.size()) ||
        !m_devices[static_cast<std::size_t>(m_selectedDevice)].hasPath) {
        CloseHidDevice(m_writeDevice);
        m_deviceOpen = false;
        return;
    }
    const std::string path = m_devices[static_cast<std::size_t>(m_selectedDevice)].devicePath;
    if (!OpenHidDevice(m_hidBus, &path, true, false, true, false, m_reader.readDevice)) {
        // Without a read record the device is closed as a whole.
        CloseHidDevice(m_writeDevice);
        m_deviceOpen = false;
    }
}

std::vector<std::uint8_t> ReaderBlock::TakeLastReport() {
    std::lock_guard lock(m_reportMutex);
    return m_lastReport;
}

void ReaderBlock::StoreLastReport(const std::vector<std::uint8_t>& report) {
    std::lock_guard lock(m_reportMutex);
    m_lastReport = report;
}

bool CHIDProtocol::UsesAddressBytes() const {
    const int length = m_ipMode ? 9 : ReportLength();
    return IsAddressedReportLength(length);
}
