#pragma once

#include <cstdint>

// Result codes of the WAV file classes, with the multimedia file I/O numbers the system has
// always reported in its messages.
namespace wavefile {

inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kOutOfMemory = 258;    // MMIOERR_OUTOFMEMORY
inline constexpr std::uint32_t kCannotOpen = 259;     // MMIOERR_CANNOTOPEN
inline constexpr std::uint32_t kCannotRead = 261;     // MMIOERR_CANNOTREAD
inline constexpr std::uint32_t kCannotWrite = 262;    // MMIOERR_CANNOTWRITE
inline constexpr std::uint32_t kCannotSeek = 263;     // MMIOERR_CANNOTSEEK
inline constexpr std::uint32_t kChunkNotFound = 265;  // MMIOERR_CHUNKNOTFOUND
inline constexpr std::uint32_t kInvalidFile = 272;    // MMIOERR_INVALIDFILE
// Our own, above the multimedia range: a well-formed file in a format the system cannot use.
inline constexpr std::uint32_t kUnsupportedFormat = 300;

// A short English text for a code, for messages ("not a RIFF/WAVE file").
const char* errorText(std::uint32_t code);

}  // namespace wavefile
