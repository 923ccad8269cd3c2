// The wizard's settings: one INI file per key under $XDG_CONFIG_HOME, written atomically.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
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

namespace {

// Files as people write them: every form reads, and a value written afterwards changes only
// its own line (or adds one after the last value), every other byte kept.
TEST_F(Settings, FilesReadAsWrittenAndRewrittenLineForLine) {
    struct Case {
        const char* what;
        std::string text;
        std::map<std::string, std::string> values;  // read back with GetString
        std::string afterWrite;                     // the file after User Name := "Bo"
    };
    const std::vector<Case> cases{
        {"crlf",
         "[Values]\r\nUser Name=sz:Ann\r\nUser Email=sz:a@x\r\n",
         {{"User Name", "Ann"}, {"User Email", "a@x"}},
         "[Values]\r\nUser Name=sz:Bo\r\nUser Email=sz:a@x\r\n"},
        {"bom and comments",
         "\xEF\xBB\xBF; mine\n[Values]\n# the site's server\nSMTP Server=sz:mx\n",
         {{"SMTP Server", "mx"}},
         "\xEF\xBB\xBF; mine\n[Values]\n# the site's server\nSMTP Server=sz:mx\nUser Name=sz:Bo\n"},
        {"indented header, blanks around =, untyped",
         "  [Values]  \n  SMTP Port = 2525 \nUser Name =sz:Ann\n",
         {{"SMTP Port", "2525"}, {"User Name", "Ann"}},
         "  [Values]  \n  SMTP Port = 2525 \nUser Name=sz:Bo\n"},
        {"trailing backslash",
         "[Values]\nData Directory=C:\\Data\\\nInstall Directory=sz:D:\\x\\\n",
         {{"Data Directory", "C:\\Data\\"}, {"Install Directory", "D:\\x\\"}},
         "[Values]\nData Directory=C:\\Data\\\nInstall Directory=sz:D:\\x\\\nUser Name=sz:Bo\n"},
        {"other sections and no final line end",
         "[Other]\nodd line\n[Values]\nUser Name=sz:Ann",
         {{"User Name", "Ann"}},
         "[Other]\nodd line\n[Values]\nUser Name=sz:Bo"},
        {"values before a later section",
         "User Email=a@x\n[Other]\nk=v\n",
         {{"User Email", "a@x"}, {"k", "(none)"}},
         "User Email=a@x\nUser Name=sz:Bo\n[Other]\nk=v\n"},
        {"cr only",
         "[Values]\rSMTP Server=sz:mx\r",
         {{"SMTP Server", "mx"}},
         "[Values]\rSMTP Server=sz:mx\rUser Name=sz:Bo\r"},
        {"comments only",
         "# nothing yet\r\n",
         {{"User Name", "(none)"}},
         "# nothing yet\r\n[Values]\r\nUser Name=sz:Bo\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(c.text);
        for (const auto& [name, expected] : c.values) {
            EXPECT_EQ(read(name, "(none)").second, expected) << name;
        }
        write("User Name", "Bo");
        EXPECT_EQ(fileText(), c.afterWrite);
        EXPECT_EQ(read("User Name").second, "Bo");
    }
}

// A file that cannot be used reads as missing, says which file and line, and is never
// written over.
TEST_F(Settings, UnusableFilesNameFileAndLineAndAreKept) {
    struct Case {
        const char* what;
        std::string text;
        std::string error;  // after the file's path
    };
    const std::vector<Case> cases{
        {"stray line", "[Values]\nUser Name=sz:Ann\nSMTP Server mail.site\n", ": line 3 is not a setting"},
        {"bad number", "[Values]\r\nSpeaker Volume=dword:loud\r\n", ": line 2 is not a setting"},
        {"no name", "= value\n", ": line 1 is not a setting"},
        {"line end not known", "[Values]\nSMTP Server=sz:mx\x0bUser Name=sz:Ann\n",
         ": line 2 is not a setting"},
        {"too large", "[Values]\n# " + std::string(platform::SettingsFile::kMaxFileBytes, 'x') + "\n",
         ": larger than 1048576 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(c.text);
        CRegHelper reg;
        ASSERT_TRUE(reg.OpenKey(kKey));
        std::string name = "unchanged";
        EXPECT_EQ(reg.GetString("User Name", name), 0);
        EXPECT_EQ(name, "unchanged");
        EXPECT_EQ(reg.ReadError(), "read " + file() + c.error);
        reg.SetString("User Email", "new@example.org");
        EXPECT_EQ(reg.WriteError(), "read " + file() + c.error);
        EXPECT_TRUE(fileText() == c.text);
    }
}

// A write that would make the file larger than the reader takes fails and leaves it as it was.
TEST_F(Settings, AWriteNeverMakesAFileTheReaderRefuses) {
    const std::string head = "[Values]\nUser Name=sz:Ann\n# ";
    const std::string text =
        head + std::string(platform::SettingsFile::kMaxFileBytes - head.size() - 1, 'x') + "\n";
    ASSERT_EQ(text.size(), platform::SettingsFile::kMaxFileBytes);
    writeFile(text);
    CRegHelper reg;
    ASSERT_TRUE(reg.OpenKey(kKey));
    reg.SetString("User Name", "Ann Example");
    EXPECT_EQ(reg.WriteError(), "write " + file() + ": the file would be larger than 1048576 bytes");
    EXPECT_TRUE(fileText() == text);
    EXPECT_EQ(read("User Name").second, "Ann");
}

// A settings file that is a symbolic link stays one: the value goes to its target, which keeps
// its mode, as a regular file keeps its own.
TEST_F(Settings, LinksAndModesAreKept) {
    struct Case {
        const char* what;
        bool link;
        bool relative;
        mode_t mode;
    };
    for (const Case& c : {Case{"regular", false, false, 0644}, Case{"relative link", true, true, 0640},
                          Case{"absolute link", true, false, 0600}}) {
        SCOPED_TRACE(c.what);
        const std::string dots = home.path() + "/dotfiles";
        std::filesystem::create_directories(dots);
        const std::string target = c.link ? dots + "/probe-guide.conf" : file();
        writeFile("");
        std::filesystem::remove(file());
        std::ofstream(target, std::ios::binary) << "[Values]\nUser Name=sz:Ann\n";
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        if (c.link) {
            std::filesystem::create_symlink(c.relative ? "../dotfiles/probe-guide.conf" : target, file());
        }
        write("User Name", "Bo");
        EXPECT_EQ(std::filesystem::is_symlink(file()), c.link);
        EXPECT_EQ(std::filesystem::canonical(file()), std::filesystem::canonical(target));
        EXPECT_EQ(fileText(), "[Values]\nUser Name=sz:Bo\n");
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        std::filesystem::remove(file());
        std::filesystem::remove(target);
    }
}

// The file is parsed once for each change of it, not for each value read.
TEST_F(Settings, ParsedOncePerChange) {
    write("User Name", "Ann");
    const std::uint64_t before = platform::SettingsFile::parseCount();
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(read("User Name").second, "Ann");
    }
    EXPECT_EQ(platform::SettingsFile::parseCount(), before + 1);
    write("User Name", "Bo");  // changes the file as already parsed
    EXPECT_EQ(read("User Name").second, "Bo");
    EXPECT_EQ(read("User Name").second, "Bo");
    EXPECT_EQ(platform::SettingsFile::parseCount(), before + 2);
}

// Two processes writing to one file at once lose nothing.
TEST_F(Settings, TwoWriterProcessesKeepEveryValue) {
    constexpr int kValuesEach = 200;
    std::vector<pid_t> children;
    for (const char* prefix : {"A", "B"}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CRegHelper reg;
            reg.OpenKey(kKey);
            for (int i = 0; i < kValuesEach; ++i) {
                reg.SetDword(prefix + std::to_string(i), static_cast<std::uint32_t>(i));
            }
            ::_exit(reg.WriteError().empty() ? 0 : 1);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto values = platform::SettingsFile(file()).readAll();
    ASSERT_TRUE(values);
    EXPECT_EQ(values.value().size(), 2u * kValuesEach);
}

}  // namespace
