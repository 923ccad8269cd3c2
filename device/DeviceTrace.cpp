// The device trace: log lines with their broadcast, and the records for the viewer window.
#include <algorithm>
#include <cstdio>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"

namespace {

// What the broadcast that goes with each log line carries.
constexpr std::uint64_t kLogBroadcastWParam = 0;
constexpr std::int64_t kLogBroadcastLParam = 10;

std::string addressSuffix(std::uint8_t fr, std::uint8_t to) {
    char text[48];
    std::snprintf(text, sizeof text, "   \tFR: 0x%2.2X  TO: 0x%2.2X", static_cast<unsigned>(fr),
                  static_cast<unsigned>(to));
    return text;
}

// "Send:  " or "Read:  " with the report bytes after the report ID; on an addressed report
// the last two bytes are shown as FR and TO.
std::string reportLine(const char* prefix, std::span<const std::uint8_t> body, bool addressed) {
    if (addressed && body.size() >= 2) {
        const std::size_t count = body.size() - 2;
        return prefix + CHIDProtocol::FormatByteList(body.first(count)) +
               addressSuffix(body[count], body[count + 1]) + "\r\n";
    }
    return prefix + CHIDProtocol::FormatByteList(body) + "\r\n";
}

}  // namespace

std::string CHIDProtocol::FormatByteList(std::span<const std::uint8_t> bytes) {
    std::string list;
    char item[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, i == 0 ? "0x%2.2X" : ", 0x%2.2X", static_cast<unsigned>(bytes[i]));
        list += item;
    }
    return list;
}

CHIDProtocol::ViewerWindow CHIDProtocol::FindViewerWindow() {
    return platform::findWindow(kViewerWindowTitle);
}

void CHIDProtocol::AppendLogLine(const std::string& line) {
    if (m_log == nullptr) {
        return;
    }
    *m_log += line;
    platform::broadcastMessage(WM_AUDIO_SETUP_NOTIFY, kLogBroadcastWParam, kLogBroadcastLParam);
}

void CHIDProtocol::SendViewerRecord(const ViewerWindow& viewer) {
    if (!viewer) {
        return;
    }
    const auto bytes = m_viewerRecord.serialize();
    platform::sendCopyData(*viewer, kViewerCopyDataWParam, kViewerCopyDataId, bytes);
}

void CHIDProtocol::CopyTextToViewer(const ViewerWindow& viewer, const std::string& text) {
    if (!viewer) {
        return;
    }
    m_viewerRecord.kind = HidViewerRecord::kText;
    m_viewerRecord.setTime(platform::localTimeNow());
    m_viewerRecord.setSender(m_programName);
    m_viewerRecord.setText(text);
    // The address bytes of the last output report, when it carried them.
    const int length = ReportLength();
    const auto& output = m_writeDevice.output.report;
    if (UsesAddressBytes() && length >= 2 && static_cast<int>(output.size()) >= length) {
        m_viewerRecord.fr = output[static_cast<std::size_t>(length - 2)];
        m_viewerRecord.to = output[static_cast<std::size_t>(length - 1)];
    } else {
        m_viewerRecord.fr = 0;
        m_viewerRecord.to = 0;
    }
    SendViewerRecord(viewer);
}

void CHIDProtocol::TraceRouteLine(const ViewerWindow& viewer, const std::string& line) {
    AppendLogLine(line);
    CopyTextToViewer(viewer, line);
}

void CHIDProtocol::ReportRouteError(const ViewerWindow& viewer, const char* caption,
                                    const std::string& line) {
    if (m_log != nullptr) {
        AppendLogLine(line);
    } else {
        platform::showMessageBox(caption, line, platform::mb::kIconWarning);
    }
    CopyTextToViewer(viewer, line);
}

void CHIDProtocol::TraceHidWrite(const ViewerWindow& viewer, std::uint32_t kind,
                                 std::span<const std::uint8_t> message, std::span<const std::uint8_t> body,
                                 bool addressed) {
    if (m_log != nullptr) {
        AppendLogLine(reportLine("Send:  ", body, addressed));
    }
    if (!viewer) {
        return;
    }
    auto& record = m_viewerRecord;
    record.kind = kind;
    record.setTime(platform::localTimeNow());
    record.setSender(m_programName);
    record.setText("");
    record.reportBytes.fill(0);
    const std::size_t count = std::min(message.size(), record.reportBytes.size() - 1);
    std::copy_n(message.begin(), count, record.reportBytes.begin());
    record.fr = addressed && body.size() >= 2 ? body[body.size() - 2] : 0;
    record.to = addressed && body.size() >= 2 ? body[body.size() - 1] : 0;
    SendViewerRecord(viewer);
}

void CHIDProtocol::PrepareHidReadRecord(std::span<const std::uint8_t> body, bool addressed) {
    if (m_log != nullptr) {
        AppendLogLine(reportLine("Read:  ", body, addressed));
    }
    auto& record = m_viewerRecord;
    record.kind = HidViewerRecord::kReplyAccepted;
    record.setTime(platform::localTimeNow());
    record.setSender(m_programName);
    record.setText("");
    // Only the first eight reply bytes are rewritten; the rest keep what the record held.
    std::copy_n(body.begin(), std::min<std::size_t>(body.size(), 8), record.reportBytes.begin());
    record.fr = addressed && body.size() >= 2 ? body[body.size() - 2] : 0;
    record.to = addressed && body.size() >= 2 ? body[body.size() - 1] : 0;
}
