#include "mail/CSMTPAttachment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kCharsPerLine = 76;

// Reads the whole regular file at path; false on any failure or a read that ends early.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (ok) {
        bytes.clear();
        bytes.reserve(static_cast<std::size_t>(status.st_size));
        std::uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::size_t Base64EncodedLength(std::size_t length) {
    const std::size_t groups = length / 3;
    return groups * 4 + (groups / 19) * 2 + (length % 3 != 0 ? 4 : 0) + 2;
}

int Base64Encode(const std::uint8_t* data, int length, char* out, int outSize, int& outLength) {
    if (length < 0 || outSize < 0 ||
        Base64EncodedLength(static_cast<std::size_t>(length)) + 1 > static_cast<std::size_t>(outSize)) {
        return 0;
    }
    char* p = out;
    int onLine = 0;
    int i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t bits = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        *p++ = kAlphabet[(bits >> 18) & 0x3F];
        *p++ = kAlphabet[(bits >> 12) & 0x3F];
        *p++ = kAlphabet[(bits >> 6) & 0x3F];
        *p++ = kAlphabet[bits & 0x3F];
        onLine += 4;
        if (onLine == kCharsPerLine) {
            *p++ = '\r';
            *p++ = '\n';
            onLine = 0;
        }
    }
    const int left = length - i;
    if (left > 0) {
        const std::uint32_t bits = (data[i] << 16) | (left == 2 ? data[i + 1] << 8 : 0);
        *p++ = kAlphabet[(bits >> 18) & 0x3F];
        *p++ = kAlphabet[(bits >> 12) & 0x3F];
        *p++ = left == 2 ? kAlphabet[(bits >> 6) & 0x3F] : '=';
        *p++ = '=';
    }
    *p++ = '\r';
    *p++ = '\n';
    *p = '\0';
    outLength = static_cast<int>(p - out);
    return 1;
}

bool CSMTPAttachment::AttachFile(const std::string& path) {
    m_encoded.clear();
    m_encodedLength = 0;
    std::vector<std::uint8_t> bytes;
    if (!readWholeFile(path, bytes) || bytes.size() > INT_MAX ||
        Base64EncodedLength(bytes.size()) + 1 > static_cast<std::size_t>(INT_MAX)) {
        m_name.clear();
        m_fileName.clear();
        return false;
    }
    m_encoded.resize(Base64EncodedLength(bytes.size()) + 1);
    Base64Encode(bytes.data(), static_cast<int>(bytes.size()), m_encoded.data(),
                 static_cast<int>(m_encoded.size()), m_encodedLength);
    m_encoded.resize(static_cast<std::size_t>(m_encodedLength));

    const std::size_t slash = path.find_last_of('/');
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    m_fileName = m_name;
    return true;
}
