#include "audio/CWaveFormat.h"

#include "audio/ByteOrder.h"

CWaveFormat::CWaveFormat(std::uint16_t channelCount, std::uint32_t sampleRate, std::uint16_t bits) {
    Set(channelCount, sampleRate, bits);
}

void CWaveFormat::Set(std::uint16_t channelCount, std::uint32_t sampleRate, std::uint16_t bits) {
    formatTag = kFormatPcm;
    channels = channelCount;
    samplesPerSec = sampleRate;
    bitsPerSample = bits;
    blockAlign = static_cast<std::uint16_t>((bits / 8) * channelCount);
    // 32-bit arithmetic, as the record's field is 32 bits.
    avgBytesPerSec = static_cast<std::uint32_t>(bits / 8) * channelCount * sampleRate;
    extraSize = 0;
}

void CWaveFormat::CopyFrom(const CWaveFormat& other) {
    *this = other;
    extraSize = 0;
}

std::array<std::uint8_t, CWaveFormat::kBytes> CWaveFormat::toBytes() const {
    std::array<std::uint8_t, kBytes> bytes{};
    byteorder::putU16(bytes.data() + 0, formatTag);
    byteorder::putU16(bytes.data() + 2, channels);
    byteorder::putU32(bytes.data() + 4, samplesPerSec);
    byteorder::putU32(bytes.data() + 8, avgBytesPerSec);
    byteorder::putU16(bytes.data() + 12, blockAlign);
    byteorder::putU16(bytes.data() + 14, bitsPerSample);
    byteorder::putU16(bytes.data() + 16, extraSize);
    return bytes;
}

CWaveFormat CWaveFormat::fromBytes(std::span<const std::uint8_t> bytes) {
    CWaveFormat format;
    format.formatTag = byteorder::getU16(bytes.data() + 0);
    format.channels = byteorder::getU16(bytes.data() + 2);
    format.samplesPerSec = byteorder::getU32(bytes.data() + 4);
    format.avgBytesPerSec = byteorder::getU32(bytes.data() + 8);
    format.blockAlign = byteorder::getU16(bytes.data() + 12);
    format.bitsPerSample = byteorder::getU16(bytes.data() + 14);
    format.extraSize = 0;
    return format;
}
