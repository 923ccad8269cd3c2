#include "audio/CWaveFileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "audio/ByteOrder.h"

namespace {

void putId(std::uint8_t* p, const char* id) {
    std::memcpy(p, id, 4);
}

// The largest data size whose RIFF size (38 + data + pad) still fits in 32 bits.
constexpr std::uint64_t kMaxDataBytes = std::numeric_limits<std::uint32_t>::max() - 38 - 1;

// A new file beside `path` (same folder, so that a rename puts it in place), created
// exclusively so that nothing already there is opened; its name in `tempName`.
int createTemporaryBeside(const std::string& path, std::string& tempName) {
    static std::atomic<unsigned> counter{0};
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    constexpr int kAttempts = 100;
    for (int i = 0; i < kAttempts; ++i) {
        tempName = folder + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) +
                   ".part";
        const int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

CWaveFileWriter::~CWaveFileWriter() {
    Discard();
}

void CWaveFileWriter::fail(const char* operation, int error) {
    m_failed = true;
    if (m_error.empty()) {
        m_error = std::string("Unable to ") + operation + " the recording " + m_fileName + ": " +
                  std::strerror(error) + ".";
    }
}

int CWaveFileWriter::Create(const std::string& path, const CWaveFormat& format) {
    Discard();
    m_fileName = path;
    m_error.clear();
    m_failed = false;
    const int fd = createTemporaryBeside(path, m_tempName);
    if (fd < 0) {
        fail("create", errno);
        return 0;
    }
    m_file = ::fdopen(fd, "wb");
    if (m_file == nullptr) {
        fail("create", errno);
        ::close(fd);
        ::unlink(m_tempName.c_str());
        return 0;
    }
    m_format = format;
    m_dataBytes = 0;

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
        fail("write", errno);
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
        fail("write", EFBIG);
        return false;
    }
    const auto written = std::fwrite(data, 1, static_cast<std::size_t>(count), m_file);
    m_dataBytes += static_cast<std::uint32_t>(written);
    if (written != static_cast<std::size_t>(count)) {
        fail("write", errno);
        return false;
    }
    return true;
}

bool CWaveFileWriter::Close() {
    if (m_file == nullptr && !m_finished) {
        return true;
    }
    return Finish() && Keep();
}

bool CWaveFileWriter::Finish() {
    if (m_file == nullptr) {
        return m_finished;
    }
    const std::uint32_t pad = m_dataBytes & 1u;
    if (pad != 0 && std::fputc(0, m_file) == EOF) {
        fail("write", errno);
    }
    const auto putSize = [this](long offset, std::uint32_t value) {
        std::uint8_t size[4];
        byteorder::putU32(size, value);
        return std::fseek(m_file, offset, SEEK_SET) == 0 && std::fwrite(size, 1, 4, m_file) == 4;
    };
    if (!putSize(4, 38 + m_dataBytes + pad) || !putSize(42, m_dataBytes)) {
        fail("write", errno);
    }
    // A full disk may only show when the buffer goes out.
    if (std::fclose(m_file) != 0) {
        fail("write", errno);
    }
    m_file = nullptr;
    if (m_failed) {
        ::unlink(m_tempName.c_str());
        return false;
    }
    m_finished = true;
    return true;
}

bool CWaveFileWriter::Keep() {
    if (!m_finished) {
        return false;
    }
    m_finished = false;
    if (std::rename(m_tempName.c_str(), m_fileName.c_str()) != 0) {
        fail("save", errno);
        ::unlink(m_tempName.c_str());
        return false;
    }
    return true;
}

void CWaveFileWriter::Discard() {
    if (m_file == nullptr && !m_finished) {
        return;
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_finished = false;
    ::unlink(m_tempName.c_str());
}

int CWaveFileWriter::RemoveStaleTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        // ".<name>.<pid>-<n>.part": the pid is the last dot's digits before the dash.
        const std::string name = entry->d_name;
        constexpr std::string_view kSuffix = ".part";
        if (name.size() <= kSuffix.size() + 1 || name[0] != '.' || !name.ends_with(kSuffix)) {
            continue;
        }
        const std::string stem = name.substr(0, name.size() - kSuffix.size());
        const auto dot = stem.rfind('.');
        const auto dash = stem.rfind('-');
        if (dot == 0 || dot == std::string::npos || dash == std::string::npos || dash < dot + 2 ||
            dash + 1 == stem.size()) {
            continue;
        }
        const std::string pid = stem.substr(dot + 1, dash - dot - 1);
        const std::string counter = stem.substr(dash + 1);
        const auto digits = [](const std::string& text) {
            return text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!digits(pid) || !digits(counter)) {
            continue;
        }
        const auto process = static_cast<pid_t>(std::stol(pid));
        // A process that runs (or that we may not signal) may still be writing it.
        if (process <= 0 || process == ::getpid() || ::kill(process, 0) == 0 || errno != ESRCH) {
            continue;
        }
        if (::unlink((base + name).c_str()) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}
