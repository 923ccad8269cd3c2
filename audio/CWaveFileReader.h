#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/CWaveFormat.h"
#include "audio/WaveFileErrors.h"

// Where a chunk sits in a RIFF file. For the data chunk, size is also the count of sample
// bytes left to read.
struct RiffChunkInfo {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    std::uint32_t formType = 0;
    std::uint64_t dataOffset = 0;  // file offset of the chunk's contents
};

// Reads a RIFF/WAVE file of 16-bit PCM sound, one or two channels: finds the format and data
// chunks among any others and hands out sample bytes or one channel of samples. Every open
// is validated: a file that is not a sound file the system can use fails with a code in
// m_lastError and leaves nothing open.
class CWaveFileReader {
public:
    CWaveFileReader() = default;
    ~CWaveFileReader();
    CWaveFileReader(const CWaveFileReader&) = delete;
    CWaveFileReader& operator=(const CWaveFileReader&) = delete;

    // 1 when open and positioned at the first sample, 0 on failure (see m_lastError).
    int Open(const std::string& path);

    // Positions byteOffset bytes past the start of the sample data; 1 or 0.
    int SeekData(std::uint32_t byteOffset);

    // Copies up to count bytes of sample data; the bytes copied, 0 at the end or on an error.
    std::uint32_t Read(void* destination, std::uint32_t count);

    // Reads sampleCount 16-bit samples (2 x sampleCount bytes) and keeps all of them for
    // channel 0, the left ones of a two-channel file for channel 1, the right ones for any
    // other; returns the bytes kept.
    std::uint32_t ReadChannel(void* destination, std::uint32_t sampleCount, int channel);

    // Frees the format and closes the file; nothing happens on a closed reader.
    void Close();

    bool IsOpen() const { return m_file != nullptr; }

    // Bytes of the format block: 18 plus the extra bytes.
    std::size_t FormatBlockSize() const { return m_pFormat ? CWaveFormat::kBytes + m_formatExtra.size() : 0; }

    std::unique_ptr<CWaveFormat> m_pFormat;  // null while closed
    std::vector<std::uint8_t> m_formatExtra;
    std::uint32_t m_lastError = wavefile::kNoError;
    RiffChunkInfo m_riffChunk;
    RiffChunkInfo m_fmtChunk;
    RiffChunkInfo m_dataChunk;
    std::uint32_t m_durationMs = 0;
    std::uint32_t m_blockAlign = 0;
    std::uint32_t m_avgBytesPerSec = 0;
    std::uint32_t m_dataSize = 0;
    std::uint32_t m_position = 0;
    std::string m_fileName;  // the path given to the last Open

private:
    int fail(std::uint32_t code);
    bool findChunk(std::uint32_t id, RiffChunkInfo& chunk);
    bool readFormat();

    std::FILE* m_file = nullptr;
    std::uint64_t m_fileSize = 0;
    std::uint64_t m_riffEnd = 0;  // where the chunks end: the RIFF chunk's end, or the file's
    bool m_dataCutShort = false;  // the data chunk claims more than the file holds
};
