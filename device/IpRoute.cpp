// The IP route: "DSP:" datagrams to a unit on the network, and the units it announces.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "device/HIDProtocol.h"
#include "device/RouteMatching.h"

namespace {

constexpr std::size_t kMessageBytes = 8;
constexpr int kWaitPolls = 100;
constexpr std::uint32_t kPollStepMs = 10;
constexpr int kFirstRejectBudget = 2;
constexpr int kRejectBudget = 40;
constexpr const char* kIpCaption = "WaitForIPAnswer";

std::string ipTraceLine(const char* prefix, std::span<const std::uint8_t> bytes) {
    return prefix + CHIDProtocol::FormatByteList(bytes) + "\r\n";
}

}  // namespace

bool CHIDProtocol::ParseIpReply(const char* text) {
    if (text == nullptr || std::strncmp(text, "DSP:", 4) != 0) {
        return false;
    }
    // "DSP:" and one more character, then the digits of the eight reply bytes.
    const std::size_t length = std::strlen(text);
    if (length < 5 + kMessageBytes * 2) {
        return false;
    }
    std::array<std::uint8_t, kMessageBytes> bytes{};
    if (!DecodeHexLine(std::span<const char>(text + 5, kMessageBytes * 2), bytes)) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), m_ipReply.begin());
    m_ipReplyReady = 1;
    return true;
}

void CHIDProtocol::AddDiscoveredUnit(const char* first, const char* second, const char* third, int number,
                                     const char* rest) {
    (void)third;
    (void)number;
    if (m_discoveredCount < 0 || m_discoveredCount >= static_cast<int>(m_discoveredUnits.size())) {
        return;  // the table is full: later units are not kept
    }
    if (first == nullptr || second == nullptr || rest == nullptr ||
        std::strlen(first) > UnitAnnouncement::kWordChars ||
        std::strlen(second) > UnitAnnouncement::kWordChars ||
        std::strlen(rest) > UnitAnnouncement::kRestChars) {
        return;
    }
    auto& row = m_discoveredUnits[static_cast<std::size_t>(m_discoveredCount)];
    std::snprintf(row.data(), row.size(), "%s   %s   %s", second, first, rest);
    ++m_discoveredCount;
}

int CHIDProtocol::WaitForIPAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                  std::uint32_t) {
    const ViewerWindow viewer = FindViewerWindow();
    if (message.empty() || message.size() > kMessageBytes || reply.size() < kMessageBytes) {
        return -1;
    }
    // Eight bytes always go: a shorter message is padded with zeros.
    std::array<std::uint8_t, kMessageBytes> request{};
    std::copy(message.begin(), message.end(), request.begin());
    std::string datagram = "DSP: " + EncodeHexLine(request);
    datagram += '\0';  // the terminator travels with the request

    int attempts = 2;
    int budget = kFirstRejectBudget;
    bool send = true;
    while (attempts > 0) {
        if (send) {
            m_udpSocket.ClearLastReply();
            m_udpSocket.SendDatagram(datagram.data(), static_cast<int>(datagram.size()));
            TraceRouteLine(viewer, ipTraceLine("IP Send:  ", request));
        }
        // Wait in steps of 10 ms for a reply; one that cannot be decoded is no reply.
        bool answered = false;
        for (int poll = 0; poll < kWaitPolls && !answered; ++poll) {
            m_udpSocket.WaitForDatagrams(kPollStepMs);
            if (!m_udpSocket.LastReply().empty()) {
                answered = ParseIpReply(m_udpSocket.LastReply().c_str());
                if (!answered) {
                    m_udpSocket.ClearLastReply();
                }
            }
        }
        if (!answered) {
            --attempts;
            send = true;
            continue;
        }
        std::copy(m_ipReply.begin(), m_ipReply.end(), reply.begin());
        TraceRouteLine(viewer, ipTraceLine("IP Read:  ", m_ipReply));
        if (m_ipReply[0] == 0xFF && m_ipReply[1] == 0xFF) {
            return -1;
        }
        const int accepted = AcceptRouteReply(request, m_ipReply);
        if (accepted >= 0) {
            return accepted;
        }
        if (--budget == 0) {
            --attempts;
            budget = kRejectBudget;
            send = true;
        } else {
            send = false;
        }
    }
    ReportRouteError(viewer, kIpCaption, "No Replay from IP.\r\n");
    return -1;
}
