#include "device/HidViewerRecord.h"

#include <algorithm>
#include <cstring>

namespace {

template <std::size_t N>
void copyCut(std::array<char, N>& field, const std::string& value) {
    const std::size_t count = std::min(value.size(), N - 1);
    std::memcpy(field.data(), value.data(), count);
    field[count] = '\0';
}

}  // namespace

void HidViewerRecord::setTime(const platform::LocalTime& t) {
    time = {static_cast<std::uint16_t>(t.year),      static_cast<std::uint16_t>(t.month),
            static_cast<std::uint16_t>(t.dayOfWeek), static_cast<std::uint16_t>(t.day),
            static_cast<std::uint16_t>(t.hour),      static_cast<std::uint16_t>(t.minute),
            static_cast<std::uint16_t>(t.second),    static_cast<std::uint16_t>(t.milliseconds)};
}

void HidViewerRecord::setSender(const std::string& name) {
    copyCut(sender, name);
}

void HidViewerRecord::setText(const std::string& line) {
    copyCut(text, line);
}

std::array<std::uint8_t, HidViewerRecord::kBytes> HidViewerRecord::serialize() const {
    std::array<std::uint8_t, kBytes> out{};
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        out[at++] = static_cast<std::uint8_t>(kind >> (8 * i));
    }
    for (const std::uint16_t field : time) {
        out[at++] = static_cast<std::uint8_t>(field & 0xFF);
        out[at++] = static_cast<std::uint8_t>(field >> 8);
    }
    std::memcpy(out.data() + at, sender.data(), kSenderBytes);
    at += kSenderBytes;
    std::memcpy(out.data() + at, text.data(), kTextBytes);
    at += kTextBytes;
    std::memcpy(out.data() + at, reportBytes.data(), kReportBytes);
    at += kReportBytes;
    out[at++] = fr;
    out[at++] = to;
    return out;
}
