#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/CWizardAudio.h"
#include "platform/MessageBox.h"
#include "platform/Notify.h"
#include "sim/SimAudio.h"
#include "tests/audio/TestFiles.h"

namespace audiotest {

// How fast the simulated clock runs in tests.
inline constexpr double kTestSpeed = 12.0;

// Everything a run on the simulated unit needs: the unit's state, its acoustic side, an
// engine on it, a message queue standing in for the dialog and a recorder for message boxes.
struct SimRig {
    explicit SimRig(sim::SimAudioConfig config = fastConfig());
    ~SimRig();

    static sim::SimAudioConfig fastConfig();

    // Names the unit's devices and sets the files.
    void prepare(int mode, const std::string& playFile = {}, const std::string& recordFile = {});

    // Handles messages like the echo test's dialog until WM_AUDIO_DONE or the time-out:
    // at each stage mark it switches the unit's stage switches off as the dialog's commands
    // do (0x01 at 2 s, 0x06 at 6 s). Returns whether WM_AUDIO_DONE came.
    bool runEchoDialog(std::uint32_t timeoutMs);

    // Starts a run, waits for WM_AUDIO_DONE and stops it; false when it did not start or end.
    bool runUntilDone(int mode, const std::string& playFile, const std::string& recordFile = {},
                      std::uint32_t timeoutMs = 20000);

    // Stops the run, keeps its recording (when it made one) and every message it posted.
    void stopAndDrain();

    // Takes messages until one with the given number arrives; the ones taken are kept.
    bool waitFor(std::uint32_t message, std::uint32_t timeoutMs);

    std::shared_ptr<sim::UnitState> unit = std::make_shared<sim::UnitState>();
    std::unique_ptr<sim::SimAudio> audio;
    std::unique_ptr<CWizardAudio> engine;
    platform::NotifyQueue queue;
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
    std::vector<platform::NotifyMessage> taken;
    testfiles::TempDir dir;
};

// Writes a 16-bit PCM file of the given samples (interleaved when two channels).
std::string writeWave(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                      const std::vector<std::int16_t>& samples);

// Reads all samples of one channel (0: a one-channel file; 1 left, 2 right).
std::vector<std::int16_t> readChannel(const std::string& path, int channel);

// Level of a range like the echo figures measure it: mean-removed RMS in dB of full scale,
// -1000 for silence.
double levelDb(const std::vector<std::int16_t>& samples, double startSeconds, double lengthSeconds,
               std::uint32_t rate);

// The lag (in samples, 0..maxLag) at which b best matches a delayed copy of a.
int bestLag(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b, int maxLag,
            std::size_t from, std::size_t count);

std::string playFilePath(const std::string& name);

}  // namespace audiotest
