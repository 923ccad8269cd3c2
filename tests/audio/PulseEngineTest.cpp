// The audio engine on the PulseAudio backend: a play-and-record run on a private server whose
// unit microphones record what the unit speakers play.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioEndpoints.h"
#include "audio/CWizardAudio.h"
#include "platform/MessageBox.h"
#include "platform/PulseEndpoints.h"
#include "platform/PulseWaveDevices.h"
#include "platform/System.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/audio/PulseServerTest.h"
#include "tests/audio/PulseTestServer.h"
#include "tests/audio/WitnessedRun.h"

namespace {

using testing_audio::PulseTestServer;

constexpr std::uint32_t kRate = 16000;  // the engine's usual rate; the server resamples
constexpr double kSeconds = 3.0;
constexpr double kLeadInSeconds = 0.5;
// The dialog stops the run on WM_AUDIO_DONE, 100 ms after the file has played: the recording
// ends in silence, as the play files do.
constexpr double kTailSeconds = 0.3;

// Frames of the take whose magnitude passes a threshold: the first and one past the last.
struct Sound {
    std::size_t begin = 0;
    std::size_t end = 0;
};

Sound findSound(const std::vector<std::int16_t>& samples, int threshold) {
    const auto loud = [threshold](std::int16_t s) { return std::abs(static_cast<int>(s)) > threshold; };
    auto first = std::find_if(samples.begin(), samples.end(), loud);
    auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
    if (first == samples.end()) {
        return {};
    }
    return {static_cast<std::size_t>(first - samples.begin()),
            static_cast<std::size_t>(samples.rend() - last)};
}

// What spoils a recorded tone: no sound, a quiet gap inside it, or a length other than the
// played one (the edges of a resampled tone blur by a frame or two). Where: the gap's start, or
// the length heard, in seconds from the tone's start.
std::optional<testing_audio::RecordingFlaw> findToneFlaw(const std::vector<std::int16_t>& take) {
    const Sound sound = findSound(take, 2000);
    if (sound.end <= sound.begin) {
        return testing_audio::RecordingFlaw{"nothing", "no tone", 0.0};
    }
    // Inside the tone the signal is never quiet for longer than near a zero crossing.
    std::size_t quiet = 0;
    for (std::size_t i = sound.begin; i <= sound.end; ++i) {
        if (i < sound.end && std::abs(static_cast<int>(take[i])) <= 2000) {
            ++quiet;
        } else if (quiet > 3) {
            return testing_audio::RecordingFlaw{"gap", "a gap of " + std::to_string(quiet) + " frames",
                                                static_cast<double>(i - quiet - sound.begin) / kRate};
        } else {
            quiet = 0;
        }
    }
    const double heardSeconds = static_cast<double>(sound.end - sound.begin) / kRate;
    if (std::abs(heardSeconds - kSeconds) > 0.002) {
        return testing_audio::RecordingFlaw{"length", "a length of " + std::to_string(heardSeconds) + " s",
                                            heardSeconds};
    }
    return std::nullopt;
}

class PulseEngineTest : public testing_audio::PulseServerTest {
protected:
    void SetUp() override {
        PulseServerTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_FALSE(endpoints.GetSpeakerName().empty());
        ASSERT_FALSE(endpoints.GetMicrophoneName().empty());
        m_micSource = s_server->sourceName(endpoints.GetMicrophoneName());
        ASSERT_FALSE(m_micSource.empty());
        ASSERT_EQ(endpoints.UnmuteSpeaker(), 0);
        ASSERT_EQ(endpoints.UnmuteMicrophone(), 0);
        platform::setDebugOutputSink([this](const std::string& text) {
            std::lock_guard lock(m_debugMutex);
            m_debugLines.push_back(text);
        });
        // Half a second of silence, then a 1 kHz tone for three seconds at -15 dB of full
        // scale. The silence leaves the recording, which starts with the playing, time to come in.
        std::vector<std::int16_t> tone(static_cast<std::size_t>(kLeadInSeconds * kRate), 0);
        for (std::size_t n = 0; n < static_cast<std::size_t>(kSeconds * kRate); ++n) {
            tone.push_back(static_cast<std::int16_t>(8192 * std::sin(2 * M_PI * 1000.0 * n / kRate)));
        }
        tone.resize(tone.size() + static_cast<std::size_t>(kTailSeconds * kRate), 0);
        playFile = audiotest::writeWave(dir.file("tone.wav"), 1, kRate, tone);
        playedDb = audiotest::levelDb(tone, kLeadInSeconds + 0.5, 2.0, kRate);
    }

    // One run of mode 5 through the unit's devices, ended as the dialog ends it, with the
    // server's own recorder on the unit's microphone beside it; the take. A run is repeated, at
    // most twice, when the engine reports it spoiled (sound lost on a machine too busy to keep
    // up), or when the flaw in a tone that must be whole is one the server's recorder heard as
    // well (WitnessedRun).
    std::vector<std::int16_t> playAndRecord(bool toneMustBeWhole = false) {
        Run run;
        for (int attempt = 1; attempt <= testing_audio::WitnessedRun::kMostRuns; ++attempt) {
            testing_audio::WitnessedRun witness(*s_server, m_micSource, kRate, dir.file("witness.raw"),
                                                attempt);
            run = playAndRecordOnce();
            if (!run.fault.empty()) {
                std::cout << "run " << attempt << " was spoiled: " << run.fault << std::endl;
                continue;
            }
            if (!toneMustBeWhole || !witness.serverMadeTheFlaw(run.take, findToneFlaw)) {
                break;
            }
        }
        EXPECT_TRUE(run.done);
        EXPECT_EQ(run.doneCode, 0u);
        // The end came because the last block was played, not because the speaker thread gave
        // up waiting for it.
        EXPECT_FALSE(run.speakerGaveUp);
        EXPECT_EQ(run.stopResult, 1);
        EXPECT_TRUE(run.kept);
        EXPECT_EQ(run.speakerExit, SPEAKER_EXIT_OK);
        EXPECT_EQ(run.micExit, MIC_EXIT_OK);
        EXPECT_EQ(run.fault, "");
        EXPECT_EQ(run.lost.underflows, 0u);
        EXPECT_EQ(run.lost.overflows, 0u);
        EXPECT_EQ(run.lost.holes, 0u);
        EXPECT_EQ(run.lost.discardedBytes, 0u);
        return run.take;
    }

    // What one run left: its take and how it ended.
    struct Run {
        std::vector<std::int16_t> take;
        bool done = false;
        std::uintptr_t doneCode = 0;
        bool speakerGaveUp = false;
        int stopResult = 0;
        bool kept = false;
        int speakerExit = 0;
        int micExit = 0;
        std::string fault;
        platform::WaveStreamCounters lost;
    };

    Run playAndRecordOnce() {
        {
            std::lock_guard lock(m_debugMutex);
            m_debugLines.clear();
        }
        Run run;
        CWizardAudio engine(devices);
        engine.m_playFile = playFile;
        engine.m_recordFile = dir.file("take.wav");
        engine.m_waveOutName = endpoints.GetSpeakerName();
        engine.m_waveInName = endpoints.GetMicrophoneName();
        engine.m_testMode = AUDIO_MODE_PLAY_RECORD;
        platform::NotifyQueue queue;
        if (engine.Start(&queue) != 1) {
            ADD_FAILURE() << "the run did not start";
            return run;
        }
        // The file plays for 3.8 s; a stream on an idle sink may start up to 2 s late.
        for (int waited = 0; waited < 150 && !run.done; ++waited) {
            auto message = queue.take(100);
            if (message && message->message == WM_AUDIO_DONE) {
                run.doneCode = message->wParam;
                run.done = true;
            }
        }
        for (const auto& line : debugLines()) {
            run.speakerGaveUp =
                run.speakerGaveUp || line.find("did not play the end of") != std::string::npos;
        }
        run.stopResult = engine.Stop();
        run.kept = engine.KeepRecording();
        run.speakerExit = engine.m_speakerExitCode;
        run.micExit = engine.m_micExitCode;
        run.fault = engine.RecordingFault();
        run.lost = engine.LossCounters();
        run.take = audiotest::readChannel(dir.file("take.wav"), 0);
        return run;
    }

    std::string m_micSource;

    void TearDown() override { platform::setDebugOutputSink({}); }

    std::vector<std::string> debugLines() {
        std::lock_guard lock(m_debugMutex);
        return m_debugLines;
    }

    std::mutex m_debugMutex;
    std::vector<std::string> m_debugLines;
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
    platform::PulseEndpoints service;
    CAudioEndpoints endpoints{&service};
    platform::PulseWaveDevices devices;
    testfiles::TempDir dir;
    std::string playFile;
    double playedDb = 0.0;
};

TEST_F(PulseEngineTest, TheRecordingHoldsThePlayedToneWholeAtItsLevel) {
    ASSERT_EQ(endpoints.SetSpeakerVolume(65535), 0);
    ASSERT_EQ(endpoints.SetMicrophoneVolume(32768), 0);  // the middle of the microphone's scale: 0 dB
    const auto take = playAndRecord(true);
    EXPECT_EQ(boxes->count(), 0u);

    // The tone came back whole: no gap inside it, and its length is the played length.
    const auto flaw = findToneFlaw(take);
    ASSERT_FALSE(flaw) << flaw->what << " at " << flaw->atSeconds << " s";
    const Sound sound = findSound(take, 2000);
    EXPECT_LT(sound.begin, 2.5 * kRate);
    const double heardDb =
        audiotest::levelDb(take, static_cast<double>(sound.begin) / kRate + 0.5, 2.0, kRate);
    EXPECT_NEAR(heardDb, playedDb, 0.5);
}

TEST_F(PulseEngineTest, SpeakerAndMicrophoneVolumesScaleTheRecordedLevel) {
    // Half the speaker scalar is -18 dB on the server's cubic scale; the microphone at its
    // mixer-only default, 9215 on its -6..+6 dB scale.
    ASSERT_EQ(endpoints.SetSpeakerVolume(32768), 0);
    ASSERT_EQ(endpoints.SetMicrophoneVolume(9215), 0);
    const double speakerDb = 60.0 * std::log10(32768 / 65535.0);
    const double micDb = -6.0 + 12.0 * 9215 / 65535.0;
    const auto take = playAndRecord();
    EXPECT_EQ(boxes->count(), 0u);

    const Sound sound = findSound(take, 200);
    ASSERT_GT(sound.end, sound.begin) << "nothing was recorded";
    const double heardDb =
        audiotest::levelDb(take, static_cast<double>(sound.begin) / kRate + 0.5, 2.0, kRate);
    EXPECT_NEAR(heardDb, playedDb + speakerDb + micDb, 0.5);
}

// The unit's microphone taken from a run: the run ends as a recording fault, never as a run that
// recorded another device (the server would move the stream to its default microphone). (A
// suspended microphone records nothing, which ends a run as well; the wave device's own tests
// show that it ends the stream.)
enum class MicLoss { Unloaded, Killed, ServerRestarted };

class PulseEngineLossTest : public PulseEngineTest, public testing::WithParamInterface<MicLoss> {};

TEST_P(PulseEngineLossTest, ARunWhoseMicrophoneIsTakenEndsAsARecordingFault) {
    // A spare unit, which the case may take away.
    std::vector<std::string> modules;
    for (const char* module :
         {"module-null-sink sink_name=spare_out rate=48000 sink_properties=device.description=SpareSpeaker",
          "module-remap-source source_name=spare_in master=spare_out.monitor "
          "source_properties=device.description=SpareMicrophone"}) {
        const std::string index = s_server->pactlOutput(std::string("load-module ") + module);
        modules.push_back(index.substr(0, index.find('\n')));
    }
    {
        CWizardAudio engine(devices);
        engine.m_playFile = playFile;
        engine.m_recordFile = dir.file("take.wav");
        engine.m_waveOutName = "SpareSpeaker";
        engine.m_waveInName = "SpareMicrophone";
        engine.m_testMode = AUDIO_MODE_PLAY_RECORD;
        platform::NotifyQueue queue;
        ASSERT_EQ(engine.Start(&queue), 1);
        const auto waitFor = [&queue](std::uint32_t message) {
            for (int waited = 0; waited < 100; ++waited) {
                if (auto taken = queue.take(100); taken && taken->message == message) {
                    return true;
                }
            }
            return false;
        };
        EXPECT_TRUE(waitFor(WM_AUDIO_LEVEL));  // the recording is under way
        switch (GetParam()) {
            case MicLoss::Unloaded:
                EXPECT_EQ(s_server->pactl("unload-module " + modules[1]), 0);
                break;
            case MicLoss::Killed: {
                const auto streams = s_server->clientStreams("source-outputs");
                EXPECT_EQ(streams.size(), 1u);
                EXPECT_TRUE(!streams.empty() && s_server->killStream("source-outputs", streams[0]));
                break;
            }
            case MicLoss::ServerRestarted:
                EXPECT_TRUE(s_server->restart()) << s_server->failure();
                break;
        }
        EXPECT_TRUE(waitFor(WM_AUDIO_DONE));
        EXPECT_EQ(engine.Stop(), 1);
        EXPECT_NE(engine.RecordingFault(), "");
        const auto shown = boxes->shown();
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](const platform::MessageBoxRequest& box) {
            return box.text == "Unable to open the microphone";
        }));
    }
    for (auto module = modules.rbegin(); module != modules.rend(); ++module) {
        s_server->pactl("unload-module " + *module);  // those the case left
    }
    if (GetParam() == MicLoss::ServerRestarted) {
        // The devices are found again on the server that came back.
        boxes->clear();
        playAndRecord();
        EXPECT_EQ(boxes->count(), 0u);
    }
}

std::string micLossName(const testing::TestParamInfo<MicLoss>& info) {
    static const char* const kNames[] = {"Unloaded", "Killed", "ServerRestarted"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(PulseMicLosses, PulseEngineLossTest,
                         testing::Values(MicLoss::Unloaded, MicLoss::Killed, MicLoss::ServerRestarted),
                         micLossName);

}  // namespace

namespace {

// A microphone muted on the server records digital silence: the echo recording holds no sound on
// its microphone channel from start to end, so it gives no figure.
TEST_F(PulseEngineTest, AMutedMicrophoneGivesAnEchoRecordingWithoutSound) {
    ASSERT_EQ(s_server->pactl("set-source-mute qnlr_a_mic 1"), 0);
    // Two channels of the tone, past the end of the window (2.2 s to 4.0 s).
    std::vector<std::int16_t> tone;
    for (std::size_t n = 0; n < static_cast<std::size_t>(4.3 * kRate); ++n) {
        const auto value = static_cast<std::int16_t>(8192 * std::sin(2 * M_PI * 1000.0 * n / kRate));
        tone.insert(tone.end(), {value, value});
    }
    CWizardAudio engine(devices);
    engine.m_playFile = audiotest::writeWave(dir.file("echo-play.wav"), 2, kRate, tone);
    engine.m_recordFile = dir.file("Echo_Test.wav");
    engine.m_waveOutName = endpoints.GetSpeakerName();
    engine.m_waveInName = endpoints.GetMicrophoneName();
    engine.m_testMode = AUDIO_MODE_PLAY_RECORD;
    platform::NotifyQueue queue;
    ASSERT_EQ(engine.Start(&queue), 1);
    bool done = false;
    for (int waited = 0; waited < 150 && !done; ++waited) {
        const auto message = queue.take(100);
        done = message && message->message == WM_AUDIO_DONE;
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(engine.Stop(), 1);
    EXPECT_EQ(engine.EchoSoundFault(false),
              "The recording " + dir.file("Echo_Test.wav") + " holds no sound on its microphone channel.");
    EXPECT_EQ(s_server->pactl("set-source-mute qnlr_a_mic 0"), 0);
}

}  // namespace
