// The wizard's settings: one INI file per key under $XDG_CONFIG_HOME, written atomically.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <mutex>

#include "platform/SettingsStore.h"
#include "platform/System.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"

namespace {

constexpr const char* kKey = "Software\\Kestu\\Quenlor Probe Guide";

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setDebugOutputSink([this](const std::string& text) {
            std::lock_guard lock(mutex);
            debug += text;
        });
    }
    void TearDown() override { platform::setDebugOutputSink({}); }

    std::string file() const { return platform::settingsFileForKey(kKey); }
    std::string fileText() const {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void writeFile(const std::string& text) const {
        std::filesystem::create_directories(std::filesystem::path(file()).parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    std::string takeDebug() {
        std::lock_guard lock(mutex);
        return std::exchange(debug, {});
    }
    // A value as a fresh key reads it: 1 or 0, and the text.
    std::pair<int, std::string> read(const std::string& name, std::string start = "unchanged") {
        CRegHelper reg;
        EXPECT_TRUE(reg.OpenKey(kKey));
        const int got = reg.GetString(name, start);
        return {got, start};
    }
    void write(const std::string& name, const std::string& value) {
        CRegHelper reg;
        ASSERT_TRUE(reg.OpenKey(kKey));
        reg.SetString(name, value);
    }

    ScopedTempDir home;
    ScopedEnv configEnv{"XDG_CONFIG_HOME", home.path()};
    std::mutex mutex;
    std::string debug;
};

TEST_F(Settings, KeyPathsMapToFilesUnderTheConfigHome) {
    EXPECT_EQ(file(), home.path() + "/Kestu/Quenlor Probe Guide.conf");
    EXPECT_EQ(platform::settingsFileForKey("Software\\Kestu\\Quenlor Audio Setup"),
              home.path() + "/Kestu/Quenlor Audio Setup.conf");
    EXPECT_EQ(platform::settingsFileForKey("Software\\..\\x"), "");
}

TEST_F(Settings, StringRoundTripAndNumbersKeepTheirTypes) {
    write("User Name", "abc");
    {
        CRegHelper reg;
        ASSERT_TRUE(reg.OpenKey(kKey));
        reg.SetDword("Speaker Volume", 0x12345678);
    }
    const auto values = platform::SettingsFile(file()).readAll();
    ASSERT_TRUE(values);
    const auto& name = values.value().at("User Name");
    EXPECT_EQ(name.type, platform::SettingType::String);
    EXPECT_EQ(name.bytes, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    const auto& volume = values.value().at("Speaker Volume");
    EXPECT_EQ(volume.type, platform::SettingType::Dword);
    EXPECT_EQ(volume.bytes, (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(read("User Name"), (std::pair<int, std::string>{1, "abc"}));
    EXPECT_EQ(takeDebug(), "");

    // Texts with line ends, '=' and backslashes survive.
    write("Comments", "a=b\\c\nd\r");
    EXPECT_EQ(read("Comments").second, "a=b\\c\nd\r");
}

TEST_F(Settings, MissingValueAndNoKey) {
    EXPECT_EQ(read("User Email"), (std::pair<int, std::string>{0, "unchanged"}));
    EXPECT_EQ(takeDebug(), "Unable to query registry\n");

    CRegHelper closed;
    closed.SetString("User Name", "x");
    closed.SetDword("Speaker Volume", 1);
    std::string text = "unchanged";
    EXPECT_EQ(closed.GetString("User Name", text), 0);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(takeDebug(), "");
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(Settings, CorruptFileReadsAsMissingAndIsNotWrittenOver) {
    const std::string corrupt = "[Values]\nUser Name=sz:kept\nthis is not a setting\n";
    writeFile(corrupt);
    EXPECT_EQ(read("User Name"), (std::pair<int, std::string>{0, "unchanged"}));
    EXPECT_EQ(takeDebug(), "Unable to query registry\n");
    write("User Email", "new@example.org");
    EXPECT_EQ(takeDebug(), "Unable to save to registry\n");
    EXPECT_EQ(fileText(), corrupt);
}

TEST_F(Settings, ValuesUpToTheQueryLimit) {
    struct Case {
        std::string stored;
        int result;
        std::string text;
    };
    const std::string full(CRegHelper::kQueryLimit, 'x');
    const std::vector<Case> cases{
        {full, 1, full},
        {full + "y", 0, "unchanged"},
        {std::string("ab\0cd", 5), 1, "ab"},
    };
    for (const auto& c : cases) {
        write("Data Directory", c.stored);
        EXPECT_EQ(read("Data Directory"), (std::pair<int, std::string>{c.result, c.text})) << c.stored.size();
    }
}

TEST_F(Settings, AWriteKilledBeforeItsRenameLeavesTheOldFile) {
    write("User Name", "old");
    const std::string before = fileText();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::SettingsFile::setBeforeRenameHook([] { ::raise(SIGKILL); });
        CRegHelper reg;
        reg.OpenKey(kKey);
        reg.SetString("User Name", "new");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(read("User Name").second, "old");
    // The next write still works and replaces the value.
    write("User Name", "new");
    EXPECT_EQ(read("User Name").second, "new");
}

}  // namespace
