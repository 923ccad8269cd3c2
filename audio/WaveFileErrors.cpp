#include "audio/WaveFileErrors.h"

namespace wavefile {

const char* errorText(std::uint32_t code) {
    switch (code) {
        case kNoError:
            return "no error";
        case kOutOfMemory:
            return "out of memory";
        case kCannotOpen:
            return "the file cannot be opened";
        case kCannotRead:
            return "the file is cut short or cannot be read";
        case kCannotWrite:
            return "the file cannot be written";
        case kCannotSeek:
            return "the file cannot be positioned";
        case kChunkNotFound:
            return "a format or data chunk is missing";
        case kInvalidFile:
            return "not a valid RIFF/WAVE file";
        case kUnsupportedFormat:
            return "not 16-bit PCM sound of one or two channels at a usable rate";
        default:
            return "unknown error";
    }
}

}  // namespace wavefile
