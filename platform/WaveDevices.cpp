#include "platform/WaveDevices.h"

namespace platform::wave {

const char* openErrorText(std::uint32_t result) {
    switch (result) {
        case kAllocated:
            return "Specified resource is already allocated.";
        case kBadDeviceId:
            return "Specified device identifier is out of range.";
        case kNoDriver:
            return "No device driver is present.";
        case kNoMemory:
            return "Unable to allocate or lock memory.";
        case kBadFormat:
            return "Attempted to open with an unsupported waveform-audio format.";
        default:
            return "Unknown Error";
    }
}

}  // namespace platform::wave
