#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// The version block our build embeds in every program of ours: an ELF section of this name
// holding entries "key\0value\0", ended by an empty key. The key "\" holds the fixed file
// version "major.minor.build.revision"; the strings are keyed "\StringFileInfo\<lang><cp>\Name".
inline constexpr const char* kVersionSectionName = ".qpg_version";

// The version block of a file: nullopt for a file that is not an ELF file or has no such
// section; an error for a file that cannot be read.
Result<std::optional<std::vector<std::uint8_t>>> readVersionBlock(const std::string& path);

// The value of a key in a block, or null when the block lacks the key. Points into the block.
const char* findVersionValue(const std::vector<std::uint8_t>& block, const std::string& key);

}  // namespace platform
