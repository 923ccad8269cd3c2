// Every way out of a running echo test leaves the unit as it was before the test, and a test
// that could not measure gives no verdict.
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "audio/CWaveFileReader.h"
#include "audio/CWaveFileWriter.h"
#include "audio/EchoFigures.h"
#include "mail/MailText.h"
#include "sim/SimAcousticPath.h"

#include "tests/wizard/EchoTestSupport.h"

namespace {

// What the echo test changes on the unit: its four test switches and the two recorded channels.
struct UnitTestState {
    std::map<int, bool> switches;
    int left = 0;
    int right = 0;
    bool operator==(const UnitTestState&) const = default;
};

std::string fileBytes(const std::string& path);

// A recording an earlier test kept; its bytes, which no later run that did not finish may change.
std::string keepEarlierRecording(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    CWaveFileWriter writer;
    const std::vector<std::int16_t> sound(2 * 1000, 1234);
    if (writer.Create(path, CWaveFormat(2, 32000, 16)) == 0 ||
        !writer.Write(sound.data(), static_cast<int>(sound.size() * 2)) || !writer.Close()) {
        return {};
    }
    return fileBytes(path);
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Temporary recordings left in a folder.
int partFiles(const std::filesystem::path& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        count += entry.path().extension() == ".part" ? 1 : 0;
    }
    return count;
}

UnitTestState testState(const sim::UnitState& unit) {
    UnitTestState state;
    for (const int sw : {0x01, 0x06, 0x0E, 0x15}) {
        state.switches[sw] = unit.switchOn(static_cast<std::uint8_t>(sw));
    }
    state.left = unit.routingSource(25).value_or(25);
    state.right = unit.routingSource(26).value_or(26);
    return state;
}

enum class WayOut { Stop, Next, Back, Escape, Close, Destructor, FailedStart, RefusedChainStep, RadioChange };

struct WayOutCase {
    WayOut way;
    const char* wayName;
    const char* model;
};

class EchoWayOut : public EchoFixture, public ::testing::WithParamInterface<WayOutCase> {};

TEST_P(EchoWayOut, LeavesTheUnitAsItWasBefore) {
    const WayOutCase& c = GetParam();
    const bool model83 = std::string(c.model) == "brevik-kr600";
    openEchoPage(c.model);
    dlg->ShowPage();
    if (c.way == WayOut::FailedStart) {
        dlg->m_installDir = dataHome.path() + "/nothing-installed/";
    }
    sim::UnitState& unit = desktop->unitState();
    unit.setSwitch(0x15, false);
    unit.setSwitch(0x0E, false);
    const UnitTestState before = testState(unit);
    dlg->m_measureDelayRadio->setChecked(true);
    const std::string kept = dlg->m_dataDir + "WaveFiles/Echo_Test.wav";
    const std::string keptBytes = keepEarlierRecording(kept);
    ASSERT_FALSE(keptBytes.empty());
    const auto from = reportMark();

    dlg->OnActionButton();
    const int runningStep = model83 ? ECHO_STEP_FAR_END : ECHO_STEP_ECHO;
    if (c.way != WayOut::FailedStart) {
        ASSERT_TRUE(waitUntil([&] { return dlg->m_playing && dlg->m_echoStep == runningStep; }, 10000));
        ASSERT_NE(testState(unit), before) << "the test has switched the unit";
    }
    switch (c.way) {
        case WayOut::Stop:
            dlg->OnActionButton();
            break;
        case WayOut::Next:
            click(dlg->m_nextButton);
            break;
        case WayOut::Back:
            click(dlg->m_backButton);
            break;
        case WayOut::Escape:
            QTest::keyClick(dlg.get(), Qt::Key_Escape);
            break;
        case WayOut::Close:
            dlg->show();
            dlg->close();
            break;
        case WayOut::Destructor:
            dlg.reset();
            break;
        case WayOut::FailedStart:
            break;
        case WayOut::RefusedChainStep:
            // The far-end run plays; its chained start finds an empty manual delay.
            dlg->m_manualDelayRadio->setChecked(true);
            dlg->m_delayEdit->setText("");
            ASSERT_TRUE(
                waitUntil([&] { return !dlg->m_playing && dlg->m_echoStep == ECHO_STEP_NONE; }, 10000));
            ASSERT_EQ(boxes->count(), 1u);
            EXPECT_EQ(boxes->shown().front().caption, "Probe Guide");
            break;
        case WayOut::RadioChange:
            // Neither the measurement nor a typed delay is chosen any more: the chain cannot go on.
            dlg->m_keepDelayRadio->setChecked(true);
            ASSERT_TRUE(
                waitUntil([&] { return !dlg->m_playing && dlg->m_echoStep == ECHO_STEP_NONE; }, 10000));
            break;
    }
    processEvents();

    EXPECT_EQ(testState(unit), before);
    const Trace sent = trace(from);
    // The restore runs once: switches 0x15 and 0x0E, off before the test, are switched off once.
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "8415"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "840E"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "B102"), 0);
    if (dlg) {
        EXPECT_FALSE(dlg->m_echoTestActive);
        EXPECT_FALSE(dlg->m_playing);
        EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
        // Nothing of the ended test arrives later: its threads were joined as it ended, so what
        // they posted is handled now, and none of the dialog's timers runs.
        const auto after = reportMark();
        drainWithNoTimerRunning();
        EXPECT_EQ(trace(after), Trace{});
    }
    // The unit is restored once: the end of the dialog restores nothing more.
    if (dlg) {
        const auto beforeClose = reportMark();
        dlg->reject();
        EXPECT_EQ(trace(beforeClose), Trace{});
    }
    // The run that did not finish replaced nothing and left nothing.
    EXPECT_EQ(fileBytes(kept), keptBytes);
    EXPECT_EQ(partFiles(std::filesystem::path(kept).parent_path()), 0);
}

std::vector<WayOutCase> wayOutCases() {
    const std::vector<std::pair<WayOut, const char*>> common = {{WayOut::Stop, "Stop"},
                                                                {WayOut::Next, "Next"},
                                                                {WayOut::Back, "Back"},
                                                                {WayOut::Escape, "Escape"},
                                                                {WayOut::Close, "Close"},
                                                                {WayOut::Destructor, "Destructor"},
                                                                {WayOut::FailedStart, "FailedStart"}};
    std::vector<WayOutCase> cases;
    for (const char* model : {"brevik-kr600", "velmar-old"}) {
        for (const auto& [way, name] : common) {
            cases.push_back({way, name, model});
        }
    }
    // Only model 83 chains runs.
    cases.push_back({WayOut::RefusedChainStep, "RefusedChainStep", "brevik-kr600"});
    cases.push_back({WayOut::RadioChange, "RadioChange", "brevik-kr600"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Ways, EchoWayOut, ::testing::ValuesIn(wayOutCases()), [](const auto& info) {
    std::string model = info.param.model;
    std::erase(model, '-');
    return std::string(info.param.wayName) + "_" + model;
});

// A detection after a device change while the test records keeps "Stop" on the button.
TEST_F(EchoFixture, RedetectionKeepsTheRunningTestsCaption) {
    openEchoPage();
    dlg->ShowPage();
    dlg->OnActionButton();
    ASSERT_TRUE(dlg->m_playing);
    dlg->OnTimer(TIMER_REDETECT);
    EXPECT_EQ(dlg->m_actionButton->text(), "Stop");
    EXPECT_TRUE(dlg->m_playing);
}

// A play file of a 440 Hz tone lasting `seconds`, silent from `pauseFrom` to `pauseTo` seconds, in
// a folder that becomes the dialog's installation folder.
bool installTone(CProbeGuideDlg& dlg, const std::string& folder, double seconds, double pauseFrom = 0.0,
                 double pauseTo = 0.0) {
    dlg.m_installDir = folder + "/";
    std::filesystem::create_directories(dlg.m_installDir + "WaveFiles");
    std::vector<std::int16_t> sound;
    for (int n = 0; n < static_cast<int>(seconds * 32000); ++n) {
        const double t = n / 32000.0;
        const double value = t >= pauseFrom && t < pauseTo ? 0.0 : 8000 * std::sin(2 * M_PI * 440 * t);
        sound.insert(sound.end(), 2, static_cast<std::int16_t>(value));
    }
    CWaveFileWriter play;
    return play.Create(dlg.m_installDir + "WaveFiles/VoicePlayback.wav", CWaveFormat(2, 32000, 16)) == 1 &&
           play.Write(sound.data(), static_cast<int>(sound.size() * 2)) && play.Close();
}

// A test that could not measure: the unit stopped answering (before the test or while it
// records), the recording could not be written (a full data folder), the unit's sound devices
// went away while it recorded, its speaker never played, or the play file ends before the
// stage marks.
enum class Fault {
    SilentBeforeTest,
    SilentMidRun,
    FullDisk,
    VanishedDevice,
    SpeakerNeverPlays,
    ShortPlayFile
};

struct NoVerdictCase {
    Fault fault;
    const char* name;
    const char* cause;  // part of the box's text
    bool namesRecording = true;
};

class EchoNoVerdict : public EchoFixture, public ::testing::WithParamInterface<NoVerdictCase> {};

TEST_P(EchoNoVerdict, SaysWhyAndGivesNoVerdict) {
    const NoVerdictCase& c = GetParam();
    const bool silent = c.fault == Fault::SilentBeforeTest || c.fault == Fault::SilentMidRun;
    auto audio = fastAudio();
    if (c.fault == Fault::VanishedDevice) {
        audio.unitUnpluggedAfterMs = 1500;
    }
    audio.speakerPlays = c.fault != Fault::SpeakerNeverPlays;
    openEchoPage("tolvin-pstn", audio);
    if (c.fault == Fault::ShortPlayFile) {
        // A damaged play file that ends at 1.5 s, before both stage marks.
        ASSERT_TRUE(installTone(*dlg, dataHome.path() + "/short-install", 1.5));
    }
    desktop->unitState().setSwitch(0x15, false);
    const UnitTestState before = testState(desktop->unitState());
    const int level = dlg->m_hidProtocol.m_protocolVersion;
    const std::string recording = dlg->m_audio.m_recordFile;
    const std::string keptBytes = keepEarlierRecording(recording);
    ASSERT_FALSE(keptBytes.empty());

    FullDataFolder fullFolder(c.fault == Fault::FullDisk);
    sim::SimFaults noAnswer;
    noAnswer.silentForever = true;
    std::size_t silentFrom = 0;
    if (c.fault == Fault::SilentBeforeTest) {
        silentFrom = reportMark();
        unitHid().setFaults(noAnswer);
    }
    dlg->OnActionButton();
    if (c.fault == Fault::SilentMidRun) {
        ASSERT_TRUE(waitUntil([&] { return dlg->m_playing; }, 10000));
        silentFrom = reportMark();
        unitHid().setFaults(noAnswer);
    }
    const bool ended = waitUntil([&] { return !dlg->m_playing && !dlg->m_echoTestActive; }, 30000);
    fullFolder.lift();
    ASSERT_TRUE(ended);

    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
    EXPECT_TRUE(dlg->m_resultPicture->isHidden());
    // The recording kept before stays, and nothing else is left.
    EXPECT_EQ(fileBytes(recording), keptBytes);
    EXPECT_EQ(partFiles(std::filesystem::path(recording).parent_path()), 0);
    if (c.fault == Fault::SilentBeforeTest) {
        EXPECT_EQ(desktop->waveDevices().speakerFramesPlayed(), 0u) << "no run starts";
    }
    if (c.fault == Fault::ShortPlayFile) {
        EXPECT_EQ(boxes->count(), 1u) << "nothing is read beyond the recording's end";
    }
    ASSERT_GE(boxes->count(), 1u);
    const auto box = boxes->shown().back();
    EXPECT_EQ(box.caption, "Echo Test");
    // The full disk is told in the system's words for EFBIG, which follow the session's language.
    const std::string cause = c.fault == Fault::FullDisk ? std::strerror(EFBIG) : c.cause;
    EXPECT_NE(box.text.find(cause), std::string::npos) << box.text;
    EXPECT_NE(box.text.find("no verdict"), std::string::npos) << box.text;
    if (silent) {
        EXPECT_EQ(dlg->m_hidProtocol.m_protocolVersion, level);
        // One command waits out its time-out, in its two attempts; nothing more is sent.
        std::vector<std::vector<std::uint8_t>> awaited;
        const auto reports = unitHid().writtenReports();
        for (std::size_t i = silentFrom; i < reports.size(); ++i) {
            const Trace token{describe(reports[i])};
            if (token != Trace{"8401"} && token != Trace{"8406"}) {  // the stage marks await no reply
                awaited.push_back(reports[i]);
            }
        }
        ASSERT_EQ(awaited.size(), 2u);
        EXPECT_EQ(awaited.front(), awaited.back());
    } else {
        if (c.namesRecording) {
            EXPECT_NE(box.text.find(recording), std::string::npos) << box.text;
        }
        EXPECT_EQ(testState(desktop->unitState()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EchoNoVerdict,
    ::testing::Values(NoVerdictCase{Fault::SilentBeforeTest, "SilentBeforeTest", "stopped answering"},
                      NoVerdictCase{Fault::SilentMidRun, "SilentMidRun", "stopped answering"},
                      NoVerdictCase{Fault::FullDisk, "FullDisk", "File too large"},
                      NoVerdictCase{Fault::VanishedDevice, "VanishedDevice", "sound device", false},
                      NoVerdictCase{Fault::SpeakerNeverPlays, "SpeakerNeverPlays",
                                    "stopped taking sound while it played", false},
                      NoVerdictCase{Fault::ShortPlayFile, "ShortPlayFile", "is too short: it ends before "}),
    [](const auto& info) { return std::string(info.param.name); });

// The recording is judged once it shows that the microphone and the far end worked: with the
// stages, sound on both channels before the first stage command; on an older unit, sound
// somewhere in the recording. Digital silence that the canceller leaves after that is a level
// of -1000 dB for the figures to judge. A microphone that records nothing, or a far end silent
// before the first stage command, gives no verdict.
struct SoundCase {
    const char* name;
    bool oldUnit;
    sim::SilentStage silentStage;            // the canceller's stage that sends digital silence
    std::optional<double> comfortNoiseDbfs;  // sent by the working non-linear stage
    bool muted;                              // the microphone records digital silence throughout
    std::pair<double, double> farEndPause;   // seconds of the play file that are silent; {0, 0}: none
    const char* silentWindows;               // figures' windows of digital silence ("BC", "R")
    const char* fault;                       // the box after the recording's name; null: a verdict
};

class EchoSoundCheck : public EchoFixture, public ::testing::WithParamInterface<SoundCase> {};

TEST_P(EchoSoundCheck, JudgesOnceTheMicrophoneAndTheFarEndWorked) {
    const SoundCase& c = GetParam();
    auto audio = fastAudio();
    audio.acoustic.silentStage = c.silentStage;
    audio.acoustic.comfortNoiseDbfs = c.comfortNoiseDbfs;
    if (c.muted) {
        audio.acoustic.noiseFloorDbfs = -400.0;
        audio.acoustic.echoCouplingDbAtStep16 = -400.0;
    }
    if (c.oldUnit) {
        audio.acoustic.stageSwitchesSupported = false;
        openLevelZeroEchoPage(audio);
        ASSERT_LT(dlg->m_hidProtocol.m_protocolVersion, kEchoStageProtocolLevel);
    } else {
        openEchoPage("tolvin-pstn", audio);
    }
    const bool farEndPauses = c.farEndPause.second > 0.0;
    if (farEndPauses) {
        ASSERT_TRUE(installTone(*dlg, dataHome.path() + "/pause-install", 10.0, c.farEndPause.first,
                                c.farEndPause.second));
    }
    const std::string recording = dlg->m_audio.m_recordFile;
    const std::string keptBytes = keepEarlierRecording(recording);
    ASSERT_FALSE(keptBytes.empty());
    ASSERT_TRUE(runEchoTest());

    if (c.fault != nullptr) {
        EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
        EXPECT_TRUE(dlg->m_resultPicture->isHidden());
        ASSERT_EQ(boxes->count(), 1u);
        EXPECT_EQ(boxes->shown().front().text,
                  "The recording " + recording + c.fault + "\nThe echo test gives no verdict.");
        EXPECT_EQ(fileBytes(recording), keptBytes);
        return;
    }
    ASSERT_EQ(dlg->m_echoVerdict, VERDICT_PASS)
        << "LMS " << dlg->m_lmsEchoDb << " total " << dlg->m_totalEchoDb;
    EXPECT_EQ(boxes->count(), 0u);
    const auto silent = [&](char window) { return std::strchr(c.silentWindows, window) != nullptr; };
    std::string shown;
    if (c.oldUnit) {
        EXPECT_EQ(dlg->m_totalEchoDb == echo_figures::kSilentDb, silent('R')) << dlg->m_totalEchoDb;
        shown = "is " + mailtext::formatFixed(dlg->m_totalEchoDb, 5, 1) + "dB.";
    } else {
        // A silent window's -1000 dB puts the figure made from it near A + 1000.
        EXPECT_EQ(dlg->m_lmsEchoDb > 900.0, silent('B')) << dlg->m_lmsEchoDb;
        EXPECT_EQ(dlg->m_totalEchoDb > 900.0, silent('C')) << dlg->m_totalEchoDb;
        shown = "LMS: \t" + mailtext::formatFixed(dlg->m_lmsEchoDb, 5, 1) + " dB";
    }
    if (farEndPauses) {
        CWaveFileReader reader;
        ASSERT_EQ(reader.Open(recording), 1);
        const int rate = static_cast<int>(reader.m_pFormat->samplesPerSec);
        const std::uint32_t count = echo_figures::channelBytes(echo_figures::kWindowC.lengthSeconds, rate);
        std::vector<std::int16_t> both(count);
        ASSERT_EQ(reader.SeekData(2 * echo_figures::channelBytes(echo_figures::kWindowC.startSeconds, rate)),
                  1);
        ASSERT_EQ(reader.ReadChannel(both.data(), count, 2), count);
        EXPECT_EQ(echo_figures::levelOfSamples({both.data(), count / 2}), echo_figures::kSilentDb)
            << "the far end pauses in window C";
    }
    // The results box shows the figures as numbers.
    dlg->OnSecretTest();
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_NE(boxes->shown().front().text.find(shown), std::string::npos) << boxes->shown().front().text;
}

constexpr const char* kMutedWithStages = " holds no sound from 0.5 s to 2.0 s on its microphone channel.";
constexpr const char* kMutedOldUnit = " holds no sound on its microphone channel.";
constexpr const char* kFarEndSilentInA = " holds no sound from 0.5 s to 2.0 s on its far-end channel.";

INSTANTIATE_TEST_SUITE_P(
    Recordings, EchoSoundCheck,
    ::testing::Values(
        SoundCase{"PerfectInBAndC", false, sim::SilentStage::Adaptive, {}, false, {}, "BC", nullptr},
        SoundCase{"PerfectInCOnly", false, sim::SilentStage::NonLinear, {}, false, {}, "C", nullptr},
        SoundCase{"PerfectInBOnly", false, sim::SilentStage::Adaptive, -90.0, false, {}, "B", nullptr},
        SoundCase{"OldUnitSilentInR", true, sim::SilentStage::Adaptive, {}, false, {}, "R", nullptr},
        SoundCase{"FarEndPauseAfterA", false, sim::SilentStage::None, {}, false, {6.5, 8.2}, "", nullptr},
        SoundCase{"MutedWithStages", false, sim::SilentStage::None, {}, true, {}, "", kMutedWithStages},
        // The comfort noise of the non-linear stage is the only sound, from the second stage command.
        SoundCase{"MutedUntilStages", false, sim::SilentStage::None, -60.0, true, {}, "", kMutedWithStages},
        // The play file is silent until 2.5 s; the microphone still records its own noise.
        SoundCase{
            "FarEndSilentInA", false, sim::SilentStage::None, {}, false, {0.0, 2.5}, "", kFarEndSilentInA},
        SoundCase{"MutedOldUnit", true, sim::SilentStage::None, {}, true, {}, "", kMutedOldUnit}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
