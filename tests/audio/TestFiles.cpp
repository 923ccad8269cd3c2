#include "tests/audio/TestFiles.h"

#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testfiles {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    m_path = std::filesystem::temp_directory_path() /
             ("qpg-audio-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void appendU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void appendId(std::vector<std::uint8_t>& out, const char* id) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(id[i]));
    }
}

void appendChunk(std::vector<std::uint8_t>& out, const char* id, const std::vector<std::uint8_t>& body) {
    appendId(out, id);
    appendU32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) {
        out.push_back(0);
    }
}

std::vector<std::uint8_t> pcmFormatBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    std::vector<std::uint8_t> body;
    const auto align = static_cast<std::uint16_t>(bits / 8 * channels);
    appendU16(body, 1);
    appendU16(body, channels);
    appendU32(body, rate);
    appendU32(body, align * rate);
    appendU16(body, align);
    appendU16(body, bits);
    return body;
}

std::vector<std::uint8_t> riffWave(const std::vector<std::uint8_t>& chunks) {
    std::vector<std::uint8_t> out;
    appendId(out, "RIFF");
    appendU32(out, static_cast<std::uint32_t>(4 + chunks.size()));
    appendId(out, "WAVE");
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

std::vector<std::uint8_t> pcmWave(std::uint16_t channels, std::uint32_t rate,
                                  const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> data;
    for (const auto sample : samples) {
        appendU16(data, static_cast<std::uint16_t>(sample));
    }
    std::vector<std::uint8_t> chunks;
    appendChunk(chunks, "fmt ", pcmFormatBody(channels, rate));
    appendChunk(chunks, "data", data);
    return riffWave(chunks);
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    // Untranslated tool output, whatever the session's language.
    std::FILE* pipe = ::popen(("LC_ALL=C " + command).c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace testfiles
