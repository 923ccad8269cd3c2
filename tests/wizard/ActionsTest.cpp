// The action buttons of the speaker and microphone pages and the end of their runs, on
// simulated units.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "audio/CWaveFileReader.h"
#include "tests/mail/FakeSmtpServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"

namespace {

using Words = std::vector<std::uint16_t>;

class Actions : public WizardFixture {
protected:
    // The dialog on `model`, Next pressed until `page` (1, 2 or 5). The files that Playback and
    // Listen play are in place, and Playback and Listen are enabled as after a recording kept
    // and an echo test; without keptThisSession the recording is one an earlier session left.
    void openPage(int page, const std::string& model = "brevik-kr600",
                  sim::SimAudioConfig audio = fastAudio()) {
        start(model, std::move(audio));
        for (int i = 0; i < 3 && dlg->m_page != page; ++i) {
            click(dlg->m_nextButton);
        }
        ASSERT_EQ(dlg->m_page, page);
        for (const char* file : {"WaveFiles/MicRecorded.wav", "WaveFiles/Echo_Test.wav"}) {
            std::filesystem::create_directories(std::filesystem::path(dlg->m_dataDir + file).parent_path());
            std::filesystem::copy_file(dlg->m_installDir + "WaveFiles/VoicePlayback.wav",
                                       dlg->m_dataDir + file,
                                       std::filesystem::copy_options::overwrite_existing);
        }
        dlg->m_micRecordingKept = keptThisSession;
        if (page == PAGE_ECHO_TEST || (page == PAGE_MICROPHONE_TEST && keptThisSession)) {
            dlg->m_secondActionButton->setEnabled(true);
        }
    }
    bool keptThisSession = true;

    // Empty for a folder, which a stream cannot read.
    static std::string fileBytes(const std::string& path) {
        if (!std::filesystem::is_regular_file(path)) {
            return {};
        }
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string recording() const { return dlg->m_dataDir + "WaveFiles/MicRecorded.wav"; }

    QTimer* recordLimitTimer() const {
        for (QTimer* timer : dlg->findChildren<QTimer*>()) {
            if (timer->interval() == kRecordLimitMs) {
                return timer;
            }
        }
        return nullptr;
    }

    // Register writes keep only their 0x80 bit (the loopback bit set or cleared); every other
    // word stays whole.
    static Words loopbackTokens(const Words& words) {
        Words out;
        for (const auto w : words) {
            out.push_back(w >= 0x5000 && w < 0x5800 ? static_cast<std::uint16_t>(w & 0xFF80) : w);
        }
        return out;
    }
};

TEST_F(Actions, DefaultVolumesOnlyRaisesTheRequest) {
    start();
    const auto from = mark();
    click(dlg->m_actionButton);
    EXPECT_TRUE(dlg->m_defaultVolumesRequested);
    EXPECT_FALSE(dlg->m_audio.IsRunning());
    EXPECT_TRUE(commandWordsSince(from).empty());
}

struct HubCase {
    const char* name;
    std::string model;
    bool refused;
};

class HubActions : public Actions, public ::testing::WithParamInterface<HubCase> {};

TEST_P(HubActions, AHubWithoutAUnitRefusesEveryAction) {
    const auto& c = GetParam();
    start(c.model);
    dlg->m_page = PAGE_SPEAKER_TEST;
    dlg->m_secondActionButton->setEnabled(true);
    click(dlg->m_secondActionButton);
    EXPECT_EQ(dlg->m_playing, !c.refused);
    click(dlg->m_actionButton);
    ASSERT_EQ(boxes->count(), c.refused ? 2u : 0u);
    if (c.refused) {
        const auto box = boxes->shown().front();
        EXPECT_EQ(box.caption, "Probe Guide");
        EXPECT_EQ(box.text, "You are connected to Quenlor Power Hub \n\rwhich has no attached device!");
        EXPECT_EQ(box.style, platform::mb::kIconWarning);
        EXPECT_FALSE(dlg->m_audio.IsRunning());
    }
}

INSTANTIATE_TEST_SUITE_P(Hubs, HubActions,
                         ::testing::Values(HubCase{"alone", "velmar-controller", true},
                                           HubCase{"withUnit", "velmar-controller-with-unit", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Captions and enablings while a button's run is active; the same button stops it.
struct RunCase {
    const char* name;
    int page;
    bool second;             // the second action button is pressed
    const char* runCaption;  // of the pressed button while running
    int runPage;
    int runMode;
    const char* idleCaption;  // of the pressed button afterwards
    bool runsAfterStop;       // the monitoring run resumes
    std::string playFile;     // in the installation folder on page 1, else in the data folder
};

class ActionRuns : public Actions, public ::testing::WithParamInterface<RunCase> {};

TEST_P(ActionRuns, CaptionsAndEnablingsWhileRunning) {
    const auto& c = GetParam();
    openPage(c.page);
    QPushButton* pressed = c.second ? dlg->m_secondActionButton : dlg->m_actionButton;
    QPushButton* other = c.second ? dlg->m_actionButton : dlg->m_secondActionButton;
    const bool recording = c.runPage == PAGE_RECORDING;

    click(pressed);
    EXPECT_EQ(pressed->text(), c.runCaption);
    EXPECT_TRUE(pressed->isEnabled());
    EXPECT_FALSE(other->isEnabled());
    EXPECT_EQ(dlg->m_page, c.runPage);
    EXPECT_EQ(dlg->m_audio.m_testMode, c.runMode);
    EXPECT_EQ(dlg->m_audio.m_playFile,
              (c.page == PAGE_SPEAKER_TEST ? dlg->m_installDir : dlg->m_dataDir) + c.playFile);
    EXPECT_EQ(dlg->m_playing, !recording);
    // The speaker page keeps the microphone slider disabled.
    EXPECT_EQ(dlg->m_micSlider->isEnabled(), c.page == PAGE_MICROPHONE_TEST && !recording);
    EXPECT_EQ(dlg->m_recordingGroup->isEnabled(), c.page == PAGE_MICROPHONE_TEST && !recording);
    EXPECT_TRUE(dlg->m_audio.IsRunning());

    click(pressed);
    EXPECT_EQ(pressed->text(), c.idleCaption);
    EXPECT_TRUE(other->isEnabled());
    EXPECT_EQ(dlg->m_page, c.page);
    EXPECT_FALSE(dlg->m_playing);
    EXPECT_EQ(dlg->m_micSlider->isEnabled(), c.page == PAGE_MICROPHONE_TEST);
    EXPECT_EQ(dlg->m_audio.IsRunning(), c.runsAfterStop);
}

// A run that cannot start (its play file is missing, its recording cannot be created) shows the
// engine's box and leaves the page as the button's Stop leaves it.
TEST_P(ActionRuns, ARunThatCannotStartLeavesThePageIdle) {
    const auto& c = GetParam();
    openPage(c.page);
    dlg->m_installDir = dataHome.path() + "/nothing-installed/";
    std::filesystem::remove(dlg->m_dataDir + c.playFile);
    if (c.runPage == PAGE_RECORDING) {
        // Record plays nothing: its run cannot start when the recording cannot be created.
        dlg->m_audio.m_recordFile = dataHome.path() + "/no-data-folder/MicRecorded.wav";
    }
    QPushButton* pressed = c.second ? dlg->m_secondActionButton : dlg->m_actionButton;
    QPushButton* other = c.second ? dlg->m_actionButton : dlg->m_secondActionButton;

    click(pressed);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(pressed->text(), c.idleCaption);
    EXPECT_TRUE(other->isEnabled());
    EXPECT_EQ(dlg->m_page, c.page);
    EXPECT_FALSE(dlg->m_playing);
    EXPECT_EQ(dlg->m_audio.IsRunning(), c.runsAfterStop);
}

// A detection after a device change lays the page out again; the running action keeps its
// captions and enablings.
TEST_P(ActionRuns, RedetectionKeepsTheRunningCaptions) {
    const auto& c = GetParam();
    openPage(c.page);
    QPushButton* pressed = c.second ? dlg->m_secondActionButton : dlg->m_actionButton;
    QPushButton* other = c.second ? dlg->m_actionButton : dlg->m_secondActionButton;
    click(pressed);
    dlg->OnTimer(TIMER_REDETECT);
    EXPECT_EQ(pressed->text(), c.runCaption);
    EXPECT_TRUE(pressed->isEnabled());
    EXPECT_FALSE(other->isEnabled());
    EXPECT_EQ(dlg->m_page, c.runPage);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, ActionRuns,
    ::testing::Values(RunCase{"playVoice", 1, false, "Stop", 1, AUDIO_MODE_PLAY, "Play Voice", false,
                              "WaveFiles/VoicePlayback.wav"},
                      RunCase{"playMusic", 1, true, "Stop", 1, AUDIO_MODE_PLAY, "Play Music", false,
                              "WaveFiles/MusicPlayback.wav"},
                      RunCase{"record", 2, false, "Stop Recording", PAGE_RECORDING, AUDIO_MODE_RECORD,
                              "Record", true, "WaveFiles/MicRecorded.wav"},
                      RunCase{"playback", 2, true, "Stop", PAGE_PLAYING_RECORDING, AUDIO_MODE_PLAYBACK,
                              "Playback", true, "WaveFiles/MicRecorded.wav"},
                      // Listen plays the echo recording by the name the echo test gives it.
                      RunCase{"listen", 5, true, "Stop", PAGE_LISTENING_ECHO, AUDIO_MODE_PLAY_FROM_2S,
                              "Listen", false, "WaveFiles/Echo_Test.wav"}),
    [](const auto& info) { return std::string(info.param.name); });

// The end of a run returns to its page and lays it out.
struct EndCase {
    const char* name;
    int page;
    bool second;
    const char* caption;  // of the pressed button after the page's layout
};

class RunEnds : public Actions, public ::testing::WithParamInterface<EndCase> {};

TEST_P(RunEnds, BackOnTheirPage) {
    const auto& c = GetParam();
    auto audio = fastAudio();
    audio.speedFactor = 32.0;  // the whole play file is played
    openPage(c.page, "brevik-kr600", audio);
    QPushButton* pressed = c.second ? dlg->m_secondActionButton : dlg->m_actionButton;
    click(pressed);
    ASSERT_TRUE(dlg->m_playing);
    ASSERT_TRUE(waitUntil([&] { return !dlg->m_playing; }, 20000));
    EXPECT_EQ(dlg->m_page, c.page);
    EXPECT_EQ(pressed->text(), c.caption);
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());
    EXPECT_FALSE(dlg->m_audio.IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Pages, RunEnds,
                         ::testing::Values(EndCase{"playVoice", 1, false, "Play Voice"},
                                           EndCase{"listen", 5, true, "Listen to Residual Echo"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Record and every way out of the recording, with the Ethernet loopback: what Record switched
// on is undone, whatever the check box says by then.
enum class RecordEnd { Button, Timer, UncheckedThenButton, Next, Back, Escape };

struct LoopbackCase {
    const char* name;
    std::string model;
    bool checked;
    RecordEnd end;
    Words record;
    Words stop;
};

class RecordLoopback : public Actions, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(RecordLoopback, CommandsOfRecordAndStop) {
    const auto& c = GetParam();
    openPage(2, c.model);
    dlg->m_loopbackCheck->setChecked(c.checked);

    auto from = mark();
    click(dlg->m_actionButton);
    EXPECT_EQ(loopbackTokens(commandWordsSince(from)), c.record);
    QTimer* limit = recordLimitTimer();
    ASSERT_NE(limit, nullptr);
    EXPECT_TRUE(limit->isActive());

    from = mark();
    switch (c.end) {
        case RecordEnd::Button:
            click(dlg->m_actionButton);
            break;
        case RecordEnd::Timer:
            dlg->OnTimer(TIMER_RECORD_LIMIT);
            break;
        case RecordEnd::UncheckedThenButton:
            dlg->m_loopbackCheck->setChecked(false);
            click(dlg->m_actionButton);
            break;
        case RecordEnd::Next:
            click(dlg->m_nextButton);
            break;
        case RecordEnd::Back:
            click(dlg->m_backButton);
            break;
        case RecordEnd::Escape:
            QTest::keyClick(dlg.get(), Qt::Key_Escape);
            break;
    }
    // The undo comes first; the page the way out leads to may send its own commands after it.
    const Words sent = loopbackTokens(commandWordsSince(from));
    ASSERT_GE(sent.size(), c.stop.size());
    EXPECT_EQ(Words(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(c.stop.size())), c.stop);
    EXPECT_FALSE(limit->isActive());
    if (c.end == RecordEnd::Button || c.end == RecordEnd::Timer || c.end == RecordEnd::UncheckedThenButton) {
        EXPECT_EQ(sent.size(), c.stop.size());
        EXPECT_EQ(dlg->m_page, PAGE_MICROPHONE_TEST);
        EXPECT_EQ(dlg->m_actionButton->text(), "Record");
        EXPECT_TRUE(dlg->m_secondActionButton->isEnabled());
        EXPECT_EQ(dlg->m_audio.m_testMode, AUDIO_MODE_MONITOR);
        EXPECT_TRUE(dlg->m_audio.IsRunning());
    }
    const sim::UnitState& unit = desktop->unitState();
    EXPECT_FALSE(unit.switchOn(0x01));
    EXPECT_FALSE(unit.switchOn(0x06));
    for (const int reg : {2, 3, 6}) {
        EXPECT_EQ(unit.reg(static_cast<std::uint8_t>(reg)) & 0x80, 0) << "register " << reg;
    }
    EXPECT_EQ(unit.routingSource(25).value_or(25), 25);
}

const Words kLoopbackOn = {0xF00E, 0xF017, 0x6200, 0x5280, 0xF015, 0x8606, 0x8601, 0x6300,
                           0x5380, 0x6300, 0x5380, 0x6300, 0x5380, 0x6600, 0x5680};
const Words kLoopbackOff = {0xF015, 0xF00E, 0xF017, 0x6200, 0x5200, 0x6300,
                            0x5300, 0x6600, 0x5600, 0x8401, 0x8406};

INSTANTIATE_TEST_SUITE_P(
    Models, RecordLoopback,
    ::testing::Values(
        LoopbackCase{"button", "brevik-kr600", true, RecordEnd::Button, kLoopbackOn, kLoopbackOff},
        LoopbackCase{"timer", "brevik-kr600", true, RecordEnd::Timer, kLoopbackOn, kLoopbackOff},
        LoopbackCase{"uncheckedWhileRecording", "brevik-kr600", true, RecordEnd::UncheckedThenButton,
                     kLoopbackOn, kLoopbackOff},
        LoopbackCase{"next", "brevik-kr600", true, RecordEnd::Next, kLoopbackOn, kLoopbackOff},
        LoopbackCase{"back", "brevik-kr600", true, RecordEnd::Back, kLoopbackOn, kLoopbackOff},
        LoopbackCase{"escape", "brevik-kr600", true, RecordEnd::Escape, kLoopbackOn, kLoopbackOff},
        LoopbackCase{"uncheckedKr600", "brevik-kr600", false, RecordEnd::Timer, {}, {}},
        LoopbackCase{"uncheckedTolvin", "tolvin-pstn", false, RecordEnd::Button, {}, {}},
        // Other models have no loopback, whatever the box says.
        LoopbackCase{"otherModel", "kr401", true, RecordEnd::Button, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// How a microphone recording ends: whole, or failed because the microphone cannot be opened or
// gives no sound, the data folder fills up, the unit goes away while it records, or a folder
// stands where the whole recording goes; ended by Stop Recording, the record limit, or Next
// (and Back to the page). A failed recording is told once, never replaces the recording kept
// (an earlier session's, or none), leaves Playback off while this session has kept none, and
// is not mailed; nothing of it is left, not even at the dialog's end.
enum class MicFault { None, OpenFails, NoSound, FullDisk, UnitGone, CannotKeep };

struct MicRecordingCase {
    const char* name;
    MicFault fault;
    bool earlier;  // an earlier session's recording is in place
    RecordEnd end;
    const char* cause;  // part of the box's text; null: no box
};

class MicRecordingEnds : public Actions, public ::testing::WithParamInterface<MicRecordingCase> {};

TEST_P(MicRecordingEnds, AFailedRecordingIsToldAndNeverReplacesTheOneKept) {
    const auto& c = GetParam();
    auto audio = fastAudio();
    if (c.fault == MicFault::OpenFails) {
        audio.unitOpenResult = platform::wave::kAllocated;
    }
    audio.microphoneDelivers = c.fault != MicFault::NoSound;
    audio.unitUnpluggedAfterMs = c.fault == MicFault::UnitGone ? 1500 : 0;
    keptThisSession = false;
    openPage(PAGE_MICROPHONE_TEST, "brevik-kr600", audio);
    EXPECT_FALSE(dlg->m_secondActionButton->isEnabled()) << "nothing of this session to play";
    const std::string folder = dlg->m_dataDir + "WaveFiles";
    if (!c.earlier) {
        std::filesystem::remove(recording());
    }
    if (c.fault == MicFault::CannotKeep) {
        std::filesystem::create_directory(recording());
    }
    const std::string earlierBytes = fileBytes(recording());
    const std::size_t boxesBefore = boxes->count();

    FullDataFolder fullFolder(c.fault == MicFault::FullDisk);
    const std::uint64_t framesBefore = desktop->waveDevices().microphoneFramesRecorded();
    click(dlg->m_actionButton);  // Record
    const bool seen = waitUntil(
        [&] {
            if (c.fault == MicFault::None || c.fault == MicFault::CannotKeep) {
                return desktop->waveDevices().microphoneFramesRecorded() >= framesBefore + 16000;
            }
            const int exit = dlg->m_audio.m_micExitCode;
            return !dlg->m_audio.RecordingFault().empty() || (exit != 0 && exit != MIC_EXIT_OK);
        },
        10000);
    const int page = dlg->m_page;
    switch (c.end) {
        case RecordEnd::Timer:
            dlg->OnTimer(TIMER_RECORD_LIMIT);
            break;
        case RecordEnd::Next:
            click(dlg->m_nextButton);
            EXPECT_EQ(dlg->m_page, PAGE_ECHO_TEST);
            click(dlg->m_backButton);
            break;
        default:
            click(dlg->m_actionButton);  // Stop Recording
            break;
    }
    fullFolder.lift();
    ASSERT_TRUE(seen);
    ASSERT_EQ(page, PAGE_RECORDING);

    std::vector<platform::MessageBoxRequest> told;
    for (const auto& box : boxes->shown()) {
        if (box.text.starts_with("The microphone recording could not be kept.\n")) {
            told.push_back(box);
        }
    }
    EXPECT_EQ(dlg->m_page, PAGE_MICROPHONE_TEST);
    const bool whole = c.fault == MicFault::None;
    EXPECT_EQ(dlg->m_secondActionButton->isEnabled(), whole);
    if (whole) {
        EXPECT_EQ(boxes->count(), boxesBefore);
        CWaveFileReader reader;
        ASSERT_EQ(reader.Open(recording()), 1);
        EXPECT_GT(reader.m_dataSize, 0u);
        EXPECT_NE(fileBytes(recording()), earlierBytes);
    } else {
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].caption, "Probe Guide");
        // The full disk is told in the system's words for EFBIG, which follow the session's language.
        const std::string cause = c.fault == MicFault::FullDisk ? std::strerror(EFBIG) : c.cause;
        EXPECT_NE(told[0].text.find(cause), std::string::npos) << told[0].text;
        EXPECT_EQ(told[0].style & platform::mb::kIconWarning, platform::mb::kIconWarning);
        EXPECT_EQ(fileBytes(recording()), earlierBytes);
        EXPECT_EQ(std::filesystem::exists(recording()), c.earlier || c.fault == MicFault::CannotKeep);
    }
    // The results mail attaches the recording only when this session kept one. Where a failed
    // recording leaves no file at its name, one is put there, which must stay out of the mail.
    if (!std::filesystem::is_regular_file(recording())) {
        std::filesystem::remove(recording());
        std::ofstream(recording(), std::ios::binary) << "RIFF another session";
    }
    FakeSmtpServer smtp;
    {
        CRegHelper settings;
        ASSERT_TRUE(settings.OpenKey("Software\\Kestu\\Quenlor Probe Guide"));
        settings.SetString("SMTP Server", "127.0.0.1");
        settings.SetString("SMTP Port", std::to_string(smtp.port()));
    }
    ASSERT_EQ(dlg->SendResultsEmail(), 1);
    smtp.waitDone();
    const std::string mail = smtp.data();
    EXPECT_NE(mail.find("name=\"Echo_Test.wav\""), std::string::npos);
    EXPECT_EQ(mail.find("name=\"MicRecorded.wav\"") != std::string::npos, whole);
    const std::string kept = recording();
    const std::string keptBytes = fileBytes(kept);
    dlg.reset();
    EXPECT_EQ(fileBytes(kept), keptBytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}),
              std::filesystem::exists(kept) ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MicRecordingEnds,
    ::testing::Values(
        MicRecordingCase{"wholeByButton", MicFault::None, false, RecordEnd::Button, nullptr},
        MicRecordingCase{"wholeLeftByNext", MicFault::None, true, RecordEnd::Next, nullptr},
        MicRecordingCase{"openFails", MicFault::OpenFails, true, RecordEnd::Button, "did not record"},
        MicRecordingCase{"noSound", MicFault::NoSound, false, RecordEnd::Timer,
                         "stopped sending sound while"},
        MicRecordingCase{"fullDisk", MicFault::FullDisk, true, RecordEnd::Button, "EFBIG"},
        MicRecordingCase{"fullDiskLeftByNext", MicFault::FullDisk, false, RecordEnd::Next, "EFBIG"},
        MicRecordingCase{"unitGone", MicFault::UnitGone, true, RecordEnd::Button,
                         "stopped sending sound while"},
        MicRecordingCase{"cannotBeKept", MicFault::CannotKeep, false, RecordEnd::Button,
                         "Unable to save the recording"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Actions, RecordingHoldsWhatTheMicrophoneHeardAndPlaybackPlaysIt) {
    auto audio = fastAudio();
    audio.acoustic.nearEndToneHz = 1000.0;
    audio.acoustic.nearEndToneDbfs = -20.0;
    openPage(2, "brevik-kr600", audio);
    std::filesystem::remove(recording());

    click(dlg->m_actionButton);
    // Stop once the file holds this much sound. It is written beside its name, which it takes
    // when complete.
    constexpr std::uintmax_t kSeenBytes = 64000;
    const auto recorded = [&] {
        std::uintmax_t largest = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dlg->m_dataDir + "WaveFiles")) {
            if (entry.path().filename().string().starts_with(".MicRecorded.wav.")) {
                std::error_code ignored;
                const auto size = std::filesystem::file_size(entry.path(), ignored);
                largest = std::max(largest, ignored ? 0 : size);
            }
        }
        return largest;
    };
    ASSERT_TRUE(waitUntil([&] { return recorded() >= kSeenBytes + 46; }, 10000));
    click(dlg->m_actionButton);

    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(recording()), 1);
    const std::uint32_t rate = reader.m_pFormat->samplesPerSec;
    const std::uint32_t channels = reader.m_pFormat->channels;
    const std::uint32_t frames = reader.m_dataSize / (2 * channels);
    const std::uint32_t seenFrames = kSeenBytes / (2 * channels);
    EXPECT_GE(frames, seenFrames);
    EXPECT_LE(frames, seenFrames + 2 * rate);
    std::vector<std::int16_t> samples(reader.m_dataSize / 2);
    reader.Read(samples.data(), static_cast<std::uint32_t>(samples.size() * 2));
    // Past the first 100 ms, the tone: -20 dBFS RMS.
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = rate / 10 * channels; i < samples.size(); i += channels, ++count) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    ASSERT_GT(count, 0u);
    EXPECT_NEAR(10.0 * std::log10(sum / count / (32768.0 * 32768.0)), -20.0, 0.5);

    const std::uint64_t playedBefore = desktop->waveDevices().speakerFramesPlayed();
    click(dlg->m_secondActionButton);
    EXPECT_EQ(dlg->m_audio.m_playFile, recording());
    EXPECT_EQ(dlg->m_page, PAGE_PLAYING_RECORDING);
    // The end of the playback returns to the microphone page and resumes the monitoring.
    ASSERT_TRUE(waitUntil([&] { return dlg->m_page == PAGE_MICROPHONE_TEST; }, 20000));
    EXPECT_FALSE(dlg->m_playing);
    EXPECT_EQ(dlg->m_secondActionButton->text(), "Playback");
    EXPECT_TRUE(dlg->m_actionButton->isEnabled());
    EXPECT_TRUE(dlg->m_audio.IsRunning());
    const auto played = desktop->waveDevices().speakerFramesPlayed() - playedBefore;
    EXPECT_NEAR(static_cast<double>(played), static_cast<double>(frames), rate / 10.0);
}

}  // namespace
