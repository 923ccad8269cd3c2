#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "platform/DesktopMessages.h"
#include "tests/support/TestDesktop.h"

namespace {

TEST(DesktopMessages, AWindowIsFoundByItsTitleOnlyWhileItLives) {
    ScopedDesktopFolder folder;
    EXPECT_FALSE(platform::findWindow("Quenlor HID Viewer"));
    {
        TestWindow window("Quenlor HID Viewer");
        ASSERT_TRUE(window.ok());
        const auto found = platform::findWindow("Quenlor HID Viewer");
        ASSERT_TRUE(found);
        EXPECT_EQ(found->title, "Quenlor HID Viewer");
        EXPECT_FALSE(platform::findWindow("Quenlor Audio Setup"));
        // A second window cannot take a title in use.
        EXPECT_FALSE(platform::DesktopWindow::create("Quenlor HID Viewer"));
    }
    EXPECT_FALSE(platform::findWindow("Quenlor HID Viewer"));
}

TEST(DesktopMessages, CopyDataIsDeliveredWholeAndTheSenderWaitsForTheWindow) {
    ScopedDesktopFolder folder;
    auto created = platform::DesktopWindow::create("Viewer");
    ASSERT_TRUE(created);
    auto& window = *created.value();
    const auto target = platform::findWindow("Viewer");
    ASSERT_TRUE(target);

    std::vector<std::uint8_t> data(224);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    bool delivered = false;
    std::thread sender([&] { delivered = platform::sendCopyData(*target, 24, 1, data, 3000); });
    const auto message = window.receive(2000);
    ASSERT_TRUE(message);
    EXPECT_TRUE(message->isCopyData);
    EXPECT_EQ(message->message, platform::kWmCopyData);
    EXPECT_EQ(message->wParam, 24u);
    EXPECT_EQ(message->copyDataId, 1u);
    EXPECT_EQ(message->data, data);
    // The sender is still waiting: the window has not gone back to its loop yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(delivered);
    EXPECT_FALSE(window.receive(0));  // handled: the acknowledgement goes out
    sender.join();
    EXPECT_TRUE(delivered);
}

TEST(DesktopMessages, CopyDataToAWindowThatNeverAnswersGivesUp) {
    ScopedDesktopFolder folder;
    auto created = platform::DesktopWindow::create("Busy");
    ASSERT_TRUE(created);
    const auto target = platform::findWindow("Busy");
    ASSERT_TRUE(target);
    const std::vector<std::uint8_t> data{1, 2, 3};
    EXPECT_FALSE(platform::sendCopyData(*target, 0, 0, data, 50));
}

TEST(DesktopMessages, PostAndBroadcastReachWindowsWithoutWaiting) {
    ScopedDesktopFolder folder;
    TestWindow setup("Quenlor Audio Setup");
    TestWindow other("Another Window");
    ASSERT_TRUE(setup.ok());
    ASSERT_TRUE(other.ok());
    const auto target = platform::findWindow("Quenlor Audio Setup");
    ASSERT_TRUE(target);
    EXPECT_TRUE(platform::postMessage(*target, 900, 0, 0));
    EXPECT_EQ(platform::broadcastMessage(900, 0, 10), 2);

    const auto toSetup = setup.messagesAfterSettling();
    ASSERT_EQ(toSetup.size(), 2u);
    EXPECT_FALSE(toSetup[0].isCopyData);
    EXPECT_EQ(toSetup[0].message, 900u);
    EXPECT_EQ(toSetup[1].lParam, 10);
    const auto toOther = other.messagesAfterSettling();
    ASSERT_EQ(toOther.size(), 1u);
    EXPECT_EQ(toOther[0].message, 900u);
    EXPECT_EQ(toOther[0].wParam, 0u);
    EXPECT_EQ(toOther[0].lParam, 10);
}

TEST(DesktopMessages, AFolderOthersCanEnterIsRefused) {
    ScopedDesktopFolder folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    EXPECT_FALSE(platform::desktopMessageFolder());
    EXPECT_FALSE(platform::DesktopWindow::create("Viewer"));
    EXPECT_EQ(platform::broadcastMessage(900, 0, 10), 0);
    ASSERT_EQ(::chmod(folder.path().c_str(), 0700), 0);
    EXPECT_TRUE(platform::desktopMessageFolder());
}

TEST(DesktopMessages, TheDefaultFolderIsAPrivateFolderInTheRuntimeDirectory) {
    ScopedDesktopFolder runtime;
    platform::setDesktopMessageFolder("");
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const auto folder = platform::desktopMessageFolder();
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, runtime.path() + "/quenlor-desktop");
    struct stat st {};
    ASSERT_EQ(::stat(folder->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(platform::desktopMessageFolder());
    EXPECT_FALSE(platform::findWindow("Quenlor HID Viewer"));
    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    }
    platform::setDesktopMessageFolder(runtime.path());
}

}  // namespace
