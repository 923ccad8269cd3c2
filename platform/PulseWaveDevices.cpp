#include "platform/PulseWaveDevices.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

#include "platform/PulseDeviceList.h"
#include "platform/PulseStreamLoss.h"
#include "platform/System.h"
#include "platform/WaveBlockQueue.h"

namespace platform {
namespace {

constexpr pa_usec_t kPlayCheckUsec = 10 * PA_USEC_PER_MSEC;  // how often played sound is looked for

EndpointFlow flowOf(WaveDirection direction) {
    return direction == WaveDirection::Output ? EndpointFlow::Render : EndpointFlow::Capture;
}

// Requests that need no answer: the server handles a stream's requests in order.
void unrefRequest(pa_operation* operation) {
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

// The layout a recording stream takes from its source. The server's own down-mix depends on
// the server (PulseAudio averages the channels, PipeWire adds them at 0.707 each, 3 dB
// louder), so a source whose channels are to become one is recorded in its own layout and
// averaged here, and a one-channel source that is to fill two is copied here: the levels
// recorded are then the same on every server. Other layouts are left to the server.
bool recordsInSourceLayout(std::uint8_t wanted, const pa_channel_map& source) {
    if (!pa_channel_map_valid(&source)) {
        return false;
    }
    return source.channels == wanted || (wanted == 1 && source.channels > 1) ||
           (wanted == 2 && source.channels == 1);
}

// Converts frames of sourceChannels 16-bit samples into frames of channels (1 or 2) samples, as
// recordsInSourceLayout allows: the average of all channels (truncated toward zero, as the
// server's own stereo-to-mono does), or a copy of the one channel.
void convertLayout(const std::int16_t* in, std::size_t frames, unsigned sourceChannels, unsigned channels,
                   std::int16_t* out) {
    for (std::size_t frame = 0; frame < frames; ++frame, in += sourceChannels) {
        if (channels == 1) {
            std::int32_t sum = 0;
            for (unsigned c = 0; c < sourceChannels; ++c) {
                sum += in[c];
            }
            *out++ = static_cast<std::int16_t>(sum / static_cast<std::int32_t>(sourceChannels));
        } else {
            for (unsigned c = 0; c < channels; ++c) {
                *out++ = in[c % sourceChannels];
            }
        }
    }
}

// One open device: a playback or record stream on its direction's connection and the blocks queued
// on it. The owner thread calls in holding the mainloop lock; the stream's callbacks run on the
// mainloop thread with the lock held, so the fields below are guarded by that lock.
class PulseWaveStream final : public IWaveStream {
public:
    // spec and map: the stream's layout on the server; channels: the caller's (a recording
    // stream converts between the two).
    PulseWaveStream(std::shared_ptr<PulseContext> pulse, WaveDirection direction, const pa_sample_spec& spec,
                    const pa_channel_map* map, std::uint8_t channels, bool keepsBackTheEnd,
                    Event& callbackEvent)
        : m_pulse(std::move(pulse)),
          m_output(direction == WaveDirection::Output),
          m_spec(spec),
          m_map(map ? std::optional<pa_channel_map>(*map) : std::nullopt),
          m_channels(channels),
          m_keepsBackTheEnd(keepsBackTheEnd),
          m_frameBytes(static_cast<std::uint32_t>(pa_frame_size(&spec))),
          m_blocks(callbackEvent) {}

    ~PulseWaveStream() override {
        PulseLock lock(m_pulse->mainloop());
        // Nothing may stay with a device that goes away.
        abandonBlocks();
        disconnect();
    }

    // Sets the stream up on a device (null: the default one); a wave:: result.
    std::uint32_t connect(const char* device, const PulseWaveDevices::Config& config);

    std::uint32_t prepare(WaveBlockHeader& block) override { return WaveBlockQueue::prepare(block); }
    std::uint32_t unprepare(WaveBlockHeader& block) override { return WaveBlockQueue::unprepare(block); }
    std::uint32_t queue(WaveBlockHeader& block) override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t reset() override;
    std::uint32_t playOut() override;
    std::uint32_t close() override;
    WaveStreamCounters counters() const override;

private:
    struct PendingWrite {
        WaveBlockHeader* block;
        std::uint32_t length;  // whole frames of the block
        std::uint32_t offset;  // bytes already given to the server
    };

    static void onState(pa_stream* stream, void* userdata);
    static void onMoved(pa_stream* stream, void* userdata);
    static void onSuspended(pa_stream* stream, void* userdata);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* userdata);
    static void onRead(pa_stream* stream, std::size_t bytes, void* userdata);
    static void onTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv, void* userdata);
    static void onTiming(pa_stream* stream, int success, void* userdata);
    static void onUnderflow(pa_stream* stream, void* userdata);
    static void onOverflow(pa_stream* stream, void* userdata);

    void feed(std::size_t writable);
    void drainWhenAllWritten();
    void readAll();
    void record(const std::uint8_t* data, std::size_t bytes);
    void deliver(const std::uint8_t* data, std::size_t bytes);
    std::size_t fillBlocks(const std::uint8_t* data, std::size_t bytes);
    void hold(const std::uint8_t* data, std::size_t bytes);
    void releaseHeld();
    void completePartWhenStopped();
    void completePlayed();
    void cork(bool corked);
    void abandonBlocks();
    void fail(const char* why);
    void disconnect();

    std::shared_ptr<PulseContext> m_pulse;
    const bool m_output;
    const pa_sample_spec m_spec;
    const std::optional<pa_channel_map> m_map;
    const std::uint8_t m_channels;
    // The server plays whole periods only and keeps back the end of the sound (PipeWire's).
    const bool m_keepsBackTheEnd;
    const std::uint32_t m_frameBytes;
    std::vector<std::int16_t> m_converted;  // a recorded fragment in the caller's layout
    WaveBlockQueue m_blocks;
    PulseStreamPtr m_stream;
    PulseCall m_ready;
    bool m_connected = false;
    bool m_failed = false;
    bool m_recording = false;
    WaveStreamCounters m_counters;

    // Recording: sound that came while no block was queued, in the caller's layout, oldest
    // first, at most m_holdLimit bytes (the stream's buffer on the server).
    std::vector<std::uint8_t> m_held;
    std::size_t m_holdLimit = 0;
    bool m_overflowing = false;  // the held sound is at its limit: one overflow, however long

    // Playing: blocks not yet wholly written, and the written blocks still queued with where
    // their sound ends in the stream (bytes written since open) and, once the sink has taken it,
    // when it will have been played.
    struct WrittenBlock {
        std::int64_t end;
        pa_usec_t playedBy;  // 0 until the sink has taken the block
    };
    std::deque<PendingWrite> m_toWrite;
    std::deque<WrittenBlock> m_playedAt;
    std::int64_t m_written = 0;
    pa_time_event* m_timer = nullptr;
    PulseOperationPtr m_timingUpdate;
    PulseOperationPtr m_drain;
    bool m_playOut = false;    // asked to play out: drain once all is written
    bool m_playedOut = false;  // playOut was the last word: running dry after it is no loss
    bool m_ranDry = false;     // the server ran out of all that was written; a loss once more follows
};

std::uint32_t PulseWaveStream::connect(const char* device, const PulseWaveDevices::Config& config) {
    {
        PulseLock lock(m_pulse->mainloop());
        pa_context* context = m_pulse->context();
        if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) {
            return wave::kNoDriver;
        }
        m_stream.reset(
            pa_stream_new(context, m_output ? "Playing" : "Recording", &m_spec, m_map ? &*m_map : nullptr));
        if (!m_stream) {
            return wave::kBadFormat;
        }
        pa_stream_set_state_callback(m_stream.get(), onState, this);
        pa_stream_set_moved_callback(m_stream.get(), onMoved, this);
        pa_stream_set_suspended_callback(m_stream.get(), onSuspended, this);
        // The stream stays on the device chosen: a server that would move it elsewhere when the
        // device goes (to its default, the machine's own speaker or microphone) ends it instead.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        pa_buffer_attr attr;
        attr.maxlength = m_output || config.recordBufferMs == 0
                             ? static_cast<std::uint32_t>(-1)
                             : static_cast<std::uint32_t>(
                                   pa_usec_to_bytes(config.recordBufferMs * PA_USEC_PER_MSEC, &m_spec));
        attr.minreq = static_cast<std::uint32_t>(-1);
        int result = 0;
        if (m_output) {
            attr.tlength =
                static_cast<std::uint32_t>(pa_usec_to_bytes(config.playBufferMs * PA_USEC_PER_MSEC, &m_spec));
            // Play from the first frame on, and again as soon as sound follows a gap.
            attr.prebuf = m_frameBytes;
            attr.fragsize = static_cast<std::uint32_t>(-1);
            pa_cvolume full;
            pa_cvolume_reset(&full, m_spec.channels);
            pa_stream_set_write_callback(m_stream.get(), onWrite, this);
            pa_stream_set_underflow_callback(m_stream.get(), onUnderflow, this);
            pa_stream_set_overflow_callback(m_stream.get(), onOverflow, this);
            result = pa_stream_connect_playback(m_stream.get(), device, &attr, flags, &full, nullptr);
        } else {
            attr.tlength = attr.prebuf = static_cast<std::uint32_t>(-1);
            attr.fragsize = static_cast<std::uint32_t>(
                pa_usec_to_bytes(config.recordFragmentMs * PA_USEC_PER_MSEC, &m_spec));
            pa_stream_set_read_callback(m_stream.get(), onRead, this);
            result = pa_stream_connect_record(m_stream.get(), device, &attr,
                                              static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED));
        }
        if (result < 0) {
            m_stream.reset();
            return wave::kError;
        }
    }
    const bool settled = m_ready.waitFor(config.openTimeoutMs);
    PulseLock lock(m_pulse->mainloop());
    if (!settled || !m_ready.ok()) {
        const bool noDevice = settled && m_pulse->context() != nullptr &&
                              pa_context_errno(m_pulse->context()) == PA_ERR_NOENTITY;
        m_stream.reset();
        return noDevice ? wave::kBadDeviceId : wave::kError;
    }
    m_connected = true;
    if (!m_output) {
        // Late blocks may take as much sound as the server would keep for us.
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(m_stream.get());
        const std::size_t serverBytes =
            granted != nullptr && granted->maxlength != static_cast<std::uint32_t>(-1)
                ? granted->maxlength
                : pa_usec_to_bytes(4 * PA_USEC_PER_SEC, &m_spec);
        m_holdLimit = serverBytes / m_frameBytes * m_channels * sizeof(std::int16_t);
    }
    if (m_output) {
        m_timer = pa_context_rttime_new(pa_stream_get_context(m_stream.get()),
                                        pa_rtclock_now() + kPlayCheckUsec, onTick, this);
    }
    return wave::kNoError;
}

void PulseWaveStream::onState(pa_stream* stream, void* userdata) {
    auto& self = *static_cast<PulseWaveStream*>(userdata);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            self.m_ready.finish(true);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            self.m_ready.finish(false, pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
            if (self.m_connected) {
                self.fail("the device or the server went away");
            }
            break;
        default:
            break;
    }
}

// Sound on another device is no sound of the unit's (a server may move a stream that asked not
// to be moved all the same).
void PulseWaveStream::onMoved(pa_stream*, void* userdata) {
    auto& self = *static_cast<PulseWaveStream*>(userdata);
    if (self.m_connected && !self.m_failed) {
        self.fail("the server moved it to another device");
        self.cork(true);
    }
}

// A device suspended while the stream uses it plays or records nothing more. A recording
// stream's device may rest while the stream is paused, and comes back when it starts.
void PulseWaveStream::onSuspended(pa_stream* stream, void* userdata) {
    auto& self = *static_cast<PulseWaveStream*>(userdata);
    if (pa_stream_is_suspended(stream) == 1 && self.m_connected && !self.m_failed &&
        (self.m_output || self.m_recording)) {
        self.fail("its device was suspended");
        self.cork(true);
    }
}

std::uint32_t PulseWaveStream::queue(WaveBlockHeader& block) {
    PulseLock lock(m_pulse->mainloop());
    if (!m_stream || m_failed) {
        return wave::kNoDriver;
    }
    const std::uint32_t result = m_blocks.push(block);
    if (result != wave::kNoError) {
        return result;
    }
    if (!m_output) {
        releaseHeld();
        return result;
    }
    m_playedOut = false;
    if (m_drain && pa_operation_get_state(m_drain.get()) == PA_OPERATION_DONE) {
        // The stream has played out. PipeWire's server leaves sound that follows a finished
        // drain unplayed; a flush of the played-out stream makes it play again.
        m_drain.reset();
        unrefRequest(pa_stream_flush(m_stream.get(), nullptr, nullptr));
    }
    // A trailing part of a frame cannot be played.
    m_toWrite.push_back({&block, block.bufferLength - block.bufferLength % m_frameBytes, 0});
    const std::size_t writable = pa_stream_writable_size(m_stream.get());
    if (writable != static_cast<std::size_t>(-1)) {
        feed(writable);
    }
    return wave::kNoError;
}

void PulseWaveStream::onWrite(pa_stream*, std::size_t bytes, void* userdata) {
    static_cast<PulseWaveStream*>(userdata)->feed(bytes);
}

void PulseWaveStream::feed(std::size_t writable) {
    while (!m_toWrite.empty()) {
        auto& pending = m_toWrite.front();
        std::size_t chunk = std::min<std::size_t>(pending.length - pending.offset, writable);
        chunk -= chunk % m_frameBytes;
        if (chunk > 0) {
            // libpulse copies the sound, so the block is free again once it is done.
            if (pa_stream_write(m_stream.get(), pending.block->data + pending.offset, chunk, nullptr, 0,
                                PA_SEEK_RELATIVE) < 0) {
                return;
            }
            if (m_ranDry) {
                m_ranDry = false;
                ++m_counters.underflows;  // the sound played has a gap here
            }
            pending.offset += static_cast<std::uint32_t>(chunk);
            m_written += static_cast<std::int64_t>(chunk);
            writable -= chunk;
        }
        if (pending.offset < pending.length) {
            return;
        }
        m_playedAt.push_back({m_written, 0});
        m_toWrite.pop_front();
    }
    if (m_playOut) {
        drainWhenAllWritten();
    }
}

// Once every queued block is written after playOut, have a server that keeps back the end of
// the sound (PipeWire's plays whole periods only) play all it holds. Only then: such a server
// pads what it has with silence on a drain, a gap in any sound that follows. PulseAudio's
// server plays from the first frame on (see the prebuffer) and needs none.
void PulseWaveStream::drainWhenAllWritten() {
    if (!m_toWrite.empty()) {
        return;
    }
    m_playOut = false;
    if (m_keepsBackTheEnd && !m_playedAt.empty() && !m_drain) {
        m_drain.reset(pa_stream_drain(m_stream.get(), nullptr, nullptr));
    }
}

std::uint32_t PulseWaveStream::playOut() {
    PulseLock lock(m_pulse->mainloop());
    if (!m_stream || m_failed) {
        return wave::kNoDriver;
    }
    if (m_output) {
        m_playOut = true;
        m_playedOut = true;
        drainWhenAllWritten();
    }
    return wave::kNoError;
}

// Where in the stream the server ran dry tells a gap from an end (dryRunLoss).
void PulseWaveStream::onUnderflow(pa_stream* stream, void* userdata) {
    auto& self = *static_cast<PulseWaveStream*>(userdata);
    const DryRunLoss loss =
        dryRunLoss(pa_stream_get_underflow_index(stream), self.m_written, self.m_playedOut);
    self.m_counters += loss.lost;
    self.m_ranDry = self.m_ranDry || loss.gapIfMoreFollows;
}

void PulseWaveStream::onOverflow(pa_stream*, void* userdata) {
    ++static_cast<PulseWaveStream*>(userdata)->m_counters.overflows;
}

WaveStreamCounters PulseWaveStream::counters() const {
    PulseLock lock(m_pulse->mainloop());
    return m_counters;
}

void PulseWaveStream::onTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* userdata) {
    auto& self = *static_cast<PulseWaveStream*>(userdata);
    if (pa_stream_get_state(self.m_stream.get()) != PA_STREAM_READY) {
        return;  // a failed stream has given its blocks back and needs no more checks
    }
    if (self.m_timingUpdate && pa_operation_get_state(self.m_timingUpdate.get()) != PA_OPERATION_RUNNING) {
        self.m_timingUpdate.reset();
    }
    if (!self.m_playedAt.empty() && !self.m_timingUpdate) {
        self.m_timingUpdate.reset(pa_stream_update_timing_info(self.m_stream.get(), onTiming, &self));
    }
    if (!self.m_playedAt.empty()) {
        self.completePlayed();
    }
    pa_context_rttime_restart(pa_stream_get_context(self.m_stream.get()), event,
                              pa_rtclock_now() + kPlayCheckUsec);
}

void PulseWaveStream::onTiming(pa_stream*, int success, void* userdata) {
    if (success) {
        static_cast<PulseWaveStream*>(userdata)->completePlayed();
    }
}

void PulseWaveStream::completePlayed() {
    const pa_usec_t now = pa_rtclock_now();
    const pa_timing_info* timing = pa_stream_get_timing_info(m_stream.get());
    if (timing != nullptr && !timing->read_index_corrupt && !timing->write_index_corrupt) {
        // What the sink has taken from the stream: all that was written but what the stream's
        // buffer still holds. The sink plays it within its latency.
        const std::int64_t held = std::max<std::int64_t>(timing->write_index - timing->read_index, 0);
        const std::int64_t taken = m_written - held;
        for (auto& block : m_playedAt) {
            if (block.end > taken) {
                break;
            }
            if (block.playedBy == 0) {
                block.playedBy = now + timing->sink_usec;
            }
        }
    }
    while (!m_playedAt.empty() && m_playedAt.front().playedBy != 0 && m_playedAt.front().playedBy <= now) {
        m_playedAt.pop_front();
        m_blocks.completeFront(0);
    }
}

void PulseWaveStream::onRead(pa_stream*, std::size_t, void* userdata) {
    static_cast<PulseWaveStream*>(userdata)->readAll();
}

// Takes all the sound the connection has brought in. None is left in libpulse's own queue,
// which would drop what no longer fits without a word.
void PulseWaveStream::readAll() {
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(m_stream.get(), &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        if (m_recording) {
            m_counters += peekedLoss(data, bytes);
            record(static_cast<const std::uint8_t*>(data), bytes);
        }
        pa_stream_drop(m_stream.get());
    }
}

void PulseWaveStream::record(const std::uint8_t* data, std::size_t bytes) {
    if (m_spec.channels == m_channels) {
        deliver(data, bytes);
        return;
    }
    const std::size_t frames = bytes / m_frameBytes;
    m_converted.assign(frames * m_channels, 0);
    if (data != nullptr) {
        std::vector<std::int16_t> in(frames * m_spec.channels);
        std::memcpy(in.data(), data, in.size() * sizeof(std::int16_t));
        convertLayout(in.data(), frames, m_spec.channels, m_channels, m_converted.data());
    }
    deliver(reinterpret_cast<const std::uint8_t*>(m_converted.data()),
            m_converted.size() * sizeof(std::int16_t));
}

// Recorded sound goes into the queued blocks in order; what finds no block waits for one.
void PulseWaveStream::deliver(const std::uint8_t* data, std::size_t bytes) {
    if (m_held.empty()) {
        const std::size_t used = fillBlocks(data, bytes);
        bytes -= used;
        if (data != nullptr) {
            data += used;
        }
    }
    if (bytes > 0) {
        hold(data, bytes);
    }
}

void PulseWaveStream::hold(const std::uint8_t* data, std::size_t bytes) {
    const std::size_t room = m_holdLimit > m_held.size() ? m_holdLimit - m_held.size() : 0;
    const std::size_t kept = std::min(room, bytes);
    if (data != nullptr) {
        m_held.insert(m_held.end(), data, data + kept);
    } else {
        m_held.resize(m_held.size() + kept, 0);
    }
    if (kept < bytes) {
        // The blocks have stayed away longer than the server would have kept the sound.
        m_counters.discardedBytes += bytes - kept;
        if (!m_overflowing) {
            ++m_counters.overflows;
            m_overflowing = true;
        }
    }
}

// A block came back: the sound waiting for it goes in first.
void PulseWaveStream::releaseHeld() {
    if (!m_held.empty()) {
        const std::size_t used = fillBlocks(m_held.data(), m_held.size());
        m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(used));
        m_overflowing = m_overflowing && m_held.size() >= m_holdLimit;
    }
    completePartWhenStopped();
}

// Once recording has stopped no more sound comes: the block being filled is done with what it
// holds; empty ones stay queued.
void PulseWaveStream::completePartWhenStopped() {
    if (m_recording || !m_held.empty()) {
        return;
    }
    WaveBlockHeader* block = m_blocks.front();
    if (block != nullptr && block->bytesRecorded.load(std::memory_order_relaxed) > 0) {
        m_blocks.completeFront(block->bytesRecorded.load(std::memory_order_relaxed));
    }
}

// Fills the queued blocks in order (null data: silence); the bytes taken.
std::size_t PulseWaveStream::fillBlocks(const std::uint8_t* data, std::size_t bytes) {
    const std::size_t total = bytes;
    while (bytes > 0) {
        WaveBlockHeader* block = m_blocks.front();
        if (block == nullptr) {
            break;
        }
        const std::uint32_t filled = block->bytesRecorded.load(std::memory_order_relaxed);
        const std::size_t chunk = std::min<std::size_t>(block->bufferLength - filled, bytes);
        if (chunk > 0 && data != nullptr) {
            std::memcpy(block->data + filled, data, chunk);
            data += chunk;
        } else if (chunk > 0) {
            std::memset(block->data + filled, 0, chunk);
        }
        bytes -= chunk;
        const auto now = static_cast<std::uint32_t>(filled + chunk);
        block->bytesRecorded.store(now, std::memory_order_relaxed);
        if (now == block->bufferLength) {
            m_blocks.completeFront(now);
        }
    }
    return total - bytes;
}

void PulseWaveStream::cork(bool corked) {
    unrefRequest(pa_stream_cork(m_stream.get(), corked ? 1 : 0, nullptr, nullptr));
}

std::uint32_t PulseWaveStream::start() {
    PulseLock lock(m_pulse->mainloop());
    if (!m_stream || m_failed) {
        return wave::kNoDriver;
    }
    if (!m_output && !m_recording) {
        m_recording = true;
        cork(false);
    }
    return wave::kNoError;
}

std::uint32_t PulseWaveStream::stop() {
    PulseLock lock(m_pulse->mainloop());
    if (!m_stream || m_failed) {
        return wave::kNoDriver;
    }
    if (!m_output && m_recording) {
        readAll();  // what the connection has brought in was recorded before the stop
        m_recording = false;
        cork(true);
        releaseHeld();
    }
    return wave::kNoError;
}

std::uint32_t PulseWaveStream::reset() {
    PulseLock lock(m_pulse->mainloop());
    if (!m_stream) {
        return wave::kInvalidHandle;
    }
    if (m_output) {
        if (!m_failed) {
            unrefRequest(pa_stream_flush(m_stream.get(), nullptr, nullptr));
        }
    } else if (m_recording) {
        m_recording = false;
        cork(true);
    }
    m_held.clear();
    m_overflowing = false;
    abandonBlocks();
    return wave::kNoError;
}

std::uint32_t PulseWaveStream::close() {
    PulseLock lock(m_pulse->mainloop());
    if (!m_blocks.empty()) {
        return wave::kStillPlaying;
    }
    disconnect();
    return wave::kNoError;
}

void PulseWaveStream::abandonBlocks() {
    m_drain.reset();
    m_playOut = false;
    m_toWrite.clear();
    m_playedAt.clear();
    m_blocks.completeAll();
}

// The stream can no longer play or record on its device: every block goes back, and every
// later request fails as for a device that is gone.
void PulseWaveStream::fail(const char* why) {
    debugOutput(std::string(m_output ? "Playing" : "Recording") + " stream: " + why + "\n");
    m_failed = true;
    abandonBlocks();
}

void PulseWaveStream::disconnect() {
    if (m_timer != nullptr) {
        pa_threaded_mainloop_get_api(m_pulse->mainloop())->time_free(m_timer);
        m_timer = nullptr;
    }
    m_timingUpdate.reset();
    m_drain.reset();
    m_stream.reset();
}

PulseContext::Config streamConnection(PulseContext::Config config) {
    config.raisedPriority = true;
    return config;
}

}  // namespace

PulseWaveDevices::PulseWaveDevices(Config config)
    : m_config(std::move(config)),
      m_pulse(std::make_shared<PulseContext>(m_config.connection)),
      m_playing(std::make_shared<PulseContext>(streamConnection(m_config.connection))),
      m_recording(std::make_shared<PulseContext>(streamConnection(m_config.connection))) {}

std::vector<WaveDeviceInfo> PulseWaveDevices::devices(WaveDirection direction) {
    std::vector<WaveDeviceInfo> list;
    auto devices = listPulseDevices(*m_pulse, flowOf(direction));
    if (devices) {
        for (const auto& device : devices.value()) {
            list.push_back({device.name, device.description});
        }
    }
    return list;
}

std::uint32_t PulseWaveDevices::open(WaveDirection direction, const WaveDeviceRef& device,
                                     const WavePcmFormat& format, Event& callbackEvent,
                                     std::unique_ptr<IWaveStream>& stream) {
    const pa_sample_spec spec{PA_SAMPLE_S16LE, format.sampleRateHz,
                              static_cast<std::uint8_t>(format.channels)};
    if (format.bitsPerSample != 16 || format.channels == 0 || format.channels > PA_CHANNELS_MAX ||
        !pa_sample_spec_valid(&spec)) {
        return wave::kBadFormat;
    }
    auto devices = listPulseDevices(*m_pulse, flowOf(direction));
    if (!devices) {
        return wave::kNoDriver;  // no server: no devices
    }
    const auto& list = devices.value();
    auto server = pulseServerInfo(*m_pulse);
    if (!server) {
        return wave::kNoDriver;
    }
    std::string key = device.key;
    if (key.empty() && device.id == wave::kDefaultDevice) {
        key = direction == WaveDirection::Output ? server.value().defaultSink : server.value().defaultSource;
    } else if (key.empty()) {
        if (device.id < 0 || device.id >= static_cast<int>(list.size())) {
            return wave::kBadDeviceId;
        }
        key = list[static_cast<std::size_t>(device.id)].name;
    }
    const auto chosen =
        std::find_if(list.begin(), list.end(), [&](const PulseDevice& entry) { return entry.name == key; });
    if (chosen == list.end()) {
        return wave::kBadDeviceId;  // gone since it was chosen
    }
    pa_sample_spec streamSpec = spec;
    const pa_channel_map* map = nullptr;
    if (direction == WaveDirection::Input && recordsInSourceLayout(spec.channels, chosen->channelMap)) {
        streamSpec.channels = chosen->channelMap.channels;
        map = &chosen->channelMap;
    }
    auto& connection = direction == WaveDirection::Output ? m_playing : m_recording;
    if (!connection->ensureConnected()) {
        return wave::kNoDriver;
    }
    auto opened = std::make_unique<PulseWaveStream>(connection, direction, streamSpec, map, spec.channels,
                                                    server.value().isPipeWire(), callbackEvent);
    const std::uint32_t result = opened->connect(key.c_str(), m_config);
    if (result == wave::kNoError) {
        stream = std::move(opened);
    }
    return result;
}

}  // namespace platform
