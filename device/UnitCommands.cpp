// Command words of the unit's register protocol, text and status frames, and the unit ID.
#include <cstdio>

#include "device/HIDProtocol.h"

namespace {

constexpr std::uint16_t kPrepareIdRead = 0xB600;
constexpr std::uint16_t kNewBoardProbe = 0x41FF;
constexpr std::uint16_t kOlderNewBoardProbe = 0x36FF;
// The word an unprogrammed board reports as its unit ID.
constexpr std::uint32_t kNewBoardUnitId = 0x00010000;

bool LowByteBit7(int replyCode) {
    return (replyCode & 0x80) != 0;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[64];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

int CHIDProtocol::SendWord(std::uint16_t word, ReplyBuffer& reply, std::uint32_t timeoutMs) {
    const std::array<std::uint8_t, 2> message{static_cast<std::uint8_t>(word >> 8),
                                              static_cast<std::uint8_t>(word & 0xFF)};
    return WaitForAnswer(message, reply, timeoutMs);
}

int CHIDProtocol::SendCommand(std::uint16_t word, std::uint32_t timeoutMs) {
    ReplyBuffer reply{};
    return SendWord(word, reply, timeoutMs);
}

int CHIDProtocol::SetRegisterBit(int n) {
    const int reg = n & 7;
    const int value =
        SendCommand(static_cast<std::uint16_t>(REGISTER_READ + reg * 0x100), kUnitReplyTimeoutMs);
    if (value < 0) {
        return value;
    }
    const int written = (value & 0x7F) | 0x80;
    return SendCommand(static_cast<std::uint16_t>(REGISTER_WRITE + reg * 0x100 + written),
                       kUnitReplyTimeoutMs);
}

void CHIDProtocol::ClearRegisterBit(int n) {
    const int reg = n & 7;
    const int value =
        SendCommand(static_cast<std::uint16_t>(REGISTER_READ + reg * 0x100), kUnitReplyTimeoutMs);
    if (value < 0) {
        return;
    }
    SendCommand(static_cast<std::uint16_t>(REGISTER_WRITE + reg * 0x100 + (value & 0x7F)),
                kUnitReplyTimeoutMs);
}

std::string CHIDProtocol::ReadSerialNumber() {
    if (m_protocolVersion < 22) {
        return {};
    }
    std::string serial;
    ReplyBuffer reply{};
    for (std::uint8_t step = 0; step < 5; ++step) {
        const Frame frame{0xF0, 0x1A, step, 0, 0, 0, 0, 0};
        if (SendFrame(frame, reply) < 0) {
            return "Read Error";
        }
        for (std::size_t i = 4; i < 8; ++i) {
            if (reply[i] == 0) {
                return serial;
            }
            if (reply[i] != 0xFF) {
                serial.push_back(static_cast<char>(reply[i]));
            }
        }
    }
    return serial;
}

int CHIDProtocol::GetParameterString(std::uint8_t page, std::uint8_t parameter, std::string& text, int flag) {
    if (!ParameterAccessAllowed()) {
        return -1;
    }
    const std::uint8_t flags = flag != 0 ? 0x04 : 0x00;
    ReplyBuffer reply{};
    int result = SendFrame(
        Frame{0xF0, 0x0F, static_cast<std::uint8_t>(flags | 0x03), page, parameter, 0, 0, 0}, reply);
    if (result < 0) {
        return -1;
    }
    if ((reply[2] & 0x80) != 0) {
        return ParameterErrorFromByte(reply[7], result);
    }
    const int length = reply[5];
    std::string read;
    for (int i = 0; i < length; ++i) {
        // The text holds at most 119 characters; a longer one is cut there.
        if (read.size() >= kMaxParameterStringLength) {
            break;
        }
        const auto index = static_cast<std::uint8_t>(length == 1 ? 0 : i);
        result = SendFrame(
            Frame{0xF0, 0x0F, static_cast<std::uint8_t>(flags | 0x02), page, parameter, index, 0, 0}, reply);
        if (result < 0) {
            return -1;
        }
        if ((reply[2] & 0x80) != 0) {
            return ParameterErrorFromByte(reply[7], result);
        }
        if (reply[7] == 0) {
            break;
        }
        read.push_back(static_cast<char>(reply[7]));
    }
    text = read;
    return result;
}

int CHIDProtocol::SetParameterBit(unsigned page, unsigned bit, int set) {
    // A shift by 32 or more has no meaning; only bits 0..15 reach the unit.
    if (page > 8 || bit >= 32) {
        return -1;
    }
    const std::uint32_t mask = 1u << bit;
    const std::uint32_t value = set != 0 ? mask : 0;
    const Frame frame{0xF0,
                      0x17,
                      static_cast<std::uint8_t>(page),
                      0x02,
                      static_cast<std::uint8_t>((mask >> 8) & 0xFF),
                      static_cast<std::uint8_t>(mask & 0xFF),
                      static_cast<std::uint8_t>((value >> 8) & 0xFF),
                      static_cast<std::uint8_t>(value & 0xFF)};
    ReplyBuffer reply{};
    return SendFrame(frame, reply);
}

bool CHIDProtocol::GetStatusWords(std::uint16_t words[2], bool byParameter, int which) {
    if (byParameter) {
        std::uint8_t page = which == 1 ? 7 : 8;
        std::uint8_t parameter = 3;
        if (IsKR401Family() && m_firmwareNumber < 7000) {
            page = 0;
            parameter = 14;
        }
        return GetParameter(page, parameter, words, 2) >= 0;
    }
    const Frame frame{0xF0, static_cast<std::uint8_t>(which == 1 ? 0x11 : 0x21), 0x0A, 0, 0, 0, 0, 0};
    ReplyBuffer reply{};
    if (SendFrame(frame, reply) < 0) {
        return false;
    }
    if ((reply[2] & 0x80) == 0) {
        words[0] = static_cast<std::uint16_t>(reply[4] * 256 + reply[5]);
        words[1] = static_cast<std::uint16_t>(reply[6] * 256 + reply[7]);
        return true;
    }
    words[0] = reply[3];
    words[1] = 0;
    return false;
}

int CHIDProtocol::TestStatusBit(int bit, bool byParameter, int which) {
    if (bit < 0 || bit > 31) {
        return -1;
    }
    std::uint16_t words[2] = {0, 0};
    if (!GetStatusWords(words, byParameter, which)) {
        return -1;
    }
    if (bit < 16) {
        return (words[1] >> bit) & 1;
    }
    return (words[0] >> (bit - 16)) & 1;
}

int CHIDProtocol::SetRouting(std::uint8_t a, std::uint8_t b) {
    if (!m_deviceOpen) {
        return -1;
    }
    const bool newRouting = m_productCode == 1042 || m_productCode == 1043 || m_productCode == 1044 ||
                            m_productCode == 83 || m_productCode == 81 || m_productCode == 82 ||
                            m_productCode == 339 || m_productCode == 340;
    const Frame frame{0xF0, static_cast<std::uint8_t>(newRouting ? 0x15 : 0x06), 0, 0, 0, 0, a, b};
    ReplyBuffer reply{};
    return SendFrame(frame, reply);
}

bool CHIDProtocol::IsNewBoard() {
    const int fw = m_firmwareNumber;
    ReplyBuffer reply{};
    if (IsOrrinFamily()) {
        if (fw >= 5000) {
            return false;
        }
        const int answer = SendWord(kNewBoardProbe, reply);
        return answer < 0 || LowByteBit7(answer);
    }
    if (m_productCode == 18) {
        if (fw >= 6000) {
            return false;
        }
        const int answer = SendWord(kNewBoardProbe, reply);
        return answer < 0 || !LowByteBit7(answer);
    }
    if (m_productCode == 274 || m_productCode == 54016 || m_productCode == 530 || m_productCode == 786 ||
        IsTolvinFamily() || m_productCode == 8 || m_protocolVersion >= 20) {
        return false;
    }
    const int answer = SendWord(kOlderNewBoardProbe, reply);
    if (answer < 0 || !LowByteBit7(answer)) {
        return false;
    }
    SendWord(kPrepareIdRead, reply);
    const auto word = ReadUnitIdWord(false);
    return word && *word == kNewBoardUnitId;
}

std::optional<std::uint32_t> CHIDProtocol::ReadUnitIdWord(bool checkLength) {
    ReplyBuffer reply{};
    if (m_protocolVersion >= 11 && (!checkLength || m_ipMode || GetReportLength() >= 8)) {
        if (SendFrame(Frame{0xF0, 0x05, 0, 0, 0, 0, 0, 0}, reply) < 0) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(reply[4]) << 24 | static_cast<std::uint32_t>(reply[5]) << 16 |
               static_cast<std::uint32_t>(reply[6]) << 8 | reply[7];
    }
    std::uint32_t word = 0;
    for (int nibble = 7; nibble >= 0; --nibble) {
        const int answer = SendWord(static_cast<std::uint16_t>(0xB300 + nibble * 0x10), reply);
        if (answer < 0) {
            return std::nullopt;
        }
        word = word * 16 + static_cast<std::uint32_t>(answer & 0xF);
    }
    return word;
}

std::int64_t CHIDProtocol::ReadUnitId() {
    if (IsNewBoard()) {
        m_unitIdRead = false;
        return kUnitIdNewBoard;
    }
    ReplyBuffer reply{};
    if (SendWord(kPrepareIdRead, reply) < 0) {
        return kUnitIdNoAnswer;
    }
    const auto word = ReadUnitIdWord(true);
    if (!word) {
        return kUnitIdNoAnswer;
    }
    m_unitIdWord = *word;
    m_unitIdRead = true;
    m_unitIdAltLayout = false;
    const std::uint32_t f = (*word >> 21) & 0xFF;
    const int p = m_productCode;
    if (f == 31 && (p == 19 || p == 20 || p == 22 || p == 53504 || p == 53505)) {
        m_unitIdAltLayout = true;
    }
    if (f == 1 && p == 18) {
        m_unitIdAltLayout = true;
    }
    return *word;
}

std::string CHIDProtocol::FormatUnitId(std::int64_t word) const {
    if (word == kUnitIdNoAnswer) {
        return "Not Supported";
    }
    if (word < 0 || word > 0xFFFFFFFF) {
        return "New Board";
    }
    const auto w = static_cast<std::uint32_t>(word);
    if (IsTolvinFamily()) {
        const unsigned a = w >> 26;
        const unsigned x = (w >> 18) & 0xFF;
        const unsigned serial = w & 0x3FFFF;
        return Format("%u-%2.2u-%2.2u-%6.6u", a, 14 + x / 12, x % 12 + 1, serial);
    }
    const unsigned a = w >> 29;
    const bool flag = (w & 0x100000) != 0;
    if (m_unitIdAltLayout) {
        const unsigned b = (w >> 21) & 0xFF;
        const unsigned serial = flag ? (w & 0xFFFFF) : (w & 0x1FFFFF);
        return Format(flag ? "%u-%u-%u F" : "%u-%u-%u", a, b, serial);
    }
    const unsigned b = (w >> 25) & 0xF;
    const unsigned c = (w >> 21) & 0xF;
    const unsigned d = (w >> 12) & 0xFF;
    const unsigned e = w & 0xFFF;
    return Format(flag ? "%1.1u-%2.2u-%2.2u-%3.3u-%4.4u F" : "%1.1u-%2.2u-%2.2u-%3.3u-%4.4u", a, b, c, d, e);
}

std::string CHIDProtocol::GetUnitId() {
    if (m_unitIdRead) {
        return FormatUnitId(m_unitIdWord);
    }
    // An unanswered read says so ("Not Supported") rather than taking the unit for a new board;
    // nothing is cached, so the next call reads again.
    const std::int64_t result = ReadUnitId();
    if (result >= 0) {
        return FormatUnitId(m_unitIdWord);
    }
    return FormatUnitId(result == kUnitIdNoAnswer ? kUnitIdNoAnswer : kUnitIdUnread);
}
