// The request/reply exchange of the device link.
#include <algorithm>

#include "device/HIDProtocol.h"
#include "device/ReplyMatching.h"

namespace {

constexpr int kWriteAttempts = 2;
constexpr int kRejectBudget = 40;

}  // namespace

int CHIDProtocol::WaitForAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                std::uint32_t timeoutMs) {
    const int reportLength = m_ipMode ? 9 : ReportLength();
    if (m_comPort != nullptr) {
        return WaitForComAnswer(message, reply, timeoutMs);
    }
    if (m_slaveUnit > 0 && !IsAddressedReportLength(reportLength)) {
        return WaitForSlaveAnswer(message, reply, timeoutMs);
    }
    if (m_ipMode) {
        return WaitForIPAnswer(message, reply, timeoutMs);
    }
    if (m_unitSilent) {
        return -1;
    }
    m_lastExchangeUnanswered = false;
    const int code = WaitForHidAnswer(message, reply, timeoutMs);
    // Every unit answers a command word; frames only from the level that gives parameter access
    // (older units leave the frames they do not know unanswered).
    constexpr std::size_t kCommandWordBytes = 2;
    constexpr int kAnswersEveryFrameLevel = 13;
    const bool answerExpected =
        message.size() == kCommandWordBytes || m_protocolVersion >= kAnswersEveryFrameLevel;
    if (code == -1 && m_stopWhenSilent && m_lastExchangeUnanswered && answerExpected) {
        m_unitSilent = true;
    }
    return code;
}

void CHIDProtocol::StopWhenSilent(bool on) {
    m_stopWhenSilent = on;
    m_unitSilent = false;
}

int CHIDProtocol::WaitForHidAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                   std::uint32_t timeoutMs) {
    const int length = ReportLength();
    const int n = static_cast<int>(message.size());
    if (n < 1 || length - 1 < n) {
        return -1;
    }
    const int requestCode = message[0] * 256 + (n > 1 ? message[1] : 0);
    if (!m_deviceOpen) {
        return -1;
    }

    auto& output = m_writeDevice.output.report;
    auto& readRecord = m_reader.readDevice;
    // The report is built over the input length but written over the output length: a unit
    // whose output report is shorter cannot carry it.
    if (static_cast<int>(output.size()) < length) {
        return -1;
    }
    const int replyLength = static_cast<int>(readRecord.input.report.size()) - 1;
    if (replyLength < 2 || static_cast<int>(reply.size()) < replyLength) {
        return -1;
    }

    const bool addressed = UsesAddressBytes();
    // FR and TO take the last two report bytes; a longer message would lose its last byte.
    if (addressed && n > length - 3) {
        return -1;
    }

    std::fill(output.begin(), output.end(), 0);
    // 0 on a device without numbered reports; a unit's collection of its own carries its ID.
    output[0] = m_writeDevice.outputReportId;
    std::copy(message.begin(), message.end(), output.begin() + 1);
    AddressBytes sent{};
    if (addressed) {
        sent = ChooseAddressBytes(m_slaveUnit, m_respondingUnit, m_hubForwarding, m_unit99Enabled);
        output[static_cast<std::size_t>(length - 2)] = sent.fr;
        output[static_cast<std::size_t>(length - 1)] = sent.to;
    }

    // The viewer window is looked up once per exchange.
    const ViewerWindow viewer = FindViewerWindow();

    // Reports that nobody asked for (key presses, status the unit sends by itself) wait on the
    // read handle until read. hidraw keeps 64 for each reader and drops new ones once that many
    // wait, so a full queue would swallow the reply; and each one would count against the
    // reject budget. Drop them before the request goes out; only before the first write, so that
    // a late answer to it, queued when the second write goes out, is still taken.
    DrainInputReports(readRecord);

    const std::uint16_t mask = ReplyCodeMask(requestCode);
    int attempts = kWriteAttempts;
    int budget = kRejectBudget;
    bool write = true;
    bool anyReport = false;
    for (;;) {
        if (attempts == 0) {
            m_lastExchangeUnanswered = !anyReport;
            return -1;
        }
        if (write) {
            const bool written = WriteReport(m_writeDevice);
            // A write record closed by a failed reopening has no report left to trace.
            const auto& sent = m_writeDevice.output.report;
            if (static_cast<int>(sent.size()) >= length) {
                TraceHidWrite(viewer,
                              attempts == kWriteAttempts ? HidViewerRecord::kMessageWritten
                                                         : HidViewerRecord::kMessageRewritten,
                              message, std::span<const std::uint8_t>(sent).subspan(1, length - 1), addressed);
            }
            if (!written) {
                return -1;
            }
            if (!m_deviceOpen) {
                return -1;
            }
        }

        if (ReadInputReport(readRecord, timeoutMs) != platform::HidIoStatus::Ok) {
            --attempts;
            write = true;
            continue;
        }
        anyReport = true;

        auto& input = readRecord.input.report;
        std::copy(input.begin() + 1, input.begin() + 1 + replyLength, reply.begin());

        bool addressAccepted = true;
        if (addressed) {
            const std::uint8_t replyFr = reply[static_cast<std::size_t>(length - 3)];
            const bool broadcastLike =
                (sent.fr == 0x00 && sent.to == 0x00) || (sent.fr == 0x04 && sent.to == 0x07);
            if (broadcastLike) {
                m_respondingUnit = replyFr >> 4;
                if (m_productCode == 786) {
                    m_hubForwarding = true;
                }
            } else {
                addressAccepted = (replyFr >> 4) == (sent.to >> 4);
            }
        } else {
            m_respondingUnit = 0;
        }

        const int replyCode = reply[0] * 256 + reply[1];
        PrepareHidReadRecord(std::span<const std::uint8_t>(reply.data(), std::min(replyLength, length - 1)),
                             addressed);
        // Mark the report as consumed so a stale buffer is never taken for a new reply.
        input[1] = 0xFF;
        input[2] = 0xFF;

        if (replyCode == 0xFFFF) {
            SendViewerRecord(viewer);
            return -1;
        }
        if ((replyCode & mask) == (requestCode & mask) && addressAccepted &&
            ReplyEchoMatches(requestCode, message,
                             std::span<const std::uint8_t>(reply.data(), replyLength))) {
            SendViewerRecord(viewer);
            return replyCode;
        }
        m_viewerRecord.kind = HidViewerRecord::kReplyRejected;
        SendViewerRecord(viewer);

        if (--budget == 0) {
            --attempts;
            budget = kRejectBudget;
            write = true;
            ReopenReadHandle();
            // The path may now lead to another device, or the unit came back with other
            // reports: its replies are not the ones this exchange was built for.
            if (m_deviceOpen && readRecord.input.report.size() != static_cast<std::size_t>(replyLength) + 1) {
                return -1;
            }
        } else {
            write = false;
        }
    }
}
