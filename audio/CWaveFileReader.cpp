#include "audio/CWaveFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "audio/ByteOrder.h"

namespace {

constexpr std::uint32_t kRiffId = byteorder::fourCc('R', 'I', 'F', 'F');
constexpr std::uint32_t kWaveId = byteorder::fourCc('W', 'A', 'V', 'E');
constexpr std::uint32_t kFmtId = byteorder::fourCc('f', 'm', 't', ' ');
constexpr std::uint32_t kDataId = byteorder::fourCc('d', 'a', 't', 'a');

// The rates a speakerphone test can sensibly play or record.
constexpr std::uint32_t kMinSampleRate = 1000;
constexpr std::uint32_t kMaxSampleRate = 384000;

bool readExact(std::FILE* file, void* destination, std::size_t count) {
    return std::fread(destination, 1, count, file) == count;
}

bool seekTo(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// A format the recordings and play files of the system can carry.
bool isUsablePcm(const CWaveFormat& format) {
    return format.formatTag == CWaveFormat::kFormatPcm && format.bitsPerSample == 16 &&
           (format.channels == 1 || format.channels == 2) && format.samplesPerSec >= kMinSampleRate &&
           format.samplesPerSec <= kMaxSampleRate && format.blockAlign == 2u * format.channels &&
           format.avgBytesPerSec == static_cast<std::uint32_t>(format.blockAlign) * format.samplesPerSec;
}

}  // namespace

CWaveFileReader::~CWaveFileReader() {
    Close();
}

int CWaveFileReader::fail(std::uint32_t code) {
    m_lastError = code;
    Close();
    return 0;
}

int CWaveFileReader::Open(const std::string& path) {
    Close();
    m_fileName = path;
    m_lastError = wavefile::kNoError;
    m_riffChunk = m_fmtChunk = m_dataChunk = RiffChunkInfo{};
    m_blockAlign = 0;

    // A folder, a device or a pipe may open for reading too (a pipe would wait for a writer
    // without O_NONBLOCK), but none of them holds a file to read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (m_file = fdopen(fd, "rb")) == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return fail(wavefile::kCannotOpen);
    }
    if (fseeko(m_file, 0, SEEK_END) != 0) {
        return fail(wavefile::kCannotSeek);
    }
    const off_t end = ftello(m_file);
    if (end < 0 || !seekTo(m_file, 0)) {
        return fail(wavefile::kCannotSeek);
    }
    m_fileSize = static_cast<std::uint64_t>(end);

    std::uint8_t header[12];
    if (!readExact(m_file, header, sizeof header)) {
        return fail(wavefile::kInvalidFile);
    }
    m_riffChunk.id = byteorder::getU32(header);
    m_riffChunk.size = byteorder::getU32(header + 4);
    m_riffChunk.formType = byteorder::getU32(header + 8);
    m_riffChunk.dataOffset = 8;
    if (m_riffChunk.id != kRiffId || m_riffChunk.formType != kWaveId || m_riffChunk.size < 4) {
        return fail(wavefile::kInvalidFile);
    }
    // A writer that streams (to a pipe) or was interrupted leaves sizes it could not go back and
    // fix: the RIFF and data chunks then claim more than the file holds. The data there is read.
    const std::uint64_t declaredEnd = 8 + static_cast<std::uint64_t>(m_riffChunk.size);
    m_riffEnd = std::min(declaredEnd, m_fileSize);
    m_dataCutShort = false;

    if (!findChunk(kFmtId, m_fmtChunk) || !readFormat() || !SeekData(0)) {
        return fail(m_lastError);
    }
    // A RIFF size past the end is such a writer's only when its data chunk runs past it too.
    if (declaredEnd > m_fileSize && !m_dataCutShort) {
        return fail(wavefile::kInvalidFile);
    }
    m_dataSize = m_dataChunk.size;
    m_durationMs = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(m_dataSize) * 1000 / m_avgBytesPerSec,
                                std::numeric_limits<std::uint32_t>::max()));
    return 1;
}

// Walks the chunks inside the RIFF chunk from its start; on success the file is positioned at
// the found chunk's contents. A missing chunk, or one other than the data chunk that runs past
// the RIFF chunk or the file, sets m_lastError and gives false; a data chunk that does is cut
// to the whole frames the file holds.
bool CWaveFileReader::findChunk(std::uint32_t id, RiffChunkInfo& chunk) {
    const std::uint64_t riffEnd = m_riffEnd;
    std::uint64_t position = 12;
    while (position + 8 <= riffEnd) {
        std::uint8_t header[8];
        if (!seekTo(m_file, position) || !readExact(m_file, header, sizeof header)) {
            m_lastError = wavefile::kCannotRead;
            return false;
        }
        std::uint32_t size = byteorder::getU32(header + 4);
        const std::uint64_t contents = position + 8;
        if (contents + size > riffEnd) {
            if (byteorder::getU32(header) != kDataId) {
                m_lastError = wavefile::kInvalidFile;
                return false;
            }
            const auto held = static_cast<std::uint32_t>(riffEnd - contents);
            size = held - held % std::max<std::uint32_t>(m_blockAlign, 1);
            m_dataCutShort = true;
        }
        if (byteorder::getU32(header) == id) {
            chunk.id = id;
            chunk.size = size;
            chunk.formType = 0;
            chunk.dataOffset = contents;
            return true;
        }
        position = contents + size + (size & 1u);
    }
    m_lastError = wavefile::kChunkNotFound;
    return false;
}

bool CWaveFileReader::readFormat() {
    std::uint8_t bytes[16];
    if (m_fmtChunk.size < sizeof bytes || !readExact(m_file, bytes, sizeof bytes)) {
        m_lastError = wavefile::kCannotRead;
        return false;
    }
    CWaveFormat format = CWaveFormat::fromBytes(bytes);
    std::vector<std::uint8_t> extra;
    if (format.formatTag != CWaveFormat::kFormatPcm) {
        std::uint8_t sizeBytes[2];
        if (m_fmtChunk.size < sizeof bytes + sizeof sizeBytes || !readExact(m_file, sizeBytes, 2)) {
            m_lastError = wavefile::kCannotRead;
            return false;
        }
        format.extraSize = byteorder::getU16(sizeBytes);
        // The extra bytes must lie inside the format chunk, which lies inside the file, so
        // the allocation is bounded by both.
        if (m_fmtChunk.size < sizeof bytes + sizeof sizeBytes + format.extraSize) {
            m_lastError = wavefile::kCannotRead;
            return false;
        }
        try {
            extra.resize(format.extraSize);
        } catch (const std::bad_alloc&) {
            m_lastError = wavefile::kOutOfMemory;
            return false;
        }
        if (!readExact(m_file, extra.data(), extra.size())) {
            m_lastError = wavefile::kCannotRead;
            return false;
        }
    }
    m_pFormat = std::make_unique<CWaveFormat>(format);
    m_formatExtra = std::move(extra);
    m_blockAlign = format.blockAlign;
    m_avgBytesPerSec = format.avgBytesPerSec;
    if (!isUsablePcm(format)) {
        m_lastError = wavefile::kUnsupportedFormat;
        return false;
    }
    return true;
}

int CWaveFileReader::SeekData(std::uint32_t byteOffset) {
    if (m_file == nullptr) {
        m_lastError = wavefile::kCannotSeek;
        return 0;
    }
    if (!findChunk(kDataId, m_dataChunk)) {
        return 0;
    }
    const std::uint32_t offset = std::min(byteOffset, m_dataChunk.size);
    if (!seekTo(m_file, m_dataChunk.dataOffset + offset)) {
        m_lastError = wavefile::kCannotSeek;
        return 0;
    }
    m_dataChunk.size -= offset;
    m_position = offset;
    return 1;
}

std::uint32_t CWaveFileReader::Read(void* destination, std::uint32_t count) {
    if (m_file == nullptr) {
        return 0;
    }
    count = std::min(count, m_dataChunk.size);
    if (count == 0) {
        return 0;
    }
    if (!readExact(m_file, destination, count)) {
        m_lastError = wavefile::kCannotRead;
        m_dataChunk.size = 0;
        return 0;
    }
    m_dataChunk.size -= count;
    m_position += count;
    return count;
}

std::uint32_t CWaveFileReader::ReadChannel(void* destination, std::uint32_t sampleCount, int channel) {
    const std::uint32_t bytes = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(2ull * sampleCount, std::numeric_limits<std::uint32_t>::max() & ~3u));
    const std::uint32_t got = Read(destination, bytes);
    if (channel == 0) {
        return got;
    }
    const std::uint32_t frames = got / 4;
    auto* data = static_cast<std::uint8_t*>(destination);
    const std::uint32_t pick = channel == 1 ? 0 : 2;
    for (std::uint32_t frame = 0; frame < frames; ++frame) {
        std::memmove(data + 2 * frame, data + 4 * frame + pick, 2);
    }
    return 2 * frames;
}

void CWaveFileReader::Close() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_pFormat.reset();
    m_formatExtra.clear();
}
