// The two worker threads of a CWizardAudio run.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/CWaveInDevice.h"
#include "audio/CWaveOutDevice.h"
#include "audio/CWizardAudio.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

namespace {

constexpr int kSpeakerBlocks = 4;
constexpr int kMicBlocks = 6;
constexpr std::uint32_t kMicWaitMs = 1000;
constexpr int kMicTimeoutsAllowed = 3;
// Longest single wait for a playing block; a block's completion or Stop ends it sooner.
constexpr std::uint32_t kPollSliceMs = 100;

// Beyond the sound queued, how long a playing device may hold its blocks before it counts as
// stuck. A sound server can take about 2 s to wake its output for a new stream; a limit close
// to that would end good runs early.
constexpr std::uint32_t kPlayingStallAllowanceMs = 5000;

// How long a block may stay with the playing device before it counts as stuck: the whole ring
// ahead of it, plus the allowance.
std::uint32_t playingBlockLimitMs(std::uint32_t blockBytes, const CWaveFormat& format) {
    const std::uint32_t bytesPerSecond = std::max<std::uint32_t>(format.avgBytesPerSec, 1);
    const std::uint64_t blockMs = 1000ull * blockBytes / bytesPerSecond;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kSpeakerBlocks * blockMs + kPlayingStallAllowanceMs, 60000));
}

// Waits until the block is done, woken by each finished block and by stop, giving up when the
// run ends or the limit passes.
bool waitPlayed(CWaveOutDevice& device, const CWaveBuffer* block, std::uint32_t limitMs,
                const std::atomic<int>& running, platform::Event& stop) {
    const auto start = platform::tickCountMs();
    while (running != 0) {
        if (block->IsDone()) {
            return true;
        }
        const auto waited = platform::tickCountMs() - start;
        if (waited >= limitMs) {
            return false;
        }
        device.WaitEvent(std::min<std::uint32_t>(limitMs - static_cast<std::uint32_t>(waited), kPollSliceMs),
                         stop);
    }
    return block->IsDone();
}

// Takes a block back from the playing device, trying every 1 ms while it still plays.
bool reclaim(CWaveOutDevice& device, CWaveBuffer* block, std::uint32_t limitMs,
             const std::atomic<int>& running) {
    const auto start = platform::tickCountMs();
    while (device.UnprepareHeader(block) == 0) {
        if (running == 0 || platform::tickCountMs() - start >= limitMs) {
            return false;
        }
        platform::sleepMs(1);
    }
    return true;
}

void showError(const char* caption, const std::string& text) {
    platform::showMessageBox(caption, text, platform::mb::kIconError);
}

}  // namespace

int CWizardAudio::SpeakerThread(CWizardAudio* engine) {
    const CWaveFormat& fileFormat = *engine->m_playReader.m_pFormat;
    const CWaveFormat format(fileFormat.channels, fileFormat.samplesPerSec, fileFormat.bitsPerSample);
    const std::uint32_t blockBytes = BlockBytesForRate(format.samplesPerSec);
    const std::uint32_t limitMs = playingBlockLimitMs(blockBytes, format);

    CWaveOutDevice device(engine->m_devices);
    device.SetBufferCount(kSpeakerBlocks);
    device.SetFormat(format, static_cast<int>(blockBytes));
    device.m_deviceId = engine->m_waveOutId;
    device.m_deviceKey = engine->m_waveOutKey;
    if (device.Open(&format) == 0) {
        engine->post(WM_AUDIO_DONE, 0, 0);
        showError("SpeakerThread", "Unable to open USB device for playing\nStopping test");
        return SPEAKER_EXIT_OPEN_FAILED;
    }
    device.ResetEvent();

    std::vector<std::uint8_t> readBuffer(kLastBlockBytes);
    int index = 0;
    bool endReached = false;
    bool playedWhole = true;
    CWaveBuffer* lastWritten = nullptr;
    // The device stopped taking or playing the sound: the run ends as a fault, which the
    // run's measurements must not take for a run that played its file.
    const std::string soundDevice = "The sound device " + engine->m_waveOutName;
    const auto giveUp = [&](const std::string& fault) {
        platform::debugOutput("SpeakerThread: " + fault + "\n");
        playedWhole = false;
        engine->SetRecordingFault(fault);
        engine->post(WM_AUDIO_DONE, 0, 0);
        endReached = true;
    };
    while (engine->m_speakerRunning != 0) {
        if (endReached) {
            engine->m_stopEvent.wait(100);
            continue;
        }
        const std::uint32_t got = engine->m_playReader.Read(readBuffer.data(), blockBytes);
        if (got > 0) {
            CWaveBuffer* block = device.GetBuffer(index);
            if (block == nullptr || !reclaim(device, block, limitMs, engine->m_speakerRunning)) {
                if (engine->m_speakerRunning == 0) {
                    break;
                }
                giveUp(soundDevice + " stopped taking sound while it played " + engine->m_playFile + ".");
                continue;
            }
            std::memcpy(block->GetData(), readBuffer.data(), got);
            block->SetLength(got);
            device.PrepareHeader(block);
            index = (index + 1) % kSpeakerBlocks;
            if (device.Write(block) == 0) {
                giveUp(soundDevice + " refused to play " + engine->m_playFile + ".");
                continue;
            }
            lastWritten = block;
        } else {
            if (lastWritten != nullptr) {
                device.PlayOut();  // the end of the file: a sound server must not keep it back
            }
            if (lastWritten != nullptr &&
                !waitPlayed(device, lastWritten, limitMs, engine->m_speakerRunning, engine->m_stopEvent) &&
                engine->m_speakerRunning != 0) {
                giveUp(soundDevice + " did not play the end of " + engine->m_playFile + ".");
                continue;
            }
            engine->m_stopEvent.wait(100);
            engine->post(WM_AUDIO_DONE, 0, 0);
            endReached = true;
        }
    }
    device.Reset();
    device.Close();
    engine->NoteLosses(device.Counters(), true);
    platform::debugOutput("Exiting SpeakerThread()\n");
    return playedWhole ? SPEAKER_EXIT_OK : SPEAKER_EXIT_NOT_PLAYED;
}

int CWizardAudio::MicrophoneThread(CWizardAudio* engine) {
    const int mode = engine->m_runMode;
    const CWaveFormat format(static_cast<std::uint16_t>(engine->m_recordChannels),
                             static_cast<std::uint32_t>(engine->m_sampleRate), 16);
    const std::uint32_t blockBytes = BlockBytesForRate(format.samplesPerSec);
    CWaveFileWriter* writer = mode == AUDIO_MODE_MONITOR ? nullptr : engine->m_pRecordWriter.get();

    CWaveInDevice device(engine->m_devices);
    device.SetBufferCount(kMicBlocks);
    device.SetFormat(format, static_cast<int>(blockBytes));
    device.m_deviceId = engine->m_waveInId;
    device.m_deviceKey = engine->m_waveInKey;
    if (device.Open(&format) == 0) {
        char text[96];
        std::snprintf(text, sizeof text, "Unable to open native record device, DevID_USB=%d\n",
                      engine->m_waveInId);
        showError("MicrophoneThread", text);
        // Nothing was recorded: the recording's name keeps what it had.
        if (writer != nullptr) {
            writer->Discard();
        }
        engine->post(WM_AUDIO_DONE, 1, 0);
        return MIC_EXIT_OPEN_FAILED;
    }
    if (device.QueueBuffers() == 0) {
        showError("MicrophoneThread", "Unable to create record Queue\nStopping test");
        if (writer != nullptr) {
            writer->Discard();
        }
        engine->post(WM_AUDIO_DONE, 1, 0);
        device.Stop();
        device.Reset();
        device.Close();
        return MIC_EXIT_QUEUE_FAILED;
    }

    // No sound arrives, or the device is gone. End the run from here: this thread must not
    // wait for itself, so it clears the run flags, closes what it owns and tells the dialog,
    // whose Stop then joins it.
    const auto endWithoutSound = [&] {
        showError("Wizard Audio", "Unable to open the microphone");
        engine->RequestStop();
        device.Stop();
        device.Reset();
        device.Close();
        engine->NoteLosses(device.Counters(), false);
        if (writer != nullptr) {
            // A recording cut short is no recording: the name keeps what it had.
            writer->Discard();
            engine->SetRecordingFault("The sound device " + engine->m_waveInName +
                                      " stopped sending sound while " + writer->m_fileName +
                                      " was recorded.");
        }
        engine->post(WM_AUDIO_DONE, 1, 0);
        return MIC_EXIT_NO_DATA;
    };

    const double secondsPerByte = 1.0 / (2.0 * format.channels * format.samplesPerSec);
    double secondsRecorded = 0.0;
    int index = 0;

    // Takes a recorded block: its sound goes to the recording and, while the run goes on, to the
    // level meter; then the block goes back to the device. False when the device refuses it.
    const auto takeBlock = [&](CWaveBuffer* block, bool levels) {
        device.UnprepareHeader(block);
        const std::uint32_t count = std::min<std::uint32_t>(block->GetBytesRecorded(), kLastBlockBytes);
        const std::uint8_t* data = block->GetData();
        if (levels) {
            // Each level message carries its own copy, so the block a posted message designates
            // stays valid and unchanged until the receiver has handled it.
            auto copy = std::make_shared<std::vector<std::uint8_t>>(data, data + count);
            const auto reference = reinterpret_cast<std::uintptr_t>(copy->data());
            secondsRecorded += count * secondsPerByte;
            if (secondsRecorded >= engine->m_markSeconds.load()) {
                engine->post(WM_AUDIO_LEVEL, reference, -1, copy);
            }
            std::memcpy(engine->m_lastBlock.data(), data, count);
            engine->post(WM_AUDIO_LEVEL, reference, static_cast<std::intptr_t>(count), std::move(copy));
        }
        if (writer != nullptr && !writer->Write(data, static_cast<int>(count))) {
            engine->SetRecordingFault(writer->ErrorText());
        }
        // A block the device refuses keeps its done flag and its old sound: taking it again
        // would record that sound over and over.
        const bool requeued = device.PrepareHeader(block) != 0 && device.AddBuffer(block) != 0;
        index = (index + 1) % kMicBlocks;
        return requeued;
    };

    device.ResetEvent();
    device.Start();
    while (engine->m_micRunning != 0) {
        CWaveBuffer* block = device.GetBuffer(index);
        int timeouts = 0;
        while (!block->IsDone() && engine->m_micRunning != 0) {
            if (device.WaitEvent(kMicWaitMs, engine->m_stopEvent) == platform::kWaitTimeout &&
                ++timeouts == kMicTimeoutsAllowed) {
                return endWithoutSound();
            }
        }
        if (engine->m_micRunning == 0) {
            break;
        }
        // A device that is gone ends the run.
        if (!takeBlock(block, true)) {
            return endWithoutSound();
        }
    }
    // Sound recorded before the stop still goes to the recording: the blocks done, the part of
    // the block being filled, and what the device kept for blocks that came back late.
    device.Stop();
    for (CWaveBuffer* block = device.GetBuffer(index); block->IsDone(); block = device.GetBuffer(index)) {
        if (!takeBlock(block, false)) {
            break;
        }
    }
    device.Reset();
    device.Close();
    engine->NoteLosses(device.Counters(), false);
    // The recording waits, whole, under its temporary name until the engine's caller keeps it.
    if (writer != nullptr && !writer->Finish()) {
        engine->SetRecordingFault(writer->ErrorText());
    }
    platform::debugOutput("Exiting MicrophoneThread()\n");
    return MIC_EXIT_OK;
}
