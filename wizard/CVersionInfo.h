#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The file version of a program of ours, read from the version block the build embeds in it:
// the four numbers of the fixed file version and the twelve version strings, and the version
// text the About box and the results e-mail show.
class CVersionInfo {
public:
    // The longest path Load takes; a longer one is refused.
    static constexpr std::size_t kMaxPath = 260;

    CVersionInfo();
    virtual ~CVersionInfo();
    CVersionInfo(const CVersionInfo&) = delete;
    CVersionInfo& operator=(const CVersionInfo&) = delete;

    // Reads the file's version block (null: the running program) and builds the version text
    // " major.minor.build.revision SpecialBuild"; returns that text. A file without a block
    // gives an empty text.
    const std::string& Load(const char* path = nullptr);
    // The string of a key for a language and code page (both as four hexadecimal digits in the
    // query path), pointing into the block; null when there is none or it is empty.
    const char* QueryString(const char* key, unsigned language, unsigned codePage) const;
    void Reset();

    std::unique_ptr<std::vector<std::uint8_t>> m_block;
    std::uint32_t m_blockSize = 0;
    int m_major = 0;
    int m_minor = 0;
    int m_build = 0;
    int m_revision = 0;
    std::string m_fileVersion;
    std::string m_filePath;
    std::string m_specialBuild;
    std::string m_privateBuild;
    std::string m_productVersion;
    std::string m_productName;
    std::string m_originalFilename;
    std::string m_legalTrademarks;
    std::string m_legalCopyright;
    std::string m_internalName;
    std::string m_fileVersionString;
    std::string m_fileDescription;
    std::string m_companyName;
    std::string m_comments;
};
