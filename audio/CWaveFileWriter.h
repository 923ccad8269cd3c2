#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/CWaveFormat.h"

// Writes a RIFF/WAVE recording: an 18-byte format chunk and one data chunk whose sizes are
// filled in by Close (layout: "RIFF", size, "WAVE", "fmt ", 18, format, "data", size, samples).
class CWaveFileWriter {
public:
    static constexpr std::uint32_t kHeaderBytes = 46;

    CWaveFileWriter() = default;
    ~CWaveFileWriter();
    CWaveFileWriter(const CWaveFileWriter&) = delete;
    CWaveFileWriter& operator=(const CWaveFileWriter&) = delete;

    // Creates (or truncates) the file and opens its data chunk; 1, or 0 when the file cannot
    // be created. An open writer is closed first.
    int Create(const std::string& path, const CWaveFormat& format);

    // Appends bytes to the data chunk. False when closed, on a write error, or when the data
    // would pass the 4 GB that a RIFF size can hold; nothing of such a block is written.
    bool Write(const void* data, int count);

    // Pads odd data, writes the chunk sizes and closes; false when any write failed.
    bool Close();

    bool IsOpen() const { return m_file != nullptr; }
    std::uint32_t DataBytes() const { return m_dataBytes; }

    CWaveFormat m_format;
    std::string m_fileName;  // the path of the last Create

private:
    std::FILE* m_file = nullptr;
    std::uint32_t m_dataBytes = 0;
    bool m_failed = false;
};
