#pragma once

#include <cstdint>
#include <memory>

// Turns bytes into one line of base64 text (RFC 4648 alphabet, "=" padding) and back, each
// result kept in a growable, zero-filled buffer of the coder's own. The buffers only grow, in
// steps of 4096 bytes, so the results read through GetEncoded/GetDecoded are NUL-terminated.
// Every step is virtual so that a derived coder can replace any one of them.
class Base64Coder {
public:
    // Four 6-bit values (encoding: up to three bytes) and how many of them are real.
    struct Group {
        std::uint8_t values[4] = {0, 0, 0, 0};
        std::uint8_t count = 0;
    };

    Base64Coder() = default;
    virtual ~Base64Coder() = default;
    Base64Coder(const Base64Coder&) = delete;
    Base64Coder& operator=(const Base64Coder&) = delete;

    // Encodes the text's bytes without its NUL; nothing for a null text.
    virtual void EncodeString(const char* text);
    virtual void Encode(const std::uint8_t* bytes, std::uint32_t length);
    // Decodes the text's characters; nothing for a null text.
    virtual void DecodeString(const char* text);
    virtual void Decode(const char* characters, std::uint32_t length);

    // The plain buffer (null until first allocated); the decoded bytes are followed by zeros.
    virtual std::uint8_t* GetDecoded();
    // The base64 text, NUL-terminated (null until first allocated); valid until the next call.
    virtual char* GetEncoded();

protected:
    virtual void AllocEncoded(std::uint32_t n);
    virtual void AllocDecoded(std::uint32_t n);
    virtual void SetEncodedInput(const char* characters, std::uint32_t length);
    virtual void SetDecodedInput(const std::uint8_t* bytes, std::uint32_t length);
    virtual void EncodeGroup(const Group& group, char* output);
    virtual int DecodeGroup(const Group& group, std::uint8_t* output);
    virtual void EncodeRaw(std::uint8_t* output, const std::uint8_t* input);
    virtual void DecodeRaw(std::uint8_t* output, const std::uint8_t* input);
    virtual bool IsSkippedChar(char c);

    static void BuildDecodeTable();

    std::unique_ptr<std::uint8_t[]> m_decoded;
    std::unique_ptr<char[]> m_encoded;
    std::uint32_t m_decodedCapacity = 0;
    std::uint32_t m_encodedCapacity = 0;
    std::uint32_t m_decodedLength = 0;
    std::uint32_t m_encodedLength = 0;

    static std::uint8_t s_decodeTable[256];
    static bool s_decodeTableReady;

private:
    // True for a plain Base64Coder, whose loops may then do the steps' arithmetic without
    // virtual calls; a derived coder, which may replace any step, gets every step called.
    bool hasOwnSteps() const;
};
