#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/CWaveFormat.h"

// Writes a RIFF/WAVE recording: an 18-byte format chunk and one data chunk whose sizes are
// filled in by Close (layout: "RIFF", size, "WAVE", "fmt ", 18, format, "data", size, samples).
//
// The sound goes to a temporary file beside the recording's name, which takes that name only
// when it has been written whole and is kept (Close, or Finish then Keep): a failed, abandoned
// or unwanted recording never replaces what the name holds, and whatever was at the name (an
// earlier recording, a symbolic link) is replaced rather than written through. The temporary
// file is named ".<name>.<pid>-<n>.part".
class CWaveFileWriter {
public:
    static constexpr std::uint32_t kHeaderBytes = 46;

    CWaveFileWriter() = default;
    // An abandoned recording is discarded.
    ~CWaveFileWriter();
    CWaveFileWriter(const CWaveFileWriter&) = delete;
    CWaveFileWriter& operator=(const CWaveFileWriter&) = delete;

    // Creates the temporary file and opens its data chunk; 1, or 0 when it cannot be created
    // (see ErrorText). An open writer is closed first.
    int Create(const std::string& path, const CWaveFormat& format);

    // Appends bytes to the data chunk. False when closed, on a write error, or when the data
    // would pass the 4 GB that a RIFF size can hold; nothing of such a block is written.
    bool Write(const void* data, int count);

    // Finish, then Keep; false, leaving the name as it was, when any write failed.
    bool Close();

    // Pads odd data and writes the chunk sizes: the recording is whole under its temporary name
    // (TemporaryName), waiting for Keep or Discard. False, the temporary file removed, when any
    // write failed.
    bool Finish();
    // Puts a finished recording in place under the recording's name; false when there is none
    // or it cannot be put there (see ErrorText), the name then keeping what it had.
    bool Keep();
    // Closes and removes the temporary file, finished or not: the name keeps what it had.
    void Discard();
    // A finished recording waits for Keep or Discard.
    bool IsFinished() const { return m_finished; }
    const std::string& TemporaryName() const { return m_tempName; }

    // Removes the temporary files that processes no longer running left in `folder`; those of
    // running processes are left alone. The count removed.
    static int RemoveStaleTemporaries(const std::string& folder);

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
    bool m_finished = false;
};
