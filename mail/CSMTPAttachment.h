#pragma once

#include <cstdint>
#include <string>

// Writes the base64 text of the bytes into out: lines of 76 characters, each line and the whole
// text ending with CR LF, then a NUL. Stores the character count (without the NUL) in outLength
// and returns 1; returns 0 and writes nothing when outSize cannot hold the text and its NUL.
int Base64Encode(const std::uint8_t* data, int length, char* out, int outSize, int& outLength);

// Characters Base64Encode writes for length bytes, without the NUL.
std::size_t Base64EncodedLength(std::size_t length);

// One file read from disk, held as base64 text ready to go out as a MIME part. Owned by the
// caller, who passes its address to CEMail::AddAttachment; not copied.
class CSMTPAttachment {
public:
    CSMTPAttachment() = default;
    CSMTPAttachment(const CSMTPAttachment&) = delete;
    CSMTPAttachment& operator=(const CSMTPAttachment&) = delete;

    // Reads the whole file and prepares its base64 text; the names become the path's last
    // element. False when the file is missing, is not a regular file, cannot be read to its end
    // or is too large to encode; then no text is held and the names are cleared, so that
    // CEMail::AddAttachment refuses the object.
    bool AttachFile(const std::string& path);

    std::string GetName() const { return m_name; }
    std::string GetFileName() const { return m_fileName; }

    std::string m_name;      // file name with extension, for name=
    std::string m_fileName;  // the same text, for filename=
    std::string m_encoded;   // base64 text of the file; empty until a file is attached
    int m_encodedLength = 0;
};
