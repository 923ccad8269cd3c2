#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/System.h"

// The record the traffic viewer receives for every device message: 224 bytes, little-endian,
// no gaps. One record per device object is reused; each event rewrites only its own fields.
struct HidViewerRecord {
    static constexpr std::size_t kBytes = 224;
    static constexpr std::size_t kSenderBytes = 60;
    static constexpr std::size_t kTextBytes = 100;
    static constexpr std::size_t kReportBytes = 42;

    enum Kind : std::uint32_t {
        kMessageWritten = 0,
        kReplyAccepted = 1,
        kText = 2,
        kMessageRewritten = 3,
        kReplyRejected = 4,
    };

    std::uint32_t kind = 0;
    // Local time: year, month, day of week, day, hour, minute, second, milliseconds.
    std::array<std::uint16_t, 8> time{};
    std::array<char, kSenderBytes> sender{};
    std::array<char, kTextBytes> text{};
    std::array<std::uint8_t, kReportBytes> reportBytes{};
    std::uint8_t fr = 0;
    std::uint8_t to = 0;

    void setTime(const platform::LocalTime& t);
    // Copies at most the field's size less one characters and a NUL.
    void setSender(const std::string& name);
    void setText(const std::string& line);

    std::array<std::uint8_t, kBytes> serialize() const;
};

// The viewer's message: copy-data with wParam 24 and dwData 1.
inline constexpr std::uint64_t kViewerCopyDataWParam = 24;
inline constexpr std::uint64_t kViewerCopyDataId = 1;
inline constexpr const char* kViewerWindowTitle = "Quenlor HID Viewer";

// The broadcast that announces each appended trace line.
inline constexpr std::uint32_t WM_AUDIO_SETUP_NOTIFY = 900;
