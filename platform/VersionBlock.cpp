#include "platform/VersionBlock.h"

#include <elf.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace platform {
namespace {

// Reads `size` bytes at `offset`; false when the file is shorter.
bool readAt(std::ifstream& in, std::uint64_t offset, void* out, std::size_t size) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
}

// The section's bytes, for 32- and 64-bit ELF files of this machine's byte order.
template <typename Ehdr, typename Shdr>
std::optional<std::vector<std::uint8_t>> findSection(std::ifstream& in, std::uint64_t fileSize) {
    Ehdr header{};
    if (!readAt(in, 0, &header, sizeof header) || header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 ||
        header.e_shstrndx >= header.e_shnum ||
        header.e_shoff + std::uint64_t{header.e_shnum} * sizeof(Shdr) > fileSize) {
        return std::nullopt;
    }
    std::vector<Shdr> sections(header.e_shnum);
    if (!readAt(in, header.e_shoff, sections.data(), sections.size() * sizeof(Shdr))) {
        return std::nullopt;
    }
    const Shdr& names = sections[header.e_shstrndx];
    if (names.sh_offset + names.sh_size > fileSize || names.sh_size > (1u << 24)) {
        return std::nullopt;
    }
    std::vector<char> nameTable(names.sh_size + 1, '\0');
    if (!readAt(in, names.sh_offset, nameTable.data(), names.sh_size)) {
        return std::nullopt;
    }
    for (const Shdr& section : sections) {
        if (section.sh_name >= names.sh_size ||
            std::strcmp(nameTable.data() + section.sh_name, kVersionSectionName) != 0) {
            continue;
        }
        if (section.sh_type == SHT_NOBITS || section.sh_offset + section.sh_size > fileSize ||
            section.sh_size > (1u << 20)) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> bytes(section.sh_size);
        if (!readAt(in, section.sh_offset, bytes.data(), bytes.size())) {
            return std::nullopt;
        }
        return bytes;
    }
    return std::nullopt;
}

}  // namespace

Result<std::optional<std::vector<std::uint8_t>>> readVersionBlock(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return errnoError("open " + path, errno != 0 ? errno : ENOENT);
    }
    const auto fileSize = static_cast<std::uint64_t>(in.tellg());
    unsigned char ident[EI_NIDENT] = {};
    if (!readAt(in, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        return std::optional<std::vector<std::uint8_t>>{};
    }
    const bool littleEndian = ident[EI_DATA] == ELFDATA2LSB;
    if (littleEndian != (std::endian::native == std::endian::little)) {
        return std::optional<std::vector<std::uint8_t>>{};
    }
    if (ident[EI_CLASS] == ELFCLASS64) {
        return findSection<Elf64_Ehdr, Elf64_Shdr>(in, fileSize);
    }
    if (ident[EI_CLASS] == ELFCLASS32) {
        return findSection<Elf32_Ehdr, Elf32_Shdr>(in, fileSize);
    }
    return std::optional<std::vector<std::uint8_t>>{};
}

const char* findVersionValue(const std::vector<std::uint8_t>& block, const std::string& key) {
    const char* data = reinterpret_cast<const char*>(block.data());
    std::size_t pos = 0;
    // Each entry is two zero-ended texts; an entry cut short by the block's end is not taken.
    while (pos < block.size()) {
        const void* keyEnd = std::memchr(data + pos, '\0', block.size() - pos);
        if (keyEnd == nullptr || keyEnd == data + pos) {
            return nullptr;
        }
        const std::size_t valuePos = static_cast<const char*>(keyEnd) - data + 1;
        const void* valueEnd =
            valuePos < block.size() ? std::memchr(data + valuePos, '\0', block.size() - valuePos) : nullptr;
        if (valueEnd == nullptr) {
            return nullptr;
        }
        if (std::strcmp(data + pos, key.c_str()) == 0) {
            return data + valuePos;
        }
        pos = static_cast<const char*>(valueEnd) - data + 1;
    }
    return nullptr;
}

}  // namespace platform
