// The slave route: one message tunnelled to a unit behind a hub through the mailbox of the
// local unit's signal processor on page PIC1_PAGE.
#include <algorithm>
#include <array>
#include <cstdio>

#include "device/HIDProtocol.h"
#include "device/RouteMatching.h"
#include "platform/System.h"

namespace {

constexpr std::uint8_t PIC1_PAGE = 7;
constexpr std::uint8_t PIC_DATA_CONTROL_PAR = 1;
constexpr std::uint8_t kMessageParameter = 7;
constexpr std::uint8_t kReplyParameter = 6;
constexpr std::uint16_t kNotReady = 0x0002;
constexpr std::uint16_t kReplyPresent = 0x0200;
constexpr int kReadyPolls = 20;
constexpr std::uint32_t kReadyPollMs = 50;
constexpr int kReplyPolls = 200;
constexpr std::uint32_t kReplyPollMs = 1;
constexpr std::size_t kMaxMessageBytes = 8;
constexpr const char* kSlaveCaption = "WaitForSlaveAnswer";

std::uint16_t targetWord(int unit) {
    return static_cast<std::uint16_t>(unit == 16 ? 0x3300 + 0x0A : 0x3300 + unit * 16 + 11);
}

std::string format(const char* pattern, int a, int b = 0) {
    char text[192];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Error line C: the local unit left a mailbox exchange unanswered.
std::string pollError(int result) {
    return format(
        "Get Parameter PIC_DATA_CONTROL_PAR (1) from PIC1_PAGE (7) returns error %d while polling for slave "
        "answer\r\n",
        result);
}

int signed16(std::uint16_t word) {
    return static_cast<std::int16_t>(word);
}

}  // namespace

int CHIDProtocol::WaitForSlaveAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                     std::uint32_t) {
    // The mailbox holds four words: a longer message cannot be tunnelled.
    if (message.empty() || message.size() > kMaxMessageBytes || reply.size() < message.size()) {
        return -1;
    }
    const int unit = m_slaveUnit;
    m_slaveUnit = 0;
    const ViewerWindow viewer = FindViewerWindow();
    std::array<std::uint8_t, kMaxMessageBytes> request{};
    std::copy(message.begin(), message.end(), request.begin());
    const std::size_t words = message.size() / 2;

    // The mailbox exchanges go to the local unit and are allowed by its own level.
    struct LevelScope {
        int& level;
        int saved;
        ~LevelScope() { level = saved; }
    } levelScope{m_protocolVersion, m_protocolVersion};
    if (m_localProtocolVersion >= 0) {
        m_protocolVersion = m_localProtocolVersion;
    }
    const auto fail = [&](bool keepUnit) {
        if (keepUnit) {
            m_slaveUnit = unit;
        }
        return -1;
    };

    // Readiness: the local unit takes a message for a slave while value 2 is clear.
    std::uint16_t control = 0;
    if (!m_mailboxCacheEnabled) {
        for (int poll = 1;; ++poll) {
            const int result = GetParameter(PIC1_PAGE, PIC_DATA_CONTROL_PAR, &control, 1, 0);
            if (result < 0) {
                ReportRouteError(
                    viewer, kSlaveCaption,
                    format("Get Parameter PIC_DATA_CONTROL_PAR (1) from PIC1_PAGE (7) returns error "
                           "%d while waiting for local to be ready to send data to slave\r\n",
                           result));
                return fail(false);
            }
            if ((control & kNotReady) == 0) {
                break;
            }
            platform::sleepMs(kReadyPollMs);
            if (poll == kReadyPolls) {
                ReportRouteError(
                    viewer, kSlaveCaption,
                    format("DSP is not ready to receive messages for slave (PIC_DATA_CONTROL_PAR = "
                           "%d, bit 2 is high)\r\n",
                           signed16(control)));
                return fail(true);
            }
        }
    }

    // The target word and the message words; the cache keeps only words the unit accepted.
    const std::uint16_t target = targetWord(unit);
    std::array<std::uint16_t, 1 + kMaxMessageBytes / 2> mailbox{target};
    for (std::size_t i = 0; i < words; ++i) {
        mailbox[i + 1] = static_cast<std::uint16_t>(request[2 * i] * 256 + request[2 * i + 1]);
    }
    for (std::size_t slot = 0; slot <= words; ++slot) {
        if (m_mailboxCacheEnabled && m_mailboxCache[slot] == mailbox[slot]) {
            continue;
        }
        const int written = WriteMailboxWord(static_cast<std::uint8_t>(slot), mailbox[slot]);
        if (written != 1) {
            m_mailboxCache.fill(0xFFFF);
            if (written == 0) {
                // The local unit did not take the word (no answer, or its level allows no
                // parameter access): like a control read it leaves unanswered.
                ReportRouteError(viewer, kSlaveCaption, pollError(-1));
            }
            return fail(written == -1);
        }
        m_mailboxCache[slot] = mailbox[slot];
    }

    std::string sent;
    char item[32];
    std::snprintf(item, sizeof item, "0x%2.2x, 0x%2.2X", 0x33u, static_cast<unsigned>(target & 0xFF));
    sent = item;
    for (std::size_t i = 0; i < words; ++i) {
        std::snprintf(item, sizeof item, ", 0x%2.2x, 0x%2.2X", static_cast<unsigned>(mailbox[i + 1] >> 8),
                      static_cast<unsigned>(mailbox[i + 1] & 0xFF));
        sent += item;
    }
    TraceRouteLine(viewer, "Send to  Slave:  " + sent + "\r\n");

    control = static_cast<std::uint16_t>(control | kNotReady);
    SetParameter(PIC1_PAGE, PIC_DATA_CONTROL_PAR, &control, 1, 0);

    // Poll for the slave's reply. Only a read the local unit leaves unanswered ends the poll;
    // a refused read leaves the control word as it was and the poll goes on.
    for (int poll = 1;; ++poll) {
        platform::sleepMs(kReplyPollMs);
        const int result = GetParameter(PIC1_PAGE, PIC_DATA_CONTROL_PAR, &control, 1, 0);
        if (result == -1) {
            ReportRouteError(viewer, kSlaveCaption, pollError(result));
            return fail(false);
        }
        if ((control & kReplyPresent) != 0) {
            break;
        }
        if (poll == kReplyPolls) {
            ReportRouteError(viewer, kSlaveCaption,
                             format("There is no reply from slave (PIC_DATA_CONTROL_PAR = %d, bit 0x200 is "
                                    "low)\r\n",
                                    signed16(control)));
            return fail(true);
        }
    }

    // The reply: its target word names the answering unit, then its words. A read that fails
    // leaves no reply to take.
    std::uint16_t replyTarget = 0;
    if (GetParameterItem(PIC1_PAGE, kReplyParameter, 0, replyTarget, 0) < 0) {
        return fail(true);
    }
    const int answering = (replyTarget & 0xFF) >> 4;
    if (answering != (unit & 0x0F)) {
        control = static_cast<std::uint16_t>(control & ~kReplyPresent);
        SetParameter(PIC1_PAGE, PIC_DATA_CONTROL_PAR, &control, 1, 0);
        ReportRouteError(viewer, kSlaveCaption,
                         format("Replay from wrong slave: %d instead of %d\r\n", answering, unit));
        return fail(true);
    }
    std::array<std::uint8_t, kMaxMessageBytes> answer{};
    std::string got;
    std::snprintf(item, sizeof item, "0x%2.2X, 0x%2.2X", static_cast<unsigned>(replyTarget >> 8),
                  static_cast<unsigned>(replyTarget & 0xFF));
    got = item;
    for (std::size_t i = 0; i < words; ++i) {
        std::uint16_t word = 0;
        if (GetParameterItem(PIC1_PAGE, kReplyParameter, static_cast<std::uint8_t>(i + 1), word, 0) < 0) {
            return fail(true);
        }
        answer[2 * i] = static_cast<std::uint8_t>(word >> 8);
        answer[2 * i + 1] = static_cast<std::uint8_t>(word & 0xFF);
        std::snprintf(item, sizeof item, ", 0x%2.2X, 0x%2.2X", static_cast<unsigned>(answer[2 * i]),
                      static_cast<unsigned>(answer[2 * i + 1]));
        got += item;
    }
    std::copy_n(answer.begin(), words * 2, reply.begin());
    TraceRouteLine(viewer, "Get from Slave:  " + got + "\r\n");
    m_slaveUnit = unit;
    return AcceptRouteReply(request, answer);
}

int CHIDProtocol::WriteMailboxWord(std::uint8_t index, std::uint16_t word) {
    if (!ParameterAccessAllowed()) {
        return 0;
    }
    // F0 0E 00 07 07 index high low: the indexed write of the message parameter.
    const Frame frame{0xF0,
                      0x0E,
                      0x00,
                      PIC1_PAGE,
                      kMessageParameter,
                      index,
                      static_cast<std::uint8_t>(word >> 8),
                      static_cast<std::uint8_t>(word & 0xFF)};
    ReplyBuffer answer{};
    const int result = SendFrame(frame, answer);
    if (result < 0) {
        return 0;
    }
    return (answer[2] & 0x80) != 0 ? -1 : 1;
}
