// Reads and writes of the signal processor's parameter words with 8-byte parameter frames.
#include "device/HIDProtocol.h"

namespace {

constexpr std::uint8_t kFrameStart = 0xF0;
constexpr std::uint8_t kWriteOne = 0x0C;
constexpr std::uint8_t kReadOne = 0x0D;
constexpr std::uint8_t kWriteIndexed = 0x0E;
constexpr std::uint8_t kReadIndexed = 0x0F;

// Bit 7 of reply byte 2 marks a refused frame; reply byte 7 then holds the error number.
bool Refused(const ReplyBuffer& reply) {
    return (reply[2] & 0x80) != 0;
}

std::uint16_t ReplyWord(const ReplyBuffer& reply) {
    return static_cast<std::uint16_t>(reply[6] * 256 + reply[7]);
}

}  // namespace

int CHIDProtocol::SendFrame(const Frame& frame, ReplyBuffer& reply) {
    return WaitForAnswer(frame, reply, kUnitReplyTimeoutMs);
}

bool CHIDProtocol::ParameterAccessAllowed() const {
    return m_protocolVersion >= 13 && (m_ipMode || GetReportLength() >= 8);
}

int CHIDProtocol::ParameterErrorFromByte(std::uint8_t errorByte, int replyCode) {
    if (errorByte >= 251) {
        return -2 - (255 - errorByte);
    }
    return replyCode;
}

int CHIDProtocol::GetParameter(std::uint8_t page, std::uint8_t parameter, std::uint16_t* words, int count,
                               int flag) {
    if (!ParameterAccessAllowed() || words == nullptr || count < 1) {
        return -1;
    }
    const std::uint8_t flags = flag != 0 ? 0x04 : 0x00;
    ReplyBuffer reply{};
    int result = -1;
    for (int i = 0; i < count; ++i) {
        const Frame frame{kFrameStart, count == 1 ? kReadOne : kReadIndexed,          flags, page,
                          parameter,   static_cast<std::uint8_t>(count == 1 ? 0 : i), 0,     0};
        result = SendFrame(frame, reply);
        if (result < 0) {
            return -1;
        }
        if (Refused(reply)) {
            return ParameterErrorFromByte(reply[7], result);
        }
        words[i] = ReplyWord(reply);
    }
    return result;
}

int CHIDProtocol::SetParameter(std::uint8_t page, std::uint8_t parameter, const std::uint16_t* words,
                               int count, int flag) {
    if (!ParameterAccessAllowed() || (words == nullptr && count > 0)) {
        return -1;
    }
    ReplyBuffer reply{};
    if (count == 1) {
        const Frame frame{kFrameStart,
                          kWriteOne,
                          static_cast<std::uint8_t>(flag != 0 ? 0x04 : 0x00),
                          page,
                          parameter,
                          0,
                          static_cast<std::uint8_t>(words[0] >> 8),
                          static_cast<std::uint8_t>(words[0] & 0xFF)};
        const int result = SendFrame(frame, reply);
        if (result < 0) {
            return -1;
        }
        if (flag == 0 && Refused(reply)) {
            return ParameterErrorFromByte(reply[7], result);
        }
        return result;
    }

    // Several words: a start frame announces the count, then one frame per word.
    const Frame start{kFrameStart,
                      kWriteIndexed,
                      static_cast<std::uint8_t>(flag != 0 ? 0x04 : 0x03),
                      page,
                      parameter,
                      static_cast<std::uint8_t>(count & 0xFF),
                      0,
                      0};
    int result = SendFrame(start, reply);
    if (result < 0) {
        return -1;
    }
    if (flag != 0) {
        return result;
    }
    if (Refused(reply)) {
        return ParameterErrorFromByte(reply[7], result);
    }
    for (int i = 0; i < count; ++i) {
        const Frame frame{kFrameStart,
                          kWriteIndexed,
                          0,
                          page,
                          parameter,
                          static_cast<std::uint8_t>(i),
                          static_cast<std::uint8_t>(words[i] >> 8),
                          static_cast<std::uint8_t>(words[i] & 0xFF)};
        result = SendFrame(frame, reply);
        if (result < 0) {
            return -1;
        }
    }
    return result;
}

int CHIDProtocol::SetParameterItem(std::uint8_t page, std::uint8_t parameter, std::uint8_t index, int value) {
    if (!ParameterAccessAllowed()) {
        return -1;
    }
    const Frame frame{kFrameStart,
                      kWriteIndexed,
                      0,
                      page,
                      parameter,
                      index,
                      static_cast<std::uint8_t>((value >> 8) & 0xFF),
                      static_cast<std::uint8_t>(value & 0xFF)};
    ReplyBuffer reply{};
    return SendFrame(frame, reply);
}

int CHIDProtocol::GetParameterItem(std::uint8_t page, std::uint8_t parameter, std::uint8_t index,
                                   std::uint16_t& word, int flag) {
    if (!ParameterAccessAllowed()) {
        return -1;
    }
    const Frame frame{kFrameStart,
                      kReadIndexed,
                      static_cast<std::uint8_t>(flag != 0 ? 0x04 : 0x00),
                      page,
                      parameter,
                      index,
                      0,
                      0};
    ReplyBuffer reply{};
    const int result = SendFrame(frame, reply);
    if (result < 0) {
        return -1;
    }
    if (Refused(reply)) {
        return ParameterErrorFromByte(reply[7], result);
    }
    word = ReplyWord(reply);
    return result;
}
