#include "sim/SimAudio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/WaveBlockQueue.h"

namespace sim {

namespace {

constexpr double kFarEndHistorySeconds = 2.0;

std::int16_t toSample(double value) {
    return static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

}  // namespace

// One open simulated device. Its blocks are completed by the clock thread.
class SimAudio::Stream : public platform::IWaveStream {
public:
    Stream(SimAudio& owner, platform::WaveDirection direction, bool unit,
           const platform::WavePcmFormat& format, platform::Event& event)
        : m_owner(owner), m_direction(direction), m_unit(unit), m_format(format), m_queue(event) {}

    ~Stream() override { detachOnce(); }

    std::uint32_t prepare(platform::WaveBlockHeader& block) override {
        return platform::WaveBlockQueue::prepare(block);
    }
    std::uint32_t unprepare(platform::WaveBlockHeader& block) override {
        return platform::WaveBlockQueue::unprepare(block);
    }
    std::uint32_t queue(platform::WaveBlockHeader& block) override {
        if (m_gone) {
            return platform::wave::kNoDriver;
        }
        if (block.bufferLength % m_format.bytesPerFrame() != 0) {
            return platform::wave::kInvalidParam;
        }
        const std::uint32_t result = m_queue.push(block);
        if (result == platform::wave::kNoError) {
            m_queuedBytes += block.bufferLength;
        }
        return result;
    }
    std::uint32_t start() override {
        std::lock_guard lock(m_owner.m_mutex);
        m_started = true;
        return platform::wave::kNoError;
    }
    std::uint32_t stop() override {
        std::lock_guard lock(m_owner.m_mutex);
        if (m_direction == platform::WaveDirection::Input) {
            // The block being filled is returned with what it holds.
            if (m_fill > 0) {
                completeFront(m_fill);
                m_fill = 0;
            }
            m_started = false;
        }
        return platform::wave::kNoError;
    }
    std::uint32_t playOut() override { return platform::wave::kNoError; }  // the clock plays every frame
    std::uint32_t reset() override {
        std::lock_guard lock(m_owner.m_mutex);
        if (auto* front = m_queue.front();
            front != nullptr && m_direction == platform::WaveDirection::Input) {
            front->bytesRecorded.store(m_fill, std::memory_order_relaxed);
        }
        m_queue.completeAll();
        m_queuedBytes = 0;
        m_fill = 0;
        if (m_direction == platform::WaveDirection::Input) {
            m_started = false;
        }
        return platform::wave::kNoError;
    }
    std::uint32_t close() override {
        if (!m_queue.empty()) {
            return platform::wave::kStillPlaying;
        }
        detachOnce();
        return platform::wave::kNoError;
    }

    // Clock side, with the owner's lock held.
    bool isOutput() const { return m_direction == platform::WaveDirection::Output; }
    bool isUnit() const { return m_unit; }
    const platform::WavePcmFormat& format() const { return m_format; }
    bool wantsSound() const { return m_started; }
    // The program has not queued enough to play, or room to record, the whole coming tick.
    bool lagging(double tickSeconds) const {
        const std::int64_t queuedFrames = (m_queuedBytes.load() - m_fill) / m_format.bytesPerFrame();
        return !m_gone && (isOutput() ? m_hadData : m_started) && queuedFrames < framesInTick(tickSeconds);
    }

    // The device went away: every queued block comes back with what it holds.
    void unplug() {
        if (m_gone) {
            return;
        }
        m_gone = true;
        if (auto* front = m_queue.front(); front != nullptr && !isOutput()) {
            front->bytesRecorded.store(m_fill, std::memory_order_relaxed);
        }
        m_queue.completeAll();
        m_queuedBytes = 0;
        m_fill = 0;
        m_started = false;
    }

    // Frames this stream moves in the coming tick.
    std::uint32_t framesInTick(double tickSeconds) const {
        return static_cast<std::uint32_t>(m_frameCredit + m_format.sampleRateHz * tickSeconds);
    }
    std::uint32_t framesForTick(double tickSeconds) {
        m_frameCredit += m_format.sampleRateHz * tickSeconds;
        const auto frames = static_cast<std::uint32_t>(m_frameCredit);
        m_frameCredit -= frames;
        return frames;
    }

    // Output: the next frame mixed to one channel; false when no block is queued.
    bool takeFrame(double& mono) {
        auto* block = m_queue.front();
        m_hadData = block != nullptr;
        if (block == nullptr) {
            return false;
        }
        const std::uint32_t frameBytes = m_format.bytesPerFrame();
        double sum = 0.0;
        for (std::uint16_t c = 0; c < m_format.channels; ++c) {
            std::int16_t value;
            std::memcpy(&value, block->data + m_fill + 2u * c, 2);
            sum += value;
        }
        mono = sum / m_format.channels;
        m_fill += frameBytes;
        if (m_fill >= block->bufferLength) {
            completeFront(0);
            m_fill = 0;
        }
        return true;
    }

    // Output: a block with nothing to play completes at once.
    void completeEmptyBlocks() {
        for (auto* block = m_queue.front(); block != nullptr && block->bufferLength == 0;
             block = m_queue.front()) {
            completeFront(0);
        }
    }

    // Input: stores one frame; dropped when no block is queued (an overrun).
    void putFrame(const std::int16_t* samples) {
        auto* block = m_queue.front();
        if (block == nullptr) {
            return;
        }
        std::memcpy(block->data + m_fill, samples, 2u * m_format.channels);
        m_fill += m_format.bytesPerFrame();
        block->bytesRecorded.store(m_fill, std::memory_order_relaxed);
        if (m_fill >= block->bufferLength) {
            completeFront(m_fill);
            m_fill = 0;
        }
    }

    std::uint64_t m_framesDone = 0;

private:
    void completeFront(std::uint32_t bytesRecorded) {
        if (auto* front = m_queue.front()) {
            m_queuedBytes -= front->bufferLength;
        }
        m_queue.completeFront(bytesRecorded);
    }

    void detachOnce() {
        if (!m_detached) {
            m_detached = true;
            m_owner.detach(this);
        }
    }

    SimAudio& m_owner;
    platform::WaveDirection m_direction;
    bool m_unit;
    platform::WavePcmFormat m_format;
    platform::WaveBlockQueue m_queue;
    bool m_started = false;  // input only: filling blocks
    bool m_hadData = false;  // output: the last frame came from a block
    bool m_detached = false;
    std::atomic<bool> m_gone{false};  // unplugged: queues nothing more
    std::uint32_t m_fill = 0;         // bytes of the front block done
    // Bytes of the queued blocks, the front one whole: added by the program's thread as it
    // queues, taken off by the clock as blocks complete.
    std::atomic<std::int64_t> m_queuedBytes{0};
    double m_frameCredit = 0.0;
};

SimAudio::SimAudio(std::shared_ptr<UnitState> unit, SimAudioConfig config)
    : m_unit(std::move(unit)), m_config(std::move(config)), m_path(m_config.acoustic) {
    if (m_config.speedFactor <= 0.0) {
        m_config.speedFactor = 1.0;
    }
    m_config.tickMs = std::max<std::uint32_t>(m_config.tickMs, 1);
    m_clock = std::thread([this] { clockLoop(); });
}

SimAudio::~SimAudio() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_clock.join();
}

std::vector<platform::WaveDeviceInfo> SimAudio::devices(platform::WaveDirection direction) {
    std::vector<platform::WaveDeviceInfo> devices;
    for (const auto& name :
         direction == platform::WaveDirection::Output ? m_config.outputNames : m_config.inputNames) {
        devices.push_back({name, name});
    }
    return devices;
}

bool SimAudio::unitDevice(platform::WaveDirection direction, int deviceId) const {
    const auto& names =
        direction == platform::WaveDirection::Output ? m_config.outputNames : m_config.inputNames;
    return deviceId >= 0 && static_cast<std::size_t>(deviceId) < names.size() &&
           names[static_cast<std::size_t>(deviceId)].find("Qnlr") != std::string::npos;
}

std::uint32_t SimAudio::open(platform::WaveDirection direction, const platform::WaveDeviceRef& device,
                             const platform::WavePcmFormat& format, platform::Event& callbackEvent,
                             std::unique_ptr<platform::IWaveStream>& stream) {
    const auto names = deviceNames(direction);
    int deviceId = device.id == platform::wave::kDefaultDevice ? 0 : device.id;
    if (!device.key.empty()) {
        const auto found = std::find(names.begin(), names.end(), device.key);
        deviceId = found == names.end() ? -1 : static_cast<int>(found - names.begin());
    }
    if (deviceId < 0 || static_cast<std::size_t>(deviceId) >= names.size()) {
        return platform::wave::kBadDeviceId;
    }
    if (format.bitsPerSample != 16 || format.channels < 1 || format.channels > 2 ||
        format.sampleRateHz < 1000 || format.sampleRateHz > 192000) {
        return platform::wave::kBadFormat;
    }
    const bool unit = unitDevice(direction, deviceId);
    if (unit && m_config.unitOpenResult != platform::wave::kNoError) {
        return m_config.unitOpenResult;
    }
    std::lock_guard lock(m_mutex);
    if (unit) {
        for (const auto* other : m_streams) {
            if (other->isUnit() && other->isOutput() == (direction == platform::WaveDirection::Output)) {
                return platform::wave::kAllocated;
            }
        }
    }
    auto created = std::make_unique<Stream>(*this, direction, unit, format, callbackEvent);
    if (unit && direction == platform::WaveDirection::Output) {
        m_farEndRate = format.sampleRateHz;
        m_farEnd.assign(static_cast<std::size_t>(format.sampleRateHz * kFarEndHistorySeconds), 0.0f);
        m_farEndStartSeconds = m_ticks * (m_config.tickMs / 1000.0);
        m_speakerOpenedTick = m_ticks;
        m_farEndWritten = 0;
    }
    m_streams.push_back(created.get());
    stream = std::move(created);
    m_wake.notify_all();
    return platform::wave::kNoError;
}

void SimAudio::detach(Stream* stream) {
    std::lock_guard lock(m_mutex);
    std::erase(m_streams, stream);
    if (stream->isUnit() && stream->isOutput()) {
        m_farEndRate = 0;
    }
}

double SimAudio::farEndAt(double tSeconds) const {
    if (m_farEndRate == 0) {
        return 0.0;
    }
    const double position = (tSeconds - m_farEndStartSeconds) * m_farEndRate;
    if (position < 0.0) {
        return 0.0;
    }
    // Frames of the clock's ticks sit on whole positions, which the arithmetic may leave a
    // hair below; without the allowance such a frame would repeat the sample before it.
    const auto k = static_cast<std::uint64_t>(position + 1e-6);
    if (k >= m_farEndWritten || m_farEndWritten - k > m_farEnd.size()) {
        return 0.0;
    }
    return m_farEnd[k % m_farEnd.size()];
}

void SimAudio::clockLoop() {
    using Clock = std::chrono::steady_clock;
    const auto tickDuration = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(m_config.tickMs / m_config.speedFactor));
    auto deadline = Clock::now();
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        if (m_streams.empty()) {
            m_wake.wait(lock, [this] { return m_quit || !m_streams.empty(); });
            deadline = Clock::now();
            continue;
        }
        if (m_config.speedFactor > 1.0) {
            // Give a program thread that lags behind the fast clock a moment to catch up, so
            // that no block runs out in the middle of the tick.
            const double tickSeconds = m_config.tickMs / 1000.0;
            for (std::uint32_t waited = 0; waited < m_config.laggingGraceMs; ++waited) {
                const bool lagging =
                    std::any_of(m_streams.begin(), m_streams.end(),
                                [tickSeconds](Stream* s) { return s->isUnit() && s->lagging(tickSeconds); });
                if (!lagging || m_quit) {
                    break;
                }
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
            }
        }
        tick();
        deadline += tickDuration;
        const auto now = Clock::now();
        if (now > deadline + std::chrono::milliseconds(100)) {
            deadline = now;  // far behind: do not rush to catch up
        }
        m_wake.wait_until(lock, deadline, [this] { return m_quit; });
    }
}

void SimAudio::tick() {
    const double tickSeconds = m_config.tickMs / 1000.0;
    const double tickStart = m_ticks * tickSeconds;
    m_path.beginTick(*m_unit, m_config.tickMs);
    if (m_config.unitUnpluggedAfterMs > 0 && m_ticks * m_config.tickMs >= m_config.unitUnpluggedAfterMs) {
        for (auto* stream : m_streams) {
            if (stream->isUnit()) {
                stream->unplug();
            }
        }
    }

    for (auto* stream : m_streams) {
        if (!stream->isOutput()) {
            continue;
        }
        const std::uint32_t frames = stream->framesForTick(tickSeconds);
        if (stream->isUnit() && !m_config.speakerPlays) {
            continue;
        }
        // A stalled speaker plays silence and keeps its blocks.
        const bool stalled = stream->isUnit() &&
                             (m_ticks - m_speakerOpenedTick) * m_config.tickMs < m_config.speakerStartStallMs;
        if (!stalled) {
            stream->completeEmptyBlocks();
        }
        for (std::uint32_t i = 0; i < frames; ++i) {
            double mono = 0.0;
            const bool played = !stalled && stream->takeFrame(mono);
            if (stream->isUnit()) {
                if (played) {
                    ++m_speakerFrames;
                }
                m_farEnd[m_farEndWritten % m_farEnd.size()] = static_cast<float>(played ? mono : 0.0);
                ++m_farEndWritten;
            }
        }
    }

    const auto leftSource = m_unit->routingSource(kRecordLeft).value_or(source::kSend);
    const auto rightSource = m_unit->routingSource(kRecordRight).value_or(source::kFarEnd);
    const double echoDelaySeconds = m_path.echoDelayMs() / 1000.0;
    for (auto* stream : m_streams) {
        if (stream->isOutput() || !stream->wantsSound()) {
            continue;
        }
        const auto& format = stream->format();
        const std::uint32_t frames = stream->framesForTick(tickSeconds);
        if (stream->isUnit() && !m_config.microphoneDelivers) {
            continue;
        }
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = tickStart + static_cast<double>(i) / format.sampleRateHz;
            std::int16_t samples[2];
            if (stream->isUnit()) {
                if (m_config.microphoneFrames > 0 && m_microphoneFrames >= m_config.microphoneFrames) {
                    break;
                }
                ++m_microphoneFrames;
                const auto sound = m_path.sample(farEndAt(t), farEndAt(t - echoDelaySeconds), t);
                samples[0] = toSample(m_path.pick(leftSource, sound));
                samples[1] = toSample(m_path.pick(rightSource, sound));
            } else {
                // The computer's own microphone hears the room, not the unit.
                samples[0] = samples[1] = toSample(m_path.sample(0.0, 0.0, t).microphone);
            }
            stream->putFrame(samples);
        }
    }
    ++m_ticks;
}

}  // namespace sim
