#include "platform/MessageBox.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(MessageBoxTest, WithoutAHandlerTheDefaultButtonAnswers) {
    setMessageBoxHandler(nullptr);
    EXPECT_EQ(showMessageBox("Cap", "text", mb::kOkCancel), id::kOk);
    EXPECT_EQ(showMessageBox("Cap", "text", mb::kOkCancel | mb::kDefaultButton2), id::kCancel);
    EXPECT_EQ(showMessageBox("Cap", "text", mb::kYesNo | mb::kIconQuestion), id::kYes);
    EXPECT_EQ(showMessageBox("Cap", "text", mb::kYesNoCancel | mb::kDefaultButton3), id::kCancel);
    // A default button beyond the box's buttons falls back to the first.
    EXPECT_EQ(showMessageBox("Cap", "text", mb::kOk | mb::kDefaultButton3), id::kOk);
}

TEST(MessageBoxTest, RecorderKeepsEveryBoxAndAnswersFromItsScript) {
    auto recorder = std::make_shared<RecordingMessageBoxHandler>();
    ScopedMessageBoxHandler scope(recorder);
    recorder->scriptAnswer(id::kCancel);
    EXPECT_EQ(showMessageBox("First", "one", mb::kOkCancel), id::kCancel);
    EXPECT_EQ(showMessageBox("Second", "two", mb::kOkCancel), id::kOk);
    const auto shown = recorder->shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "First");
    EXPECT_EQ(shown[1].text, "two");
    EXPECT_EQ(shown[1].style, mb::kOkCancel);
}

TEST(MessageBoxTest, BoxesFromSeveralThreadsAreAllRecorded) {
    auto recorder = std::make_shared<RecordingMessageBoxHandler>();
    ScopedMessageBoxHandler scope(recorder);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([] {
            for (int j = 0; j < 50; ++j) {
                showMessageBox("T", "x");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(recorder->count(), 400u);
}

}  // namespace
}  // namespace platform
