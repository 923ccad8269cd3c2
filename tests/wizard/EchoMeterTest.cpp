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

TEST_F(EchoMeter, StageMarksSwitchTheCancellerStagesInAtTwoAndSixSeconds) {
    dlg->m_page = PAGE_ECHO_TEST;
    dlg->m_audio.m_markSeconds = 2.0;
    const auto from = reportMark();
    const std::vector<std::pair<double, Trace>> steps = {
        {6.0, {"8401"}}, {9.0, {"8401", "8406"}}, {9.0, {"8401", "8406"}}};
    for (const auto& [markAfter, sent] : steps) {
        EXPECT_EQ(level({0, 0}, -1), 0);
        EXPECT_EQ(dlg->m_audio.m_markSeconds.load(), markAfter);
        EXPECT_EQ(trace(from), sent);
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
