#pragma once

#include <array>
#include <cstdint>
#include <span>

// A PCM format record with the fields and order of the 18-byte wave format block that the
// wave devices and WAV files carry (see toBytes for the layout).
struct CWaveFormat {
    static constexpr std::uint16_t kFormatPcm = 1;
    static constexpr std::size_t kBytes = 18;

    std::uint16_t formatTag = kFormatPcm;
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSec = 11025;
    std::uint32_t avgBytesPerSec = 22050;
    std::uint16_t blockAlign = 2;
    std::uint16_t bitsPerSample = 16;
    std::uint16_t extraSize = 0;

    CWaveFormat() = default;
    CWaveFormat(std::uint16_t channelCount, std::uint32_t sampleRate, std::uint16_t bits);

    // Fills every field for PCM; bytes per sample are bits / 8 (integer division).
    void Set(std::uint16_t channelCount, std::uint32_t sampleRate, std::uint16_t bits);

    // Copies all but the extra size, which becomes 0.
    void CopyFrom(const CWaveFormat& other);

    // The 18-byte little-endian block: tag, channels, rate, average bytes, block align, bits,
    // extra size.
    std::array<std::uint8_t, kBytes> toBytes() const;

    // Reads the first 16 bytes (tag to bits); the extra size is set to 0. The span must hold
    // at least 16 bytes.
    static CWaveFormat fromBytes(std::span<const std::uint8_t> bytes);

    bool operator==(const CWaveFormat&) const = default;
};
