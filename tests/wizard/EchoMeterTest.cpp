// The level meter and the stage marks that WM_AUDIO_LEVEL brings.
#include <QProgressBar>

#include "tests/wizard/EchoTestSupport.h"

namespace {

class EchoMeter : public EchoFixture {
protected:
    void SetUp() override {
        start();
        ASSERT_TRUE(dlg->m_hidProtocol.Connect(-1, false, true));
        dlg->m_audio.m_micRunning = 1;
    }

    // Hands a block of 16-bit samples to the handler as the engine posts it.
    long level(const std::vector<std::int16_t>& samples, std::intptr_t bytes = -2) {
        block.assign(samples.begin(), samples.end());
        const auto address = reinterpret_cast<std::uintptr_t>(block.data());
        return dlg->OnAudioLevel(address, bytes == -2 ? static_cast<std::intptr_t>(2 * block.size()) : bytes);
    }

    std::vector<int> bars() const { return {dlg->m_levelLow->value(), dlg->m_levelHigh->value()}; }

    std::vector<std::int16_t> block;
};

struct MeterCase {
    const char* name;
    int page;
    std::vector<std::int16_t> samples;
    double levelDb;
    std::vector<int> bars;
};

class MeterLevels : public EchoMeter, public ::testing::WithParamInterface<MeterCase> {};

TEST_P(MeterLevels, ShowsThePeakOfTheBlocksFirstQuarterInDecibels) {
    const MeterCase& c = GetParam();
    dlg->m_page = c.page;
    dlg->m_levelDb = -1.0;
    EXPECT_EQ(level(c.samples), 0);
    EXPECT_NEAR(dlg->m_levelDb, c.levelDb, 0.05);
    EXPECT_EQ(bars(), c.bars);
}

// Eight samples: the handler examines the first four (a quarter of the 16 bytes, as values).
INSTANTIATE_TEST_SUITE_P(
    Blocks, MeterLevels,
    ::testing::Values(
        MeterCase{"Silence", PAGE_ECHO_TEST, std::vector<std::int16_t>(8, 0), 0.0, {56, 84}},
        MeterCase{"FullScale", PAGE_MICROPHONE_TEST, {0, 32767, -5, 0, 0, 0, 0, 0}, 90.3, {83, 90}},
        MeterCase{"MostNegative", PAGE_RECORDING, {-32768, 0, 0, 0, 0, 0, 0, 0}, 90.3, {83, 90}},
        MeterCase{"Middle", PAGE_ECHO_TEST, {0, 0, 0, 1000, 0, 0, 0, 0}, 60.0, {60, 84}},
        MeterCase{"PeakBeyondTheQuarter", PAGE_ECHO_TEST, {1, 0, 0, 0, 32767, 0, 0, 0}, 0.0, {56, 84}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EchoMeter, OtherPagesAndAStoppedRunShowNothingNew) {
    for (const int page : {PAGE_WELCOME, PAGE_SPEAKER_TEST, PAGE_PLAYING_RECORDING, PAGE_LISTENING_ECHO}) {
        dlg->m_page = page;
        dlg->m_levelDb = 12.5;
        level({32767, 32767, 32767, 32767});
        EXPECT_EQ(dlg->m_levelDb, 12.5) << "page " << page;
    }
    dlg->m_page = PAGE_ECHO_TEST;
    dlg->m_audio.m_micRunning = 0;
    level({32767, 32767, 32767, 32767});
    EXPECT_EQ(dlg->m_levelDb, 0.0);
}

TEST_F(EchoMeter, StageMarksSwitchTheCancellerStagesInAtTwoAndSixSecondsOfRecording) {
    dlg->m_page = PAGE_ECHO_TEST;
    dlg->m_audio.m_sampleRate = 32000;
    dlg->m_audio.m_recordChannels = 2;
    dlg->m_audio.m_markSeconds = 2.0;
    const std::vector<std::int16_t> silence(4096, 0);  // 64 ms of the run's recording
    const auto recordUntil = [&](double seconds) {
        while (dlg->m_echoRecordedBytes + 2 * silence.size() <= seconds * 128000) {
            level(silence);
        }
    };
    const auto from = reportMark();
    // Each mark: the seconds recorded before it, the mark the dialog waits for next, what was sent.
    const struct {
        double recorded;
        double next;
        Trace sent;
    } marks[] = {{1.0, 2.0, {}},
                 {2.0, 6.0, {"8401"}},
                 {2.0, 6.0, {"8401"}},  // posted with the first mark, before the dialog moved on
                 {6.0, 9.0, {"8401", "8406"}},
                 {9.5, 9.0, {"8401", "8406"}}};
    for (const auto& m : marks) {
        recordUntil(m.recorded);
        EXPECT_EQ(level({0, 0}, -1), 0);
        EXPECT_EQ(dlg->m_audio.m_markSeconds.load(), m.next) << m.recorded;
        EXPECT_EQ(trace(from), m.sent) << m.recorded;
    }
}

TEST_F(EchoMeter, StageMarksAreIgnoredOffTheEchoPageAndBelowLevelSix) {
    const std::vector<std::pair<int, int>> cases = {
        {PAGE_MICROPHONE_TEST, 22}, {PAGE_RECORDING, 22}, {PAGE_ECHO_TEST, 5}};
    for (const auto& [page, protocolLevel] : cases) {
        dlg->m_page = page;
        dlg->m_hidProtocol.m_protocolVersion = protocolLevel;
        dlg->m_audio.m_markSeconds = 2.0;
        dlg->m_levelDb = 12.5;
        const auto from = reportMark();
        level({32767, 32767}, -1);
        EXPECT_EQ(dlg->m_audio.m_markSeconds.load(), 2.0);
        EXPECT_EQ(dlg->m_levelDb, 12.5);
        EXPECT_TRUE(trace(from).empty()) << "page " << page << " level " << protocolLevel;
    }
}

}  // namespace
