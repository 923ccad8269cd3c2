#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testfiles {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readBytes(const std::string& path);

// Little-endian appenders for building RIFF files by hand.
void appendU16(std::vector<std::uint8_t>& out, std::uint16_t value);
void appendU32(std::vector<std::uint8_t>& out, std::uint32_t value);
void appendId(std::vector<std::uint8_t>& out, const char* id);
void appendChunk(std::vector<std::uint8_t>& out, const char* id, const std::vector<std::uint8_t>& body);

// The 16-byte PCM format body.
std::vector<std::uint8_t> pcmFormatBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits = 16);

// "RIFF" size "WAVE" followed by the given chunks, with the RIFF size filled in.
std::vector<std::uint8_t> riffWave(const std::vector<std::uint8_t>& chunks);

// A whole 16-bit PCM file holding the given samples (interleaved when two channels).
std::vector<std::uint8_t> pcmWave(std::uint16_t channels, std::uint32_t rate,
                                  const std::vector<std::int16_t>& samples);

// Runs a shell command; its exit code and standard output.
struct CommandResult {
    int exitCode = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

}  // namespace testfiles
