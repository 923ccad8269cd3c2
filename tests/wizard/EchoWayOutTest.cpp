// Every way out of a running echo test leaves the unit as it was before the test, and a test
// that could not measure gives no verdict.
#include <sys/resource.h>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>

#include "tests/wizard/EchoTestSupport.h"

namespace {

// What the echo test changes on the unit: its four test switches and the two recorded channels.
struct UnitTestState {
    std::map<int, bool> switches;
    int left = 0;
    int right = 0;
    bool operator==(const UnitTestState&) const = default;
};

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
    unit.setSwitch(0x0E, true);
    const UnitTestState before = testState(unit);
    dlg->m_measureDelayRadio->setChecked(true);
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
    processEvents(50);

    EXPECT_EQ(testState(unit), before);
    const Trace sent = trace(from);
    // The restore runs once: switch 0x15, off before the test, is switched off once.
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "8415"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "B102"), 0);
    if (dlg) {
        EXPECT_FALSE(dlg->m_echoTestActive);
        EXPECT_FALSE(dlg->m_playing);
        EXPECT_EQ(dlg->m_echoVerdict, VERDICT_NONE);
        // Nothing of the ended test arrives later.
        const auto after = reportMark();
        processEvents(200);
        EXPECT_EQ(trace(after), Trace{});
    }
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

}  // namespace
