// Message boxes asked for by workers are shown on the GUI thread, also while it waits for them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>
#include <atomic>
#include <thread>

#include "tests/wizard/WizardFixture.h"
#include "wizard/GuiMessageBoxHandler.h"

namespace {

class GuiBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        GuiMessageBoxHandler::install([this](const platform::MessageBoxRequest& request) {
            shownOnGuiThread = QThread::currentThread() == qApp->thread();
            shown.push_back(request);
            return platform::id::kNo;
        });
    }
    void TearDown() override { GuiMessageBoxHandler::uninstall(); }

    std::vector<platform::MessageBoxRequest> shown;
    bool shownOnGuiThread = false;
};

TEST_F(GuiBoxes, AWorkerGetsItsBoxWhileTheGuiThreadWaitsForIt) {
    std::atomic<int> answer{0};
    std::thread worker([&] {
        answer =
            platform::showMessageBox("Caption", "Text", platform::mb::kYesNo | platform::mb::kIconWarning);
    });
    // As the engine's Stop waits for its threads.
    GuiMessageBoxHandler::runServingBoxes([&] { worker.join(); });

    EXPECT_EQ(answer, platform::id::kNo);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shownOnGuiThread);
    EXPECT_EQ(shown[0].caption, "Caption");
    EXPECT_EQ(shown[0].text, "Text");
    EXPECT_EQ(shown[0].style, platform::mb::kYesNo | platform::mb::kIconWarning);
}

TEST_F(GuiBoxes, AWorkerBoxIsShownByTheEventLoop) {
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = platform::showMessageBox("Caption", "Text", platform::mb::kYesNo); });
    EXPECT_TRUE(WizardFixture::waitUntil([&] { return answer != 0; }));
    worker.join();
    EXPECT_EQ(answer, platform::id::kNo);
    EXPECT_TRUE(shownOnGuiThread);
}

}  // namespace
