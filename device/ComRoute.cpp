// The COM-port route: each message as one line of hexadecimal text over a serial port.
#include <algorithm>
#include <array>
#include <cstdio>

#include "device/HIDProtocol.h"
#include "device/RouteMatching.h"
#include "platform/HexText.h"
#include "platform/ISerialPort.h"

namespace {

constexpr std::size_t kLineBytes = 8;
constexpr const char* kComCaption = "WaitForComAnswer";

// The unit character of unit U: '0' + U, 7 more above 9 ('A'..'F' for 10..15, 'G' for 16).
char unitCharacter(int unit) {
    int c = '0' + unit;
    if (unit > 9) {
        c += 7;
    }
    return static_cast<char>(c & 0xFF);
}

// "0x0%c, 0x%2.2X" with a unit character, else "0x%2.2X", then ", 0x%2.2X" for bytes 1..7.
std::string comTraceLine(const char* prefix, bool withUnit, char unit, std::span<const std::uint8_t> bytes) {
    std::string line = prefix;
    char item[16];
    if (withUnit) {
        std::snprintf(item, sizeof item, "0x0%c, ", unit);
        line += item;
    }
    line += CHIDProtocol::FormatByteList(bytes);
    return line + "\r\n";
}

}  // namespace

std::string CHIDProtocol::EncodeHexLine(std::span<const std::uint8_t> message) const {
    if (message.size() > kLineBytes) {
        return {};
    }
    std::array<std::uint8_t, kLineBytes> bytes{};
    std::copy(message.begin(), message.end(), bytes.begin());
    std::string line;
    if (m_slaveUnit > 0) {
        line += unitCharacter(m_slaveUnit);
    }
    char digits[kLineBytes * 2];
    platform::appendHexDigits(bytes, digits);
    line.append(digits, sizeof digits);
    line += '\r';
    return line;
}

bool CHIDProtocol::DecodeHexLine(std::span<const char> text, std::span<std::uint8_t> out) {
    return platform::decodeHexBytes(text, out);
}

int CHIDProtocol::WaitForComAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                   std::uint32_t) {
    const ViewerWindow viewer = FindViewerWindow();
    if (m_comPort == nullptr || message.empty() || message.size() > kLineBytes || reply.size() < kLineBytes) {
        return -1;
    }
    std::array<std::uint8_t, kLineBytes> request{};
    std::copy(message.begin(), message.end(), request.begin());
    const std::string line = EncodeHexLine(message);
    const bool withUnit = m_slaveUnit > 0;

    const auto lineBytes =
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    const auto written = m_comPort->write(lineBytes);
    if (!written || written.value() != line.size()) {
        ReportRouteError(viewer, kComCaption, "Failed to write to Com Port.\r\n");
        return -1;
    }
    TraceRouteLine(viewer, comTraceLine("ComPort Send:  ", withUnit, line[0], request));

    // The reply line has the length of the request line.
    std::string answer(line.size(), '\0');
    const auto read = m_comPort->read(
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(answer.data()), answer.size()));
    const std::size_t got = read ? read.value() : 0;
    if (got < answer.size()) {
        char text[96];
        std::snprintf(text, sizeof text, "%d bytes read instead of %d from ComPort.\r\n",
                      static_cast<int>(got), static_cast<int>(kLineBytes));
        ReportRouteError(viewer, kComCaption, text);
        return -1;
    }

    // Digits that are not upper-case hexadecimal make the line no answer at all.
    std::array<std::uint8_t, kLineBytes> decoded{};
    const std::size_t digitsAt = withUnit ? 1 : 0;
    if (!DecodeHexLine(std::span<const char>(answer).subspan(digitsAt), decoded)) {
        return -1;
    }
    std::copy(decoded.begin(), decoded.end(), reply.begin());
    TraceRouteLine(viewer, comTraceLine("ComPort Read:  ", withUnit, answer[0], decoded));
    return AcceptRouteReply(request, decoded);
}
