// The echo test on simulated units: the chain of far-end, delay and echo runs of model 83, the
// verdicts, and the tests that end without one.
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "audio/CWaveFileWriter.h"
#include "sim/SimAcousticPath.h"
#include "tests/wizard/EchoTestSupport.h"

namespace {

const Trace kSwitchesOn = {"8615", "860E", "8606", "8601"};
const Trace kRecordRouting = {"route 25,25", "route 26,26"};

Trace join(std::initializer_list<Trace> parts) {
    Trace out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bool showsPicture(const QLabel* label, const QPixmap& expected) {
    return !label->isHidden() && label->pixmap().cacheKey() == expected.cacheKey();
}

TEST_F(EchoFixture, MeasureSpeakerDelayChainsThreeRunsInTheUnitsCommandOrder) {
    openEchoPage();
    // Noise reduction (0x15) was off before the test: the end switches it off again.
    desktop->unitState().setSwitch(0x15, false);
    dlg->m_measureDelayRadio->setChecked(true);
    const auto from = reportMark();
    ASSERT_TRUE(runEchoTest());

    // The measured delay is the simulated echo delay less the estimator's correction (5 or 15).
    const int echoMs = static_cast<int>(sim::AcousticConfig{}.acousticDelayMs);
    const int stored = desktop->unitState().parameter(0, 13, 0).value();
    EXPECT_GE(stored, echoMs - 15);
    EXPECT_LE(stored, echoMs - 5);
    EXPECT_EQ(dlg->m_speakerDelay, std::to_string(stored));

    const Trace expected = join({{"8095", "808E"},
                                 kSwitchesOn,
                                 {"route 31,25", "route 32,26", "8401", "connect"},
                                 kRecordRouting,
                                 kSwitchesOn,
                                 {"route 31,25", "route 8,26", "8401", "connect"},
                                 kRecordRouting,
                                 {"delay[0]=" + std::to_string(stored), "B102", "0636", "connect"},
                                 kSwitchesOn,
                                 kRecordRouting,
                                 {"8401", "8406", "connect"},
                                 kRecordRouting,
                                 {"8415"}});
    EXPECT_EQ(trace(from), expected);
    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_PASS);
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_NONE);
    EXPECT_TRUE(showsPicture(dlg->m_resultPicture, dlg->m_passBitmap));
    EXPECT_EQ(dlg->m_actionButton->text(), "Test");
    EXPECT_EQ(boxes->count(), 0u);
}

struct VerdictCase {
    const char* name;
    sim::EchoCancellerFault fault;
    int verdict;
};

class EchoVerdict : public EchoFixture, public ::testing::WithParamInterface<VerdictCase> {};

// A model without the speaker delay goes straight to the echo run and is judged on its echo
// reduction.
TEST_P(EchoVerdict, EchoReductionJudgesTheCanceller) {
    auto audio = fastAudio();
    audio.acoustic.fault = GetParam().fault;
    openEchoPage("tolvin-pstn", audio);
    const auto from = reportMark();
    ASSERT_TRUE(runEchoTest());
    EXPECT_EQ(
        trace(from),
        join({{"8095", "808E"}, kSwitchesOn, kRecordRouting, {"8401", "8406", "connect"}, kRecordRouting}));
    EXPECT_EQ(dlg->m_echoVerdict, GetParam().verdict)
        << "LMS " << dlg->m_lmsEchoDb << " total " << dlg->m_totalEchoDb;
    EXPECT_TRUE(showsPicture(dlg->m_resultPicture,
                             GetParam().verdict == VERDICT_PASS ? dlg->m_passBitmap : dlg->m_failBitmap));
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_NONE);

    // A later test stopped while it records keeps this test's recording, verdict and figures.
    const std::string recording = dlg->m_dataDir + "WaveFiles/Echo_Test.wav";
    const auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string kept = bytes(recording);
    const double lms = dlg->m_lmsEchoDb;
    const double total = dlg->m_totalEchoDb;
    dlg->OnActionButton();
    ASSERT_TRUE(waitUntil([&] { return dlg->m_echoRecordedBytes > 0; }, 10000));
    dlg->OnActionButton();  // Stop
    EXPECT_EQ(bytes(recording), kept);
    EXPECT_EQ(dlg->m_echoVerdict, GetParam().verdict);
    EXPECT_EQ(dlg->m_lmsEchoDb, lms);
    EXPECT_EQ(dlg->m_totalEchoDb, total);
}

INSTANTIATE_TEST_SUITE_P(Cancellers, EchoVerdict,
                         ::testing::Values(VerdictCase{"Good", sim::EchoCancellerFault::None, VERDICT_PASS},
                                           VerdictCase{"Stuck", sim::EchoCancellerFault::Stuck, VERDICT_FAIL},
                                           VerdictCase{"Diverging", sim::EchoCancellerFault::Diverging,
                                                       VERDICT_FAIL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EchoFixture, BelowLevelSixTheResidualEchoJudgesWithoutStageOrSwitchOffCommands) {
    auto audio = fastAudio();
    audio.acoustic.stageSwitchesSupported = false;
    openLevelZeroEchoPage(audio);
    ASSERT_LT(dlg->m_hidProtocol.m_protocolVersion, kEchoStageProtocolLevel);
    desktop->unitState().setSwitch(0x15, false);
    const auto from = reportMark();
    ASSERT_TRUE(runEchoTest());
    EXPECT_EQ(trace(from), join({{"8095", "808E"}, kSwitchesOn, kRecordRouting, kRecordRouting}));
    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_PASS) << "residual " << dlg->m_totalEchoDb;
    EXPECT_LE(dlg->m_totalEchoDb, -45.0);
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_ECHO);
    EXPECT_TRUE(showsPicture(dlg->m_resultPicture, dlg->m_passBitmap));
}

TEST_F(EchoFixture, DoNotReadjustDelayRunsTheEchoFilesWithoutSavingOrRouting) {
    openEchoPage();
    desktop->unitState().setSwitch(0x15, false);
    dlg->m_keepDelayRadio->setChecked(true);
    // A far-end run that was cut short leaves its files behind; the echo run records its own.
    dlg->m_audio.m_playFile = dlg->m_installDir + "WaveFiles/FE_Play.wav";
    dlg->m_audio.m_recordFile = dlg->m_dataDir + "WaveFiles/FE_Test.wav";
    const auto from = reportMark();
    ASSERT_TRUE(runEchoTest());
    // No switch states were read since the dialog opened: nothing is switched off at the end.
    EXPECT_EQ(trace(from), join({kSwitchesOn, {"8401", "8406", "connect"}, kRecordRouting}));
    EXPECT_EQ(dlg->m_audio.m_recordFile, dlg->m_dataDir + "WaveFiles/Echo_Test.wav");
    EXPECT_NE(dlg->m_echoVerdict, VERDICT_NONE);
    EXPECT_FALSE(dlg->m_resultPicture->isHidden());
}

TEST_F(EchoFixture, ManualDelayIsWrittenWhenItDiffersThenTheEchoRunFollows) {
    openEchoPage();
    dlg->m_manualDelayRadio->setChecked(true);
    for (const auto& [typed, written] :
         {std::pair<const char*, Trace>{"80", {}},
          std::pair<const char*, Trace>{"21", {"delay[0]=21", "B102", "0636"}}}) {
        dlg->m_delayEdit->setText(typed);
        const auto from = reportMark();
        ASSERT_TRUE(runEchoTest());
        EXPECT_EQ(trace(from), join({written,
                                     {"connect"},
                                     kSwitchesOn,
                                     kRecordRouting,
                                     {"8401", "8406", "connect"},
                                     kRecordRouting}))
            << typed;
        EXPECT_EQ(desktop->unitState().parameter(0, 13, 0).value(), std::stoi(typed));
    }
}

// A delay run whose recording gives no delay (-1) leaves the unit's delay as it was, and the
// chain goes on with the echo run.
TEST_F(EchoFixture, AFailedDelayMeasurementStoresNothing) {
    openEchoPage();
    desktop->unitState().setParameter(0, 13, 0, 50);
    const std::string record = dlg->m_dataDir + "WaveFiles/Delay_Test.wav";
    std::filesystem::create_directories(std::filesystem::path(record).parent_path());
    {
        // The delay run's recording, finished and waiting to be kept: 0.1 s, too short to measure.
        auto& writer = dlg->m_audio.m_pRecordWriter;
        writer = std::make_unique<CWaveFileWriter>();
        ASSERT_EQ(writer->Create(record, CWaveFormat(2, 32000, 16)), 1);
        const std::vector<std::int16_t> silence(2 * 3200);
        ASSERT_TRUE(writer->Write(silence.data(), static_cast<int>(silence.size() * 2)));
        ASSERT_TRUE(writer->Finish());
    }
    dlg->m_measureDelayRadio->setChecked(true);
    dlg->m_audio.m_playFile = dlg->m_installDir + "WaveFiles/Delay_Play.wav";
    dlg->m_audio.m_recordFile = record;
    dlg->m_audio.m_micExitCode = MIC_EXIT_OK;
    dlg->m_audio.m_speakerExitCode = SPEAKER_EXIT_OK;
    dlg->m_echoStep = ECHO_STEP_DELAY;
    dlg->m_echoTestActive = true;
    const auto from = reportMark();
    dlg->FinishEchoRun();
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_ECHO);
    ASSERT_TRUE(waitUntil([&] { return !dlg->m_playing; }, 30000));
    for (const auto& token : trace(from)) {
        EXPECT_NE(token.rfind("delay[", 0), 0u) << token;
    }
    EXPECT_EQ(desktop->unitState().parameter(0, 13, 0).value(), 50);
    EXPECT_EQ(dlg->m_speakerDelay, "50");  // the unit's delay, as the page shows it
}

enum class Abort { StopFarEnd, StopDelay, StopEcho, CannotStart, NoFarEnd };

class EchoAbort : public EchoFixture, public ::testing::WithParamInterface<Abort> {};

// Every test that ends without a verdict leaves the unit as a finished test does: recording
// routing, both stage switches off, the saved switch states restored.
TEST_P(EchoAbort, RestoresTheSwitchesAndStartsOverAtTheFarEnd) {
    const Abort abort = GetParam();
    auto audio = fastAudio();
    if (abort == Abort::NoFarEnd) {
        audio.acoustic.playedFarEndSource = 0;  // neither channel carries what was played
    }
    openEchoPage("brevik-kr600", audio);
    if (abort == Abort::CannotStart) {
        dlg->m_installDir = dataHome.path() + "/nothing-installed/";
    }
    desktop->unitState().setSwitch(0x15, false);
    dlg->m_measureDelayRadio->setChecked(true);
    dlg->OnActionButton();
    const std::map<Abort, int> stopIn = {{Abort::StopFarEnd, ECHO_STEP_FAR_END},
                                         {Abort::StopDelay, ECHO_STEP_DELAY},
                                         {Abort::StopEcho, ECHO_STEP_ECHO}};
    Trace expectedEnd = join({kRecordRouting, {"8401", "8406", "8415"}});
    if (const auto it = stopIn.find(abort); it != stopIn.end()) {
        ASSERT_TRUE(waitUntil([&] { return dlg->m_echoStep == it->second && dlg->m_playing; }, 30000));
        processEvents(30);
        dlg->OnActionButton();
    } else {
        ASSERT_TRUE(waitUntil([&] { return !dlg->m_playing; }, 30000));
        const auto shown = boxes->shown();
        ASSERT_FALSE(shown.empty());
        if (abort == Abort::NoFarEnd) {
            EXPECT_EQ(shown.back().caption, "Echo Test");
            EXPECT_EQ(shown.back().text, "No far-end signal was detected !\n\r");
            // The far-end run's first stage mark has switched 0x01 off already.
            expectedEnd = {"route 25,25", "route 26,26", "8406", "8415"};
        }
    }
    const Trace all = trace();
    ASSERT_GE(all.size(), expectedEnd.size());
    EXPECT_EQ(Trace(all.end() - static_cast<std::ptrdiff_t>(expectedEnd.size()), all.end()), expectedEnd);
    EXPECT_FALSE(desktop->unitState().switchOn(0x01));
    EXPECT_FALSE(desktop->unitState().switchOn(0x06));
    EXPECT_FALSE(desktop->unitState().switchOn(0x15));
    EXPECT_FALSE(dlg->m_playing);
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_NONE);
    EXPECT_EQ(dlg->m_actionButton->text(), "Test");
    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
    EXPECT_TRUE(dlg->m_resultPicture->isHidden());
    // Nothing of the ended test arrives later to chain a run: its threads were joined as it
    // ended, so what they posted is handled now, and none of the dialog's timers runs.
    const auto after = reportMark();
    drainWithNoTimerRunning();
    EXPECT_EQ(reportMark(), after);
    EXPECT_FALSE(dlg->m_playing);
}

INSTANTIATE_TEST_SUITE_P(Ends, EchoAbort,
                         ::testing::Values(Abort::StopFarEnd, Abort::StopDelay, Abort::StopEcho,
                                           Abort::CannotStart, Abort::NoFarEnd));

// The far-end run has ended and its WM_AUDIO_DONE waits in the queue when the user presses
// Stop and Test again: it must not end the new run or chain a delay run from it.
TEST_F(EchoFixture, DoneOfAStoppedRunDoesNotEndTheNextRun) {
    openEchoPage();
    dlg->m_measureDelayRadio->setChecked(true);
    dlg->OnActionButton();
    ASSERT_EQ(dlg->m_echoStep, ECHO_STEP_FAR_END);
    // Without handling events: the far-end file (3 s at 32000 Hz) has been played, and the
    // speaker thread posts its end 100 ms after.
    const std::uint64_t farEndFrames = 3 * 32000;
    for (int i = 0; i < 3000 && desktop->waveDevices().speakerFramesPlayed() < farEndFrames; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GE(desktop->waveDevices().speakerFramesPlayed(), farEndFrames);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    dlg->OnActionButton();  // Stop
    dlg->OnActionButton();  // Test
    processEvents(20);
    EXPECT_TRUE(dlg->m_playing);
    EXPECT_EQ(dlg->m_echoStep, ECHO_STEP_FAR_END);
    EXPECT_EQ(boxes->count(), 0u);
}

}  // namespace
