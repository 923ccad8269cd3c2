#include "mail/Base64Coder.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFE;
constexpr std::uint8_t kPad = 0xFF;
constexpr std::uint32_t kBufferStep = 4096;
constexpr std::uint32_t kMaxLength = std::numeric_limits<std::uint32_t>::max();
// Largest request whose whole steps still fit a 32-bit size.
constexpr std::uint32_t kMaxRequest = kMaxLength / kBufferStep * kBufferStep - 1;

std::uint32_t checkedLength(std::size_t length, const char* call) {
    if (length > kMaxLength) {
        throw std::length_error(std::string(call) + ": input too long");
    }
    return static_cast<std::uint32_t>(length);
}

// Grows buffer to more than n bytes (whole steps) when it is smaller, then zeroes all of it.
template <typename T>
void allocZeroed(std::unique_ptr<T[]>& buffer, std::uint32_t& capacity, std::uint32_t& length,
                 std::uint32_t n) {
    if (capacity < n) {
        if (n > kMaxRequest) {
            throw std::length_error("Base64Coder: buffer too large");
        }
        buffer.reset();
        capacity = (n / kBufferStep + 1) * kBufferStep;
        buffer = std::make_unique_for_overwrite<T[]>(capacity);  // zeroed just below, once
    }
    if (buffer) {
        std::memset(buffer.get(), 0, capacity);
    }
    length = 0;
}

// The arithmetic of the steps, shared by the virtual steps and the loops of a plain coder.

// Three bytes to four 6-bit values, most significant bits first.
inline void splitBits(std::uint8_t* output, const std::uint8_t* input) {
    output[0] = static_cast<std::uint8_t>(input[0] >> 2);
    output[1] = static_cast<std::uint8_t>(((input[0] & 0x03) << 4) | (input[1] >> 4));
    output[2] = static_cast<std::uint8_t>(((input[1] & 0x0F) << 2) | (input[2] >> 6));
    output[3] = static_cast<std::uint8_t>(input[2] & 0x3F);
}

// Four 6-bit values to their characters; "=" in place of the values no input byte reached.
inline void toCharacters(const std::uint8_t* values, int count, char* output) {
    for (int k = 0; k < 4; ++k) {
        output[k] = kAlphabet[values[k]];
    }
    if (count < 3) {
        output[3] = '=';
    }
    if (count < 2) {
        output[2] = '=';
    }
}

// Four table entries to three bytes; an entry outside 0..63 enters as its low six bits.
inline void joinBits(std::uint8_t* output, const std::uint8_t* input) {
    output[0] = static_cast<std::uint8_t>((input[0] << 2) | ((input[1] & 0x3F) >> 4));
    output[1] = static_cast<std::uint8_t>((input[1] << 4) | ((input[2] & 0x3F) >> 2));
    output[2] = static_cast<std::uint8_t>((input[2] << 6) | (input[3] & 0x3F));
}

// The table entries of four characters; "=" in the third or fourth place counts as 0.
inline void fullGroupEntries(const std::uint8_t* table, const char* characters, std::uint8_t* values) {
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t value = table[static_cast<std::uint8_t>(characters[k])];
        values[k] = k >= 2 && value == kPad ? 0 : value;
    }
}

inline bool isSkipped(char c) {
    return (c >= 7 && c <= 13) || c == ' ';
}

}  // namespace

std::uint8_t Base64Coder::s_decodeTable[256];
bool Base64Coder::s_decodeTableReady = false;

void Base64Coder::BuildDecodeTable() {
    std::memset(s_decodeTable, kNotInAlphabet, sizeof s_decodeTable);
    for (std::uint8_t i = 0; i < 64; ++i) {
        const auto c = static_cast<std::uint8_t>(kAlphabet[i]);
        s_decodeTable[c] = i;
        s_decodeTable[c + 128] = i;
    }
    s_decodeTable[static_cast<std::uint8_t>('=')] = kPad;
    s_decodeTable[static_cast<std::uint8_t>('=') + 128] = kPad;
    s_decodeTableReady = true;
}

void Base64Coder::EncodeString(const char* text) {
    if (text != nullptr) {
        Encode(reinterpret_cast<const std::uint8_t*>(text),
               checkedLength(std::strlen(text), "Base64Coder::EncodeString"));
    }
}

void Base64Coder::DecodeString(const char* text) {
    if (text != nullptr) {
        Decode(text, checkedLength(std::strlen(text), "Base64Coder::DecodeString"));
    }
}

std::uint8_t* Base64Coder::GetDecoded() {
    return m_decoded.get();
}

char* Base64Coder::GetEncoded() {
    return m_encoded.get();
}

void Base64Coder::AllocEncoded(std::uint32_t n) {
    allocZeroed(m_encoded, m_encodedCapacity, m_encodedLength, n);
}

void Base64Coder::AllocDecoded(std::uint32_t n) {
    allocZeroed(m_decoded, m_decodedCapacity, m_decodedLength, n);
}

void Base64Coder::SetDecodedInput(const std::uint8_t* bytes, std::uint32_t length) {
    AllocDecoded(length);
    if (length > 0) {
        std::memcpy(m_decoded.get(), bytes, length);
    }
    m_decodedLength = length;
}

void Base64Coder::SetEncodedInput(const char* characters, std::uint32_t length) {
    AllocEncoded(length);
    if (hasOwnSteps()) {
        // No step replaced: the test inline, without a virtual call a character.
        char* output = m_encoded.get();
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            if (!isSkipped(characters[i])) {
                output[kept++] = characters[i];
            }
        }
        m_encodedLength = kept;
        return;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        if (!IsSkippedChar(characters[i])) {
            m_encoded[m_encodedLength++] = characters[i];
        }
    }
}

bool Base64Coder::IsSkippedChar(char c) {
    return isSkipped(c);
}

bool Base64Coder::hasOwnSteps() const {
    return typeid(*this) == typeid(Base64Coder);
}

void Base64Coder::Encode(const std::uint8_t* bytes, std::uint32_t length) {
    if (length > kMaxLength / 2) {
        throw std::length_error("Base64Coder::Encode: input too long");  // 2 * length would wrap
    }
    SetDecodedInput(bytes, length);
    // Four characters for every three bytes; the buffer is always larger, so the text ends in NUL.
    AllocEncoded(2 * length);
    std::uint32_t i = 0;
    if (hasOwnSteps()) {
        // No step replaced: the groups' arithmetic inline, without two virtual calls a group.
        const std::uint8_t* input = m_decoded.get();
        char* output = m_encoded.get() + m_encodedLength;
        for (; i + 3 <= length; i += 3, output += 4) {
            std::uint8_t values[4];
            splitBits(values, input + i);
            toCharacters(values, 3, output);
        }
        m_encodedLength = static_cast<std::uint32_t>(output - m_encoded.get());
    }
    Group group;
    for (; i + 3 <= length; i += 3) {
        group = Group{{m_decoded[i], m_decoded[i + 1], m_decoded[i + 2], 0}, 3};
        EncodeGroup(group, m_encoded.get() + m_encodedLength);
        m_encodedLength += 4;
    }
    if (i < length) {
        group = Group{};
        group.count = static_cast<std::uint8_t>(length - i);  // one or two bytes left
        group.values[0] = m_decoded[i];
        if (group.count == 2) {
            group.values[1] = m_decoded[i + 1];
        }
        EncodeGroup(group, m_encoded.get() + m_encodedLength);
        m_encodedLength += 4;
    }
}

void Base64Coder::EncodeGroup(const Group& group, char* output) {
    std::uint8_t raw[4];
    EncodeRaw(raw, group.values);
    toCharacters(raw, group.count, output);
}

void Base64Coder::EncodeRaw(std::uint8_t* output, const std::uint8_t* input) {
    splitBits(output, input);
}

void Base64Coder::Decode(const char* characters, std::uint32_t length) {
    if (!s_decodeTableReady) {
        BuildDecodeTable();
    }
    SetEncodedInput(characters, length);
    AllocDecoded(length);
    std::uint32_t i = 0;
    if (hasOwnSteps()) {
        // No step replaced: the groups' arithmetic inline, without two virtual calls a group.
        const char* input = m_encoded.get();
        std::uint8_t* output = m_decoded.get() + m_decodedLength;
        for (const std::uint32_t end = m_encodedLength; i + 4 <= end; i += 4, output += 3) {
            std::uint8_t values[4];
            fullGroupEntries(s_decodeTable, input + i, values);
            joinBits(output, values);
        }
        m_decodedLength = static_cast<std::uint32_t>(output - m_decoded.get());
    }
    Group group;
    for (; i + 4 <= m_encodedLength; i += 4) {
        group = Group{};
        group.count = 4;
        fullGroupEntries(s_decodeTable, m_encoded.get() + i, group.values);
        DecodeGroup(group, m_decoded.get() + m_decodedLength);
        m_decodedLength += 3;
    }
    if (i < m_encodedLength) {
        group = Group{};
        group.count = static_cast<std::uint8_t>(m_encodedLength - i);
        for (std::uint32_t k = 0; k < group.count; ++k) {
            const std::uint8_t value = s_decodeTable[static_cast<std::uint8_t>(m_encoded[i + k])];
            group.values[k] = value == kPad ? 0 : value;
        }
        DecodeGroup(group, m_decoded.get() + m_decodedLength);
        m_decodedLength += group.count;
    }
}

int Base64Coder::DecodeGroup(const Group& group, std::uint8_t* output) {
    DecodeRaw(output, group.values);
    int real = 0;
    for (int k = 0; k < 3; ++k) {
        if (output[k] != kPad) {
            ++real;
        }
    }
    return real;
}

void Base64Coder::DecodeRaw(std::uint8_t* output, const std::uint8_t* input) {
    joinBits(output, input);
}
