#include "audio/CWaveFileWriter.h"

#include <cstring>
#include <limits>

#include "audio/ByteOrder.h"

namespace {

void putId(std::uint8_t* p, const char* id) {
    std::memcpy(p, id, 4);
}

// The largest data size whose RIFF size (38 + data + pad) still fits in 32 bits.
constexpr std::uint64_t kMaxDataBytes = std::numeric_limits<std::uint32_t>::max() - 38 - 1;

}  // namespace

CWaveFileWriter::~CWaveFileWriter() {
    Close();
}

int CWaveFileWriter::Create(const std::string& path, const CWaveFormat& format) {
    Close();
    m_fileName = path;
    m_file = std::fopen(path.c_str(), "wbe");
    if (m_file == nullptr) {
        return 0;
    }
    m_format = format;
    m_dataBytes = 0;
    m_failed = false;

    // Sizes stay 0 until Close writes them.
    std::uint8_t header[kHeaderBytes] = {};
    putId(header + 0, "RIFF");
    putId(header + 8, "WAVE");
    putId(header + 12, "fmt ");
    byteorder::putU32(header + 16, CWaveFormat::kBytes);
    const auto formatBytes = m_format.toBytes();
    std::memcpy(header + 20, formatBytes.data(), formatBytes.size());
    putId(header + 38, "data");
    if (std::fwrite(header, 1, sizeof header, m_file) != sizeof header) {
        m_failed = true;
    }
    return 1;
}

bool CWaveFileWriter::Write(const void* data, int count) {
    if (m_file == nullptr || count < 0) {
        return false;
    }
    if (count == 0) {
        return true;  // data may be null then, which fwrite must not be given
    }
    if (m_dataBytes + static_cast<std::uint64_t>(count) > kMaxDataBytes) {
        m_failed = true;
        return false;
    }
    const auto written = std::fwrite(data, 1, static_cast<std::size_t>(count), m_file);
    m_dataBytes += static_cast<std::uint32_t>(written);
    if (written != static_cast<std::size_t>(count)) {
        m_failed = true;
        return false;
    }
    return true;
}

bool CWaveFileWriter::Close() {
    if (m_file == nullptr) {
        return true;
    }
    bool ok = !m_failed;
    const std::uint32_t pad = m_dataBytes & 1u;
    if (pad != 0 && std::fputc(0, m_file) == EOF) {
        ok = false;
    }
    // The sizes are written even after a failed write, so that the sound that did reach the
    // file stays readable.
    const auto putSize = [this](long offset, std::uint32_t value) {
        std::uint8_t size[4];
        byteorder::putU32(size, value);
        return std::fseek(m_file, offset, SEEK_SET) == 0 && std::fwrite(size, 1, 4, m_file) == 4;
    };
    const bool riffSized = putSize(4, 38 + m_dataBytes + pad);
    const bool dataSized = putSize(42, m_dataBytes);
    ok = ok && riffSized && dataSized;
    if (std::fclose(m_file) != 0) {
        ok = false;
    }
    m_file = nullptr;
    return ok;
}
