#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <numeric>

#include "audio/CWaveFileReader.h"
#include "platform/System.h"
#include "tests/audio/AudioTestSupport.h"

using namespace audiotest;

namespace {

std::vector<std::int16_t> sine(std::size_t frames, std::uint16_t channels, double hz, std::uint32_t rate,
                               double amplitude = 8000) {
    std::vector<std::int16_t> samples;
    for (std::size_t n = 0; n < frames; ++n) {
        const auto value = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * hz * n / rate));
        for (std::uint16_t c = 0; c < channels; ++c) {
            samples.push_back(value);
        }
    }
    return samples;
}

std::vector<const platform::NotifyMessage*> levelMessages(const SimRig& rig, bool marks) {
    std::vector<const platform::NotifyMessage*> out;
    for (const auto& m : rig.taken) {
        if (m.message == WM_AUDIO_LEVEL && (m.lParam < 0) == marks) {
            out.push_back(&m);
        }
    }
    return out;
}

std::uint64_t levelBytes(const SimRig& rig) {
    std::uint64_t sum = 0;
    for (const auto* m : levelMessages(rig, false)) {
        sum += static_cast<std::uint64_t>(m->lParam);
    }
    return sum;
}

// Collects messages until the recorded time reaches the given seconds of sound.
void recordFor(SimRig& rig, std::uint64_t bytes, std::uint32_t timeoutMs = 20000) {
    const auto start = platform::tickCountMs();
    while (levelBytes(rig) < bytes && platform::tickCountMs() - start < timeoutMs) {
        if (auto next = rig.queue.take(50)) {
            rig.taken.push_back(std::move(*next));
        }
    }
}

// The run showed exactly one message box, this one.
void expectOneBox(const SimRig& rig, const std::string& caption, const std::string& text) {
    const auto shown = rig.boxes->shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, caption);
    EXPECT_EQ(shown[0].text, text);
}

}  // namespace

TEST(WizardAudioFindTest, NamesMatchOverTheShorterLengthButNeverEmpty) {
    SimRig rig;
    auto& devices = *rig.audio;
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, sim::kSimSpeakerDeviceName), 1);
    EXPECT_EQ(CWizardAudio::FindWaveInDevice(devices, sim::kSimMicrophoneDeviceName), 1);
    // A stored name that a device name begins with, and a device name cut short.
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, "Qnlr Speakerphone"), 1);
    EXPECT_EQ(CWizardAudio::FindWaveInDevice(devices, "Qnlr Speakerphone Microphone (USB Audio, long name)"),
              1);
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, "qnlr speakerphone speaker"), -1);  // case counts
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, "Headset"), -1);
    // An empty name would pick the computer's own sound card, device 0.
    EXPECT_EQ(CWizardAudio::FindWaveOutDevice(devices, ""), -1);
    EXPECT_EQ(CWizardAudio::FindWaveInDevice(devices, ""), -1);
}

TEST(WizardAudioStartTest, ModesThatDoNothingStartNothing) {
    for (const int mode : {0, 7, -1}) {
        SimRig rig;
        rig.prepare(mode, "/nonexistent/play.wav", rig.dir.file("rec.wav"));
        EXPECT_EQ(rig.engine->Start(&rig.queue), 1);
        EXPECT_FALSE(rig.engine->IsRunning());
        EXPECT_FALSE(std::filesystem::exists(rig.dir.file("rec.wav")));
        EXPECT_EQ(rig.boxes->count(), 0u);
        EXPECT_EQ(rig.engine->Stop(), 1);
        EXPECT_EQ(rig.engine->Stop(), 1);  // twice: nothing to wait for
    }
}

TEST(WizardAudioStartTest, MissingPlayFileIsReportedAndNothingRuns) {
    SimRig rig;
    const auto missing = rig.dir.file("WaveFiles/VoicePlayback.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, missing, rig.dir.file("rec.wav"));
    EXPECT_EQ(rig.engine->Start(&rig.queue), 0);
    EXPECT_FALSE(rig.engine->IsRunning());
    ASSERT_EQ(rig.boxes->count(), 1u);
    EXPECT_EQ(rig.boxes->shown()[0].caption, "WizardAudio");
    EXPECT_EQ(rig.boxes->shown()[0].text, "Unable to open file: " + missing);
    EXPECT_EQ(rig.boxes->shown()[0].style, platform::mb::kIconError);
    EXPECT_FALSE(std::filesystem::exists(rig.dir.file("rec.wav")));
}

TEST(WizardAudioStartTest, UnwritableRecordPathIsReportedAndNothingRuns) {
    SimRig rig;
    const auto record = rig.dir.file("no/such/folder/MicRecorded.wav");
    rig.prepare(AUDIO_MODE_RECORD, {}, record);
    EXPECT_EQ(rig.engine->Start(&rig.queue), 0);
    EXPECT_FALSE(rig.engine->IsRunning());
    ASSERT_EQ(rig.boxes->count(), 1u);
    EXPECT_EQ(rig.boxes->shown()[0].text, "Unable to open file: " + record);
    EXPECT_EQ(rig.queue.take(200), std::nullopt);
}

TEST(WizardAudioStartTest, UnknownDeviceNamesRefuseTheRunInsteadOfUsingTheDefaultDevice) {
    SimRig rig;
    const auto play = writeWave(rig.dir.file("p.wav"), 1, 16000, sine(8000, 1, 440, 16000));
    rig.prepare(AUDIO_MODE_PLAY_RECORD, play, rig.dir.file("rec.wav"));
    rig.engine->m_waveOutName = "Headset Speaker";
    EXPECT_EQ(rig.engine->Start(&rig.queue), 0);
    EXPECT_FALSE(rig.engine->IsRunning());
    ASSERT_EQ(rig.boxes->count(), 1u);
    EXPECT_EQ(rig.boxes->shown()[0].text,
              "Unable to find the playing device: Headset Speaker\nStopping test");

    rig.boxes->clear();
    rig.prepare(AUDIO_MODE_MONITOR);
    rig.engine->m_waveInName = "";
    EXPECT_EQ(rig.engine->Start(&rig.queue), 0);
    ASSERT_EQ(rig.boxes->count(), 1u);
    EXPECT_EQ(rig.boxes->shown()[0].text, "Unable to find the recording device: \nStopping test");
    EXPECT_FALSE(std::filesystem::exists(rig.dir.file("rec.wav")));
}

TEST(WizardAudioRunTest, PlayModesPlayTheWholeFileAndSayDone) {
    for (const int mode : {AUDIO_MODE_PLAY, AUDIO_MODE_PLAYBACK}) {
        SimRig rig;
        const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(16000, 2, 440, 32000));
        rig.prepare(mode, play);
        ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
        ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 10000));
        EXPECT_EQ(rig.taken.back().wParam, 0u);
        EXPECT_EQ(rig.audio->speakerFramesPlayed(), 16000u);
        EXPECT_TRUE(levelMessages(rig, false).empty());
        EXPECT_EQ(rig.engine->Stop(), 1);
        EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_OK);
        EXPECT_FALSE(rig.engine->m_playReader.IsOpen());
    }
}

TEST(WizardAudioRunTest, ShortAndEmptyPlayFilesEndAtOnce) {
    SimRig rig;
    const auto shortFile = writeWave(rig.dir.file("short.wav"), 1, 16000, sine(100, 1, 440, 16000));
    ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY, shortFile, {}, 5000));
    EXPECT_EQ(rig.audio->speakerFramesPlayed(), 100u);

    const auto empty = writeWave(rig.dir.file("empty.wav"), 1, 16000, {});
    ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY, empty, {}, 5000));
    EXPECT_EQ(rig.audio->speakerFramesPlayed(), 100u);  // nothing more
}

TEST(WizardAudioRunTest, ModeSixStartsTwoSecondsOfOneChannelSoundIntoTheFile) {
    SimRig rig;
    const auto play = writeWave(rig.dir.file("echo.wav"), 1, 16000, sine(48000, 1, 300, 16000));
    ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY_FROM_2S, play, {}, 10000));
    EXPECT_EQ(rig.audio->speakerFramesPlayed(), 48000u - 32000u);
}

TEST(WizardAudioRunTest, MonitorModeSendsLevelsAndWritesNothing) {
    auto config = SimRig::fastConfig();
    config.acoustic.nearEndToneHz = 1000;
    SimRig rig(config);
    rig.prepare(AUDIO_MODE_MONITOR, {}, rig.dir.file("MicRecorded.wav"));
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    EXPECT_EQ(rig.engine->m_sampleRate, 16000);
    EXPECT_EQ(rig.engine->m_recordChannels, 1);
    recordFor(rig, 10 * 4096);
    rig.engine->Stop();
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_OK);
    EXPECT_FALSE(std::filesystem::exists(rig.dir.file("MicRecorded.wav")));
    const auto levels = levelMessages(rig, false);
    ASSERT_GE(levels.size(), 10u);
    EXPECT_TRUE(levelMessages(rig, true).empty());  // no mark set
    for (const auto* m : levels) {
        EXPECT_EQ(m->lParam, 4096);  // 128 ms a block
        const auto* block = CWizardAudio::LevelBlock(*m);
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(block->size(), 4096u);
        EXPECT_EQ(m->wParam, reinterpret_cast<std::uintptr_t>(block->data()));
    }
    // The tone of -30 dB reaches the meter.
    std::vector<std::int16_t> samples(2048);
    std::memcpy(samples.data(), CWizardAudio::LevelBlock(*levels[3])->data(), 4096);
    EXPECT_NEAR(levelDb(samples, 0, 0.128, 16000), -30.0, 1.0);
}

TEST(WizardAudioRunTest, RecordModeWritesEveryRecordedByte) {
    auto config = SimRig::fastConfig();
    config.acoustic.nearEndToneHz = 1000;
    SimRig rig(config);
    const auto record = rig.dir.file("MicRecorded.wav");
    rig.prepare(AUDIO_MODE_RECORD, {}, record);
    rig.engine->m_markSeconds = 2.0;
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    recordFor(rig, 20 * 4096);
    rig.stopAndDrain();
    const auto bytes = levelBytes(rig);

    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1);
    EXPECT_EQ(reader.m_pFormat->channels, 1);
    EXPECT_EQ(reader.m_pFormat->samplesPerSec, 16000u);
    // Every block the meter saw, then what the stop found recorded after them.
    EXPECT_GE(reader.m_dataSize, bytes);
    EXPECT_LT(reader.m_dataSize, bytes + 7 * 4096);
    EXPECT_EQ(reader.m_dataSize % 2, 0u);
    reader.Close();
    const auto samples = readChannel(record, 0);
    EXPECT_NEAR(levelDb(samples, 0.5, 1.0, 16000), -30.0, 1.0);

    // The first mark comes with the 16th block (2.048 s), just before its level message.
    std::size_t levelsBeforeMark = 0;
    for (const auto& m : rig.taken) {
        if (m.message == WM_AUDIO_LEVEL && m.lParam < 0) {
            break;
        }
        levelsBeforeMark += m.message == WM_AUDIO_LEVEL ? 1 : 0;
    }
    EXPECT_EQ(levelsBeforeMark, 15u);
    EXPECT_EQ(levelMessages(rig, true).size(), levelMessages(rig, false).size() - 15);
}

TEST(WizardAudioRunTest, SettingTheNextModeDuringARunDoesNotChangeTheRun) {
    SimRig rig;
    const auto record = rig.dir.file("MicRecorded.wav");
    rig.prepare(AUDIO_MODE_RECORD, {}, record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    // The dialog writes the mode of its next run while this one records.
    rig.engine->m_testMode = AUDIO_MODE_MONITOR;
    recordFor(rig, 8 * 4096);
    rig.stopAndDrain();
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1) << wavefile::errorText(reader.m_lastError);
    EXPECT_GE(reader.m_dataSize, levelBytes(rig));
    EXPECT_GE(reader.m_dataSize, 8u * 4096u);
}

TEST(WizardAudioRunTest, PlayRecordModeRecordsBothChannelsAtThePlayFilesRate) {
    SimRig rig;
    rig.unit->setRouting(31, 25);  // the far-end signal on the left
    rig.unit->setRouting(8, 26);   // the bare microphone on the right
    const auto record = rig.dir.file("Delay_Test.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("Delay_Play.wav"), record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    EXPECT_EQ(rig.engine->m_recordChannels, 2);
    EXPECT_EQ(rig.engine->m_sampleRate, 32000);
    ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 20000));
    rig.stopAndDrain();
    for (const auto* m : levelMessages(rig, false)) {
        EXPECT_EQ(m->lParam, 8192);  // 64 ms a block
    }
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1);
    EXPECT_EQ(reader.m_pFormat->channels, 2);
    EXPECT_GE(reader.m_dataSize, levelBytes(rig));
    EXPECT_GE(reader.m_durationMs, 4500u);  // the whole file was heard
    reader.Close();

    // The left channel is the played noise at half level (the unit mixes its two channels);
    // the right one is its echo 20 ms later.
    const auto reference = readChannel(record, 1);
    const auto microphone = readChannel(record, 2);
    EXPECT_NEAR(levelDb(reference, 1.0, 2.0, 32000), -16.5 - 6.0, 1.0);
    EXPECT_EQ(bestLag(reference, microphone, 1600, 32000, 32000), 640);
    EXPECT_NEAR(levelDb(microphone, 1.0, 2.0, 32000) - levelDb(reference, 1.0, 2.0, 32000), -6.0, 0.5);
}

TEST(WizardAudioRunTest, EchoFollowsTheSpeakerVolume) {
    double levels[2];
    int index = 0;
    for (const int step : {16, 20}) {
        SimRig rig;
        rig.unit->setSpeakerVolumeStep(step);
        rig.unit->setRouting(8, 25);
        const auto record = rig.dir.file("rec.wav");
        ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY_RECORD, playFilePath("FE_Play.wav"), record, 20000));
        levels[index++] = levelDb(readChannel(record, 1), 0.5, 2.0, 32000);
    }
    EXPECT_NEAR(levels[1] - levels[0], 4 * 1.5, 0.3);
}

TEST(WizardAudioRunTest, FarEndSignalArrivesOnTheRoutedChannel) {
    for (const std::uint8_t played : {31, 32}) {
        auto config = SimRig::fastConfig();
        config.acoustic.playedFarEndSource = played;
        SimRig rig(config);
        rig.unit->setRouting(31, 25);
        rig.unit->setRouting(32, 26);
        const auto record = rig.dir.file("FE_Test.wav");
        ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY_RECORD, playFilePath("FE_Play.wav"), record, 20000));
        const auto left = levelDb(readChannel(record, 1), 0.5, 1.5, 32000);
        const auto right = levelDb(readChannel(record, 2), 0.5, 1.5, 32000);
        EXPECT_GT(played == 31 ? left : right, -20.0);
        EXPECT_EQ(played == 31 ? right : left, -1000.0);  // digital silence
    }
}

TEST(WizardAudioRunTest, StopInTheMiddleLeavesAClosedValidRecording) {
    SimRig rig;
    const auto record = rig.dir.file("Echo_Test.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    recordFor(rig, 10 * 8192);
    EXPECT_TRUE(rig.engine->IsRunning());
    rig.stopAndDrain();
    EXPECT_FALSE(rig.engine->IsRunning());
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_OK);
    EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_OK);
    EXPECT_FALSE(rig.engine->m_playReader.IsOpen());
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1);
    EXPECT_GE(reader.m_dataSize, levelBytes(rig));
    EXPECT_LT(reader.m_durationMs, 10000u);
    EXPECT_EQ(rig.engine->Stop(), 1);
}

// Its recording, which nobody kept, leaves nothing behind and replaces nothing.
TEST(WizardAudioRunTest, DestroyingARunningEngineEndsItsThreads) {
    SimRig rig;
    const auto record = rig.dir.file("rec.wav");
    const auto earlier = writeWave(record, 1, 16000, std::vector<std::int16_t>(1600, 100));
    const auto earlierSize = std::filesystem::file_size(earlier);
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    recordFor(rig, 4 * 8192);
    rig.engine.reset();
    EXPECT_EQ(std::filesystem::file_size(record), earlierSize);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(rig.dir.path()), {}), 1);
}

TEST(WizardAudioRunTest, LevelBlocksStayUnchangedUntilHandled) {
    SimRig rig;
    const auto record = rig.dir.file("rec.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    // Nobody handles the messages while many blocks are recorded.
    recordFor(rig, 40 * 8192);
    rig.stopAndDrain();
    const auto levels = levelMessages(rig, false);
    ASSERT_GE(levels.size(), 40u);
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1);
    std::vector<std::uint8_t> fileBlock(8192);
    for (const auto* m : levels) {
        ASSERT_EQ(reader.Read(fileBlock.data(), 8192), 8192u);
        ASSERT_EQ(*CWizardAudio::LevelBlock(*m), fileBlock);
    }
}

TEST(WizardAudioFailureTest, SpeakerThatCannotOpenSaysDoneThenShowsItsBox) {
    auto config = SimRig::fastConfig();
    config.unitOpenResult = platform::wave::kAllocated;
    SimRig rig(config);
    const auto play = writeWave(rig.dir.file("p.wav"), 1, 16000, sine(16000, 1, 440, 16000));
    rig.prepare(AUDIO_MODE_PLAY, play);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 5000));
    EXPECT_EQ(rig.taken.back().wParam, 0u);
    rig.engine->Stop();
    EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_OPEN_FAILED);
    ASSERT_EQ(rig.boxes->count(), 1u);
    EXPECT_EQ(rig.boxes->shown()[0].caption, "SpeakerThread");
    EXPECT_EQ(rig.boxes->shown()[0].text, "Unable to open USB device for playing\nStopping test");
}

TEST(WizardAudioFailureTest, MicrophoneThatCannotOpenShowsBothBoxesAndSaysDone) {
    auto config = SimRig::fastConfig();
    config.unitOpenResult = platform::wave::kNoDriver;
    SimRig rig(config);
    rig.prepare(AUDIO_MODE_RECORD, {}, rig.dir.file("rec.wav"));
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 5000));
    EXPECT_EQ(rig.taken.back().wParam, 1u);
    rig.engine->Stop();
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_OPEN_FAILED);
    const auto shown = rig.boxes->shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Open Recording Device");
    EXPECT_EQ(shown[0].text, "No device driver is present.");
    EXPECT_EQ(shown[1].caption, "MicrophoneThread");
    EXPECT_EQ(shown[1].text, "Unable to open native record device, DevID_USB=1\n");
}

TEST(WizardAudioFailureTest, SilentMicrophoneEndsTheRunFromItsOwnThread) {
    auto config = SimRig::fastConfig();
    config.microphoneDelivers = false;
    SimRig rig(config);
    const auto record = rig.dir.file("Echo_Test.wav");
    rig.prepare(AUDIO_MODE_PLAY_RECORD, playFilePath("VoicePlayback.wav"), record);
    const auto start = platform::tickCountMs();
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    // Three waits of 1000 ms, then the thread ends the run by itself and says so.
    std::optional<platform::NotifyMessage> done;
    while (platform::tickCountMs() - start < 10000) {
        auto next = rig.queue.take(20);
        if (next && next->message == WM_AUDIO_DONE && next->wParam == 1) {
            done = std::move(next);
            break;
        }
    }
    ASSERT_TRUE(done.has_value());
    // Three waits, not two or four: the end comes between 3 s and 4 s after the start.
    const auto waited = platform::tickCountMs() - start;
    EXPECT_GE(waited, 3000u);
    EXPECT_LT(waited, 3900u);
    EXPECT_EQ(rig.engine->m_micRunning, 0);
    EXPECT_EQ(rig.engine->m_speakerRunning, 0);
    EXPECT_EQ(rig.engine->Stop(), 1);
    EXPECT_FALSE(rig.engine->IsRunning());
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_NO_DATA);
    expectOneBox(rig, "Wizard Audio", "Unable to open the microphone");
    // No recording: nothing under its name, and the run says why, naming the file.
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_NE(rig.engine->RecordingFault().find(record), std::string::npos) << rig.engine->RecordingFault();
}

TEST(WizardAudioFailureTest, MicrophoneUnpluggedMidRunEndsTheRunAndKeepsWhatWasRecorded) {
    auto config = SimRig::fastConfig();
    config.unitUnpluggedAfterMs = 1000;
    SimRig rig(config);
    const auto record = rig.dir.file("MicRecorded.wav");
    rig.prepare(AUDIO_MODE_RECORD, {}, record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    // 1 s of sound is 8 blocks; a thread that took refused blocks again would post without end.
    bool done = false;
    const auto start = platform::tickCountMs();
    while (!done && levelMessages(rig, false).size() < 100 && platform::tickCountMs() - start < 10000) {
        if (auto next = rig.queue.take(50)) {
            done = next->message == WM_AUDIO_DONE;
            rig.taken.push_back(std::move(*next));
        }
    }
    rig.stopAndDrain();
    ASSERT_TRUE(done);
    EXPECT_EQ(rig.taken.back().wParam, 1u);
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_NO_DATA);
    expectOneBox(rig, "Wizard Audio", "Unable to open the microphone");
    // The sound of before the unplug came once; a recording cut short leaves nothing under the
    // recording's name, and the run says why, naming the file.
    EXPECT_GE(levelBytes(rig), 7u * 4096u);
    EXPECT_LE(levelBytes(rig), 32000u);
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_NE(rig.engine->RecordingFault().find(record), std::string::npos) << rig.engine->RecordingFault();
}

TEST(WizardAudioRunTest, ASpeakerThatStartsLateStillPlaysTheWholeFile) {
    // A sound server may hold a new stream for about 2 s while its output wakes up. Real time,
    // as the thread's patience with a block it cannot take back is real time too.
    sim::SimAudioConfig config;
    config.speakerStartStallMs = 2300;
    SimRig rig(config);
    const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(16000, 2, 440, 32000));
    ASSERT_TRUE(rig.runUntilDone(AUDIO_MODE_PLAY, play, {}, 10000));
    EXPECT_EQ(rig.audio->speakerFramesPlayed(), 16000u);
}

TEST(WizardAudioFailureTest, SpeakerThatKeepsItsBlocksDoesNotHangTheRun) {
    auto config = SimRig::fastConfig();
    config.speakerPlays = false;
    {
        // Left alone, the thread gives up on the device and says the run is over.
        SimRig rig(config);
        const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(64000, 2, 440, 32000));
        rig.prepare(AUDIO_MODE_PLAY, play);
        ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
        ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 10000));
        EXPECT_EQ(rig.engine->Stop(), 1);
        EXPECT_FALSE(rig.engine->IsRunning());
        // A run that did not play its file is no normal end.
        EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_NOT_PLAYED);
        EXPECT_EQ(rig.engine->RecordingFault(), "The sound device " + rig.engine->m_waveOutName +
                                                    " stopped taking sound while it played " + play + ".");
    }
    {
        // A speaker unplugged mid-run refuses the next block: the run ends as a fault too.
        auto unplugged = SimRig::fastConfig();
        unplugged.unitUnpluggedAfterMs = 500;
        SimRig rig(unplugged);
        const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(64000, 2, 440, 32000));
        rig.prepare(AUDIO_MODE_PLAY, play);
        ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
        ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 10000));
        EXPECT_EQ(rig.engine->Stop(), 1);
        EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_NOT_PLAYED);
        EXPECT_EQ(rig.engine->RecordingFault(),
                  "The sound device " + rig.engine->m_waveOutName + " refused to play " + play + ".");
    }
    {
        // Stopped while it waits for a block, it ends at once.
        SimRig rig(config);
        const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(64000, 2, 440, 32000));
        rig.prepare(AUDIO_MODE_PLAY, play);
        ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
        platform::sleepMs(100);
        EXPECT_EQ(rig.engine->Stop(), 1);
        EXPECT_FALSE(rig.engine->IsRunning());
        EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_OK);
        EXPECT_FALSE(rig.engine->m_playReader.IsOpen());
    }
}

namespace {

// A message-box service like the dialog's: the first box waits until the user answers it;
// later ones are answered at once.
class WaitingMessageBoxHandler : public platform::IMessageBoxHandler {
public:
    int show(const platform::MessageBoxRequest& request) override {
        if (m_count++ == 0) {
            m_shown.set();
            m_answered.wait(10000);
        }
        std::lock_guard lock(m_mutex);
        m_texts.push_back(request.text);
        return platform::id::kOk;
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }
    platform::Event m_shown{platform::Event::Reset::Manual, false};
    platform::Event m_answered{platform::Event::Reset::Manual, false};

private:
    std::atomic<int> m_count{0};
    std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

}  // namespace

TEST(WizardAudioFailureTest, StopDoesNotCloseThePlayFileUnderAThreadItCouldNotWaitFor) {
    auto config = SimRig::fastConfig();
    config.unitOpenResult = platform::wave::kAllocated;
    SimRig rig(config);
    auto waiting = std::make_shared<WaitingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scoped(waiting);
    const auto play = writeWave(rig.dir.file("p.wav"), 1, 16000, sine(16000, 1, 440, 16000));
    rig.prepare(AUDIO_MODE_PLAY, play);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    ASSERT_TRUE(rig.waitFor(WM_AUDIO_DONE, 5000));
    ASSERT_EQ(waiting->m_shown.wait(5000), platform::kWaitObject0);
    // The speaker thread waits for its box: Stop gives up after its wait and leaves the file
    // to the thread.
    EXPECT_EQ(rig.engine->Stop(), 1);
    EXPECT_TRUE(rig.engine->IsRunning());
    EXPECT_TRUE(rig.engine->m_playReader.IsOpen());
    // A new run cannot start while the old thread holds the file.
    rig.prepare(AUDIO_MODE_PLAY, play);
    EXPECT_EQ(rig.engine->Start(&rig.queue), 0);
    EXPECT_EQ(waiting->texts(),
              std::vector<std::string>{"The previous test is still stopping\nPlease try again"});

    waiting->m_answered.set();
    EXPECT_EQ(rig.engine->Stop(), 1);
    EXPECT_FALSE(rig.engine->IsRunning());
    EXPECT_FALSE(rig.engine->m_playReader.IsOpen());
    EXPECT_EQ(rig.engine->m_speakerExitCode, SPEAKER_EXIT_OPEN_FAILED);
}

namespace {

// The simulated devices, whose streams report the given losses.
class LossyDevices final : public platform::IWaveDevices {
public:
    LossyDevices(platform::IWaveDevices& inner, platform::WaveStreamCounters playing,
                 platform::WaveStreamCounters recording)
        : m_inner(inner), m_playing(playing), m_recording(recording) {}

    std::vector<platform::WaveDeviceInfo> devices(platform::WaveDirection direction) override {
        return m_inner.devices(direction);
    }
    std::uint32_t open(platform::WaveDirection direction, const platform::WaveDeviceRef& device,
                       const platform::WavePcmFormat& format, platform::Event& event,
                       std::unique_ptr<platform::IWaveStream>& stream) override {
        std::unique_ptr<platform::IWaveStream> inner;
        const auto result = m_inner.open(direction, device, format, event, inner);
        if (result == platform::wave::kNoError) {
            stream = std::make_unique<Stream>(
                std::move(inner), direction == platform::WaveDirection::Output ? m_playing : m_recording);
        }
        return result;
    }

private:
    class Stream final : public platform::IWaveStream {
    public:
        Stream(std::unique_ptr<platform::IWaveStream> inner, platform::WaveStreamCounters lost)
            : m_inner(std::move(inner)), m_lost(lost) {}
        std::uint32_t prepare(platform::WaveBlockHeader& b) override { return m_inner->prepare(b); }
        std::uint32_t unprepare(platform::WaveBlockHeader& b) override { return m_inner->unprepare(b); }
        std::uint32_t queue(platform::WaveBlockHeader& b) override { return m_inner->queue(b); }
        std::uint32_t start() override { return m_inner->start(); }
        std::uint32_t stop() override { return m_inner->stop(); }
        std::uint32_t reset() override { return m_inner->reset(); }
        std::uint32_t playOut() override { return m_inner->playOut(); }
        std::uint32_t close() override { return m_inner->close(); }
        platform::WaveStreamCounters counters() const override { return m_lost; }

    private:
        std::unique_ptr<platform::IWaveStream> m_inner;
        platform::WaveStreamCounters m_lost;
    };

    platform::IWaveDevices& m_inner;
    platform::WaveStreamCounters m_playing;
    platform::WaveStreamCounters m_recording;
};

struct LossCase {
    const char* name;
    int mode;
    platform::WaveStreamCounters playing;
    platform::WaveStreamCounters recording;
    const char* cause;  // in the fault; null: no fault
};

class WizardAudioLossTest : public testing::TestWithParam<LossCase> {};

}  // namespace

TEST_P(WizardAudioLossTest, ARunThatLostSoundNamesTheLossAndTheRecording) {
    const auto& param = GetParam();
    SimRig rig;
    LossyDevices lossy(*rig.audio, param.playing, param.recording);
    rig.engine = std::make_unique<CWizardAudio>(lossy);
    const auto record = rig.dir.file("Echo_Test.wav");
    const auto play = writeWave(rig.dir.file("p.wav"), 2, 32000, sine(16000, 2, 440, 32000));
    ASSERT_TRUE(rig.runUntilDone(param.mode, play, record));
    auto expected = param.playing;
    expected += param.recording;
    const auto lost = rig.engine->LossCounters();
    EXPECT_EQ(lost.underflows, expected.underflows);
    EXPECT_EQ(lost.overflows, expected.overflows);
    EXPECT_EQ(lost.holes, expected.holes);
    EXPECT_EQ(lost.discardedBytes, expected.discardedBytes);
    const auto fault = rig.engine->RecordingFault();
    if (param.cause == nullptr) {
        EXPECT_EQ(fault, "");
    } else {
        EXPECT_EQ(fault, "Sound was lost while " + record + " was recorded: " + param.cause + ".");
    }
    // The next run starts clean.
    LossyDevices whole(*rig.audio, {}, {});
    rig.engine = std::make_unique<CWizardAudio>(whole);
    ASSERT_TRUE(rig.runUntilDone(param.mode, play, record));
    EXPECT_FALSE(rig.engine->LossCounters().any());
    EXPECT_EQ(rig.engine->RecordingFault(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Losses, WizardAudioLossTest,
    testing::Values(LossCase{"Whole", AUDIO_MODE_PLAY_RECORD, {}, {}, nullptr},
                    LossCase{"Underflow",
                             AUDIO_MODE_PLAY_RECORD,
                             {2, 0, 0, 0},
                             {},
                             "the playing ran dry 2 time(s), leaving gaps in the sound played"},
                    // 32000 Hz, two channels: 128 bytes a millisecond.
                    LossCase{"Overflow",
                             AUDIO_MODE_PLAY_RECORD,
                             {},
                             {0, 1, 0, 19456},
                             "152 ms of recorded sound found no room and was dropped (1 overflow(s))"},
                    LossCase{"Hole",
                             AUDIO_MODE_PLAY_RECORD,
                             {},
                             {0, 0, 3, 0},
                             "the sound server left 3 gap(s) in the recorded sound"},
                    // A run that writes no recording counts its losses but has no recording to spoil.
                    LossCase{"PlayOnly", AUDIO_MODE_PLAY, {1, 0, 0, 0}, {}, nullptr}),
    [](const testing::TestParamInfo<LossCase>& info) { return std::string(info.param.name); });

// A stop while the microphone waits for a block that does not come ends the run as a stop (how
// soon the stop event wakes the wait, bench_pulse measures), and the sound recorded before the
// stop, the part of the block being filled too, goes to the recording.
TEST(WizardAudioStopTest, AStopWhileTheMicrophoneWaitsKeepsWhatItRecorded) {
    auto config = SimRig::fastConfig();
    constexpr std::uint32_t kBlockBytes = 4096;             // 16-bit mono
    config.microphoneFrames = (3 * kBlockBytes + 600) / 2;  // three blocks and part of the fourth
    SimRig rig(config);
    const auto record = rig.dir.file("MicRecorded.wav");
    rig.prepare(AUDIO_MODE_RECORD, {}, record);
    ASSERT_EQ(rig.engine->Start(&rig.queue), 1);
    // Until the microphone has recorded all it will; the blocks it filled reach the level meter.
    for (int waits = 0; rig.audio->microphoneFramesRecorded() < config.microphoneFrames; ++waits) {
        ASSERT_LT(waits, 400) << "the microphone did not record";
        if (auto next = rig.queue.take(50)) {
            rig.taken.push_back(std::move(*next));
        }
    }
    rig.stopAndDrain();
    EXPECT_FALSE(rig.engine->IsRunning());
    EXPECT_EQ(rig.engine->m_micExitCode, MIC_EXIT_OK);
    EXPECT_EQ(rig.boxes->count(), 0u);
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(record), 1);
    // Every block the level meter saw, and the part recorded after the last of them.
    EXPECT_EQ(levelBytes(rig), 3 * kBlockBytes);
    EXPECT_EQ(reader.m_dataSize, 3 * kBlockBytes + 600);
}
