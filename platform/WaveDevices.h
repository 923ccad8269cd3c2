#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Event.h"

namespace platform {

// The wave-device service: plays and records PCM sound through named devices in blocks that
// the caller owns and queues. A backend (PulseAudio, the simulated acoustic path) completes
// queued blocks in order on a thread of its own: it fills or drains a block, sets its
// recorded byte count, sets the done flag and signals the stream's callback event.

// Results, with the numbers the system has always shown for them.
namespace wave {
inline constexpr std::uint32_t kNoError = 0;        // MMSYSERR_NOERROR
inline constexpr std::uint32_t kError = 1;          // MMSYSERR_ERROR
inline constexpr std::uint32_t kBadDeviceId = 2;    // MMSYSERR_BADDEVICEID
inline constexpr std::uint32_t kNotEnabled = 3;     // MMSYSERR_NOTENABLED
inline constexpr std::uint32_t kAllocated = 4;      // MMSYSERR_ALLOCATED
inline constexpr std::uint32_t kInvalidHandle = 5;  // MMSYSERR_INVALHANDLE
inline constexpr std::uint32_t kNoDriver = 6;       // MMSYSERR_NODRIVER
inline constexpr std::uint32_t kNoMemory = 7;       // MMSYSERR_NOMEM
inline constexpr std::uint32_t kInvalidParam = 11;  // MMSYSERR_INVALPARAM
inline constexpr std::uint32_t kBadFormat = 32;     // WAVERR_BADFORMAT
inline constexpr std::uint32_t kStillPlaying = 33;  // WAVERR_STILLPLAYING
inline constexpr std::uint32_t kUnprepared = 34;    // WAVERR_UNPREPARED

// The device id that asks for the system's default device.
inline constexpr int kDefaultDevice = -1;

// Block flags.
inline constexpr std::uint32_t kBlockDone = 0x01;
inline constexpr std::uint32_t kBlockPrepared = 0x02;
inline constexpr std::uint32_t kBlockInQueue = 0x10;

// The text the "Open Recording Device" box shows for an open result.
const char* openErrorText(std::uint32_t result);
}  // namespace wave

enum class WaveDirection { Output, Input };

// The PCM format of a stream (16-bit signed little-endian samples, channels interleaved).
struct WavePcmFormat {
    std::uint16_t channels = 1;
    std::uint32_t sampleRateHz = 11025;
    std::uint16_t bitsPerSample = 16;

    std::uint32_t bytesPerFrame() const { return static_cast<std::uint32_t>(bitsPerSample / 8) * channels; }
};

// One block as the caller and the backend share it. The caller owns the memory and keeps it
// alive while the block is queued. The backend writes bytesRecorded, then sets kBlockDone
// and clears kBlockInQueue with release order; readers test flags with acquire order.
struct WaveBlockHeader {
    std::uint8_t* data = nullptr;
    std::uint32_t bufferLength = 0;  // bytes to play, or room to record
    std::atomic<std::uint32_t> bytesRecorded{0};
    std::atomic<std::uint32_t> flags{0};
    std::uintptr_t userData = 0;

    bool isDone() const { return (flags.load(std::memory_order_acquire) & wave::kBlockDone) != 0; }
    bool isPrepared() const { return (flags.load(std::memory_order_acquire) & wave::kBlockPrepared) != 0; }
    bool isQueued() const { return (flags.load(std::memory_order_acquire) & wave::kBlockInQueue) != 0; }
};

// What a stream lost of its sound since it was opened. Each count is a spoiled run: sound that
// went missing or was replaced by silence.
struct WaveStreamCounters {
    std::uint32_t underflows = 0;      // playing: the device ran dry, and more sound followed
    std::uint32_t overflows = 0;       // recording: times recorded sound found no room and was dropped
    std::uint32_t holes = 0;           // recording: gaps the server left in the sound (recorded as silence)
    std::uint64_t discardedBytes = 0;  // recording: bytes dropped, in the caller's format

    bool any() const { return underflows != 0 || overflows != 0 || holes != 0 || discardedBytes != 0; }
    WaveStreamCounters& operator+=(const WaveStreamCounters& other) {
        underflows += other.underflows;
        overflows += other.overflows;
        holes += other.holes;
        discardedBytes += other.discardedBytes;
        return *this;
    }
};

// One open device. Every call returns a wave:: result. Calls come from the one thread that
// owns the stream; completion comes from the backend's thread.
class IWaveStream {
public:
    virtual ~IWaveStream() = default;

    // Marks a block usable with this stream.
    virtual std::uint32_t prepare(WaveBlockHeader& block) = 0;
    // Fails with kStillPlaying while the block is queued.
    virtual std::uint32_t unprepare(WaveBlockHeader& block) = 0;
    // Appends a prepared block: output plays it after those queued before; input fills it.
    // Clears its done flag.
    virtual std::uint32_t queue(WaveBlockHeader& block) = 0;
    // Input only: starts or pauses filling blocks (output starts with its first block).
    virtual std::uint32_t start() = 0;
    virtual std::uint32_t stop() = 0;
    // Stops at once and returns every queued block done (recorded bytes kept for input).
    virtual std::uint32_t reset() = 0;
    // Output only: no block follows for now, so the device plays all that is queued, also the
    // end of the sound that a server playing whole periods only would keep back until more
    // came. Without it such a server may never finish the last block.
    virtual std::uint32_t playOut() = 0;
    // Closes the device; fails with kStillPlaying while blocks are queued.
    virtual std::uint32_t close() = 0;
    // What the stream has lost so far; a backend that cannot lose sound reports none.
    virtual WaveStreamCounters counters() const { return {}; }
};

// One device of a direction: the backend's own lasting identity of it and its product name.
struct WaveDeviceInfo {
    std::string key;
    std::string name;
};

// Which device to open: its id (its position in the list, or kDefaultDevice) and, when the
// caller chose it from a list, the key of the device it chose. With a key the device is found
// by the key wherever it now is, and a key that no device has any more is kBadDeviceId: a list
// that changed between the choice and the open never opens another device.
struct WaveDeviceRef {
    WaveDeviceRef(int id, std::string key = {}) : id(id), key(std::move(key)) {}  // NOLINT: ids convert
    int id;
    std::string key;
};

class IWaveDevices {
public:
    virtual ~IWaveDevices() = default;

    // The devices of a direction; a device's id is its position.
    virtual std::vector<WaveDeviceInfo> devices(WaveDirection direction) = 0;

    // The product names of devices(direction), in the same order.
    std::vector<std::string> deviceNames(WaveDirection direction) {
        std::vector<std::string> names;
        for (auto& device : devices(direction)) {
            names.push_back(std::move(device.name));
        }
        return names;
    }

    // Opens a device. The event is signalled each time a block completes; it must outlive the
    // stream.
    virtual std::uint32_t open(WaveDirection direction, const WaveDeviceRef& device,
                               const WavePcmFormat& format, Event& callbackEvent,
                               std::unique_ptr<IWaveStream>& stream) = 0;
};

}  // namespace platform
