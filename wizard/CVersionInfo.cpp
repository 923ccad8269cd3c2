#include "wizard/CVersionInfo.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "platform/System.h"
#include "platform/VersionBlock.h"

namespace {

constexpr std::size_t kQueryLimit = 4096;
constexpr const char* kQueryFormat = "\\StringFileInfo\\%04x%04x\\%s";
constexpr unsigned kLanguageUsEnglish = 0x409;
constexpr unsigned kCodePageUnicode = 1200;

}  // namespace

CVersionInfo::CVersionInfo() = default;

CVersionInfo::~CVersionInfo() = default;

void CVersionInfo::Reset() {
    m_fileVersion.clear();
    m_filePath.clear();
    for (std::string* text : {&m_specialBuild, &m_privateBuild, &m_productVersion, &m_productName,
                              &m_originalFilename, &m_legalTrademarks, &m_legalCopyright, &m_internalName,
                              &m_fileVersionString, &m_fileDescription, &m_companyName, &m_comments}) {
        text->clear();
    }
    m_blockSize = 0;
    m_block.reset();
}

const char* CVersionInfo::QueryString(const char* key, unsigned language, unsigned codePage) const {
    if (!m_block || key == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(key) + std::strlen(kQueryFormat);
    if (size > kQueryLimit) {
        return nullptr;
    }
    std::vector<char> query(size);
    std::snprintf(query.data(), query.size(), kQueryFormat, language & 0xFFFF, codePage & 0xFFFF, key);
    const char* value = platform::findVersionValue(*m_block, query.data());
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

const std::string& CVersionInfo::Load(const char* path) {
    const std::string file = path != nullptr ? std::string(path) : platform::programPath();
    m_major = m_minor = m_build = m_revision = 0;
    if (file.size() >= kMaxPath) {
        Reset();
        return m_fileVersion;
    }
    m_filePath = file;
    m_fileVersion.clear();
    auto block = platform::readVersionBlock(file);
    if (!block || !block.value()) {
        Reset();
        return m_fileVersion;
    }
    m_block = std::make_unique<std::vector<std::uint8_t>>(std::move(*block.value()));
    m_blockSize = static_cast<std::uint32_t>(m_block->size());

    if (const char* fixed = platform::findVersionValue(*m_block, "\\")) {
        int major = 0, minor = 0, build = 0, revision = 0;
        char end = 0;
        if (std::sscanf(fixed, "%d.%d.%d.%d%c", &major, &minor, &build, &revision, &end) == 4) {
            m_major = major;
            m_minor = minor;
            m_build = build;
            m_revision = revision;
            std::array<char, 64> text{};
            std::snprintf(text.data(), text.size(), " %d.%d.%d.%d", m_major, m_minor, m_build, m_revision);
            m_fileVersion = text.data();
        }
    }
    const std::pair<const char*, std::string*> strings[] = {
        {"Comments", &m_comments},
        {"CompanyName", &m_companyName},
        {"FileDescription", &m_fileDescription},
        {"FileVersion", &m_fileVersionString},
        {"InternalName", &m_internalName},
        {"LegalCopyright", &m_legalCopyright},
        {"LegalTrademarks", &m_legalTrademarks},
        {"OriginalFilename", &m_originalFilename},
        {"ProductName", &m_productName},
        {"ProductVersion", &m_productVersion},
        {"PrivateBuild", &m_privateBuild},
        {"SpecialBuild", &m_specialBuild},
    };
    for (const auto& [key, member] : strings) {
        const char* value = QueryString(key, kLanguageUsEnglish, kCodePageUnicode);
        *member = value != nullptr ? value : "";
    }
    m_fileVersion += " " + m_specialBuild;
    return m_fileVersion;
}
