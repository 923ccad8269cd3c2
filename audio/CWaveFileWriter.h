#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/CWaveFormat.h"

// Writes a RIFF/WAVE recording: an 18-byte format chunk and one data chunk whose sizes are
// filled in by Close (layout: "RIFF", size, "WAVE", "fmt ", 18, format, "data", size, samples).
//
// The sound goes to a temporary file beside the recording's name, which takes that name only
// when Close has written it whole: a failed or abandoned recording never leaves half a file
// under the name, and whatever was at the name (an earlier recording, a symbolic link) is
// replaced rather than written through.
class CWaveFileWriter {
public:
    static constexpr std::uint32_t kHeaderBytes = 46;

    CWaveFileWriter() = default;
    ~CWaveFileWriter();
    CWaveFileWriter(const CWaveFileWriter&) = delete;
    CWaveFileWriter& operator=(const CWaveFileWriter&) = delete;

    // Creates the temporary file and opens its data chunk; 1, or 0 when it cannot be created
    // (see ErrorText). An open writer is closed first.
    int Create(const std::string& path, const CWaveFormat& format);

    // Appends bytes to the data chunk. False when closed, on a write error, or when the data
    // would pass the 4 GB that a RIFF size can hold; nothing of such a block is written.
    bool Write(const void* data, int count);

    // Pads odd data, writes the chunk sizes and puts the file in place under the recording's
    // name; false, leaving the name as it was, when any write failed.
    bool Close();

    // Closes and removes the temporary file: the recording's name keeps what it had.
    void Discard();

    bool IsOpen() const { return m_file != nullptr; }
    std::uint32_t DataBytes() const { return m_dataBytes; }

    // Why the recording could not be written, naming the recording; empty while all went well.
    const std::string& ErrorText() const { return m_error; }

    CWaveFormat m_format;
    std::string m_fileName;  // the path of the last Create

private:
    void fail(const char* operation, int error);

    std::FILE* m_file = nullptr;
    std::string m_tempName;
    std::string m_error;
    std::uint32_t m_dataBytes = 0;
    bool m_failed = false;
};
