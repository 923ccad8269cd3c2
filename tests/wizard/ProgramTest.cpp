// The program as a user meets it on a terminal: --help, --version, a refused option, Qt's own
// options, a start that leaves the terminal quiet unless the debug output is asked for; and the
// box that tells, once per start, of a unit that may not be opened. And as the desktop meets it:
// the menu entry that names its window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "sim/UnitCatalogue.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CAboutDlg.h"
#include "wizard/CProbeGuideApp.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The text with every run of blanks and line breaks made one blank, as help texts wrap.
std::string squeezed(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            out += c;
        } else if (out.empty() || out.back() != ' ') {
            out += ' ';
        }
    }
    return out;
}

std::string program() {
    return std::string(std::getenv("QPG_BINARY_DIR")) + "/wizard/quenlor-probe-guide";
}

// Runs the build's program with `words` (environment settings of env(1), then the arguments)
// in a private home, without the test's platform or logging settings.
Outcome runProgram(const std::string& words) {
    ScopedTempDir home;
    const std::string errFile = home.path() + "/stderr";
    const std::string command = "env -u QT_QPA_PLATFORM -u QT_LOGGING_RULES XDG_CONFIG_HOME='" + home.path() +
                                "/config' XDG_DATA_HOME='" + home.path() + "/data' XDG_RUNTIME_DIR='" +
                                home.path() + "' QT_PLUGIN_PATH='" + QPG_INSTALL_PROBE_PLUGINS + "' " +
                                words + " 2>'" + errFile + "'";
    Outcome outcome;
    std::tie(outcome.status, outcome.out) = runCommand("timeout 60 " + command);
    std::ifstream err(errFile);
    std::ostringstream text;
    text << err.rdbuf();
    outcome.err = text.str();
    return outcome;
}

TEST(Program, HelpVersionAndARefusedOption) {
    std::vector<std::string> helpParts{"Usage: quenlor-probe-guide [options] ",
                                       "--simulate <MODEL>",
                                       "--fault <FAULT>",
                                       "none, stuck, diverging",
                                       "--debug",
                                       "quenlor.probeguide",
                                       "-v, --version"};
    for (const auto& key : sim::catalogueKeys()) {
        helpParts.push_back(key);
    }
    const CAboutDlg about(nullptr, program().c_str());
    const struct {
        const char* args;
        int status;
        std::vector<std::string> outParts;  // of standard output, its blanks and line breaks squeezed
        std::vector<std::string> errParts;  // none: standard error stays empty
        bool qtOptionsListed;
    } cases[] = {
        {"--help", 0, helpParts, {}, false},
        {"-h", 0, helpParts, {}, false},
        {"--help-all", 0, helpParts, {}, true},
        {"--version", 0, {}, {}, false},
        {"--verbose",
         2,
         {},
         {"quenlor-probe-guide: Unknown option 'verbose'.\n" + std::string(kUsageHint)},
         false},
        {"--simulate kr401 extra", 2, {}, {"unknown argument \"extra\"\n" + std::string(kUsageHint)}, false},
    };
    for (const auto& c : cases) {
        const Outcome outcome = runProgram("'" + program() + "' " + c.args);
        EXPECT_EQ(outcome.status, c.status) << c.args;
        for (const auto& part : c.outParts) {
            EXPECT_TRUE(contains(squeezed(outcome.out), part)) << c.args << ": " << part << "\n"
                                                               << outcome.out;
        }
        EXPECT_EQ(contains(outcome.out, "--platform <platformName[:options]>"), c.qtOptionsListed) << c.args;
        if (c.errParts.empty()) {
            EXPECT_EQ(outcome.err, "") << c.args;
        }
        for (const auto& part : c.errParts) {
            EXPECT_TRUE(contains(outcome.err, part)) << c.args << ": " << part << "\n" << outcome.err;
        }
        if (std::string(c.args) == "--version") {
            ASSERT_FALSE(about.m_versionText.empty());
            EXPECT_EQ(outcome.out, about.m_versionText + "\n");
        }
    }
}

// A start on the simulated unit that the install probe works (About box, Play Voice, close),
// with Qt's -platform option in place of QT_QPA_PLATFORM.
TEST(Program, AStartIsQuietUnlessTheDebugOutputIsAskedFor) {
    const struct {
        const char* words;
        bool debugShown;
    } cases[] = {
        {"", false},
        {"QT_LOGGING_RULES=quenlor.probeguide.debug=true", true},
        {"--debug", true},
    };
    for (const auto& c : cases) {
        const bool isOption = std::string(c.words).rfind("--", 0) == 0;
        const Outcome outcome =
            runProgram(std::string(isOption ? "" : c.words) + " QT_QPA_GENERIC_PLUGINS=qpginstallprobe '" +
                       program() + "' --simulate -platform offscreen " + (isOption ? c.words : ""));
        EXPECT_EQ(outcome.status, 0) << c.words << outcome.err;
        EXPECT_TRUE(contains(outcome.out, "PLAYFILE /")) << c.words << outcome.out;
        if (c.debugShown) {
            EXPECT_TRUE(contains(outcome.err, "quenlor.probeguide: Unable to query registry\n"))
                << c.words << outcome.err;
        } else {
            EXPECT_EQ(outcome.err, "");
        }
    }
}

// A process of the test's, its standard output and error in a file; ended and reaped with the
// scope. `fd3`, when given, becomes its descriptor 3.
class Spawned {
public:
    Spawned(const std::vector<std::string>& args, const std::string& log, int fd3 = -1) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (fd3 != -1) {
            posix_spawn_file_actions_adddup2(&actions, fd3, 3);
        }
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Spawned() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool running() {
        if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) != 0) {
            m_pid = -1;
        }
        return m_pid > 0;
    }

private:
    pid_t m_pid = -1;
};

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The desktop links a running window to its menu entry by the entry's id, which the program
// gives Qt as its desktop file name (the app id on Wayland), and on X11 by the class of the
// window's WM_CLASS, which the entry names as StartupWMClass. The window is read on an X server
// of the test's own (Xvfb), from the program started under another name.
TEST(Program, TheMenuEntryNamesTheRunningProgramsWindow) {
    std::vector<std::filesystem::path> entries;
    for (const auto& file :
         std::filesystem::directory_iterator(std::string(std::getenv("QPG_SOURCE_DIR")) + "/packaging")) {
        if (file.path().extension() == ".desktop") {
            entries.push_back(file.path());
        }
    }
    ASSERT_EQ(entries.size(), 1u);
    const std::string entry = readText(entries[0].string());
    const std::string key = "\nStartupWMClass=";
    const std::size_t at = entry.find(key);
    ASSERT_NE(at, std::string::npos) << entry;
    const std::string startupClass =
        entry.substr(at + key.size(), entry.find('\n', at + 1) - at - key.size());

    const Outcome probed = runProgram("QT_QPA_GENERIC_PLUGINS=qpginstallprobe '" + program() +
                                      "' --simulate -platform offscreen");
    EXPECT_TRUE(contains(probed.out, "DESKTOPFILE " + entries[0].stem().string() + "\n")) << probed.out;

    if (std::system("command -v Xvfb >/dev/null") != 0) {
        GTEST_SKIP() << "no Xvfb: the window's WM_CLASS is not read";
    }
    ScopedTempDir home;
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    Spawned server({"Xvfb", "-displayfd", "3", "-nolisten", "tcp"}, home.path() + "/xvfb.log", ready[1]);
    ::close(ready[1]);
    std::string display = ":";
    pollfd wait{ready[0], POLLIN, 0};
    for (char c; ::poll(&wait, 1, 30000) > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n';) {
        display += c;
    }
    ::close(ready[0]);
    ASSERT_GT(display.size(), 1u) << readText(home.path() + "/xvfb.log");

    const std::string started = home.path() + "/probe-guide";
    std::filesystem::create_symlink(program(), started);
    Spawned wizard({"env", "DISPLAY=" + display, "XDG_CONFIG_HOME=" + home.path() + "/config",
                    "XDG_DATA_HOME=" + home.path() + "/data", "XDG_RUNTIME_DIR=" + home.path(), started,
                    "--simulate", "-platform", "xcb"},
                   home.path() + "/wizard.log");
    // The dialog's window, by its title, once it is mapped.
    std::pair<int, std::string> shown;
    for (int tries = 0; tries < 240 && wizard.running(); ++tries) {
        shown = runCommand("xprop -display " + display + " -name 'Quenlor Device Probe Guide' WM_CLASS 2>&1");
        if (shown.first == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(shown.first, 0) << shown.second << readText(home.path() + "/wizard.log");
    // WM_CLASS(STRING) = "<instance>", "<class>"
    ASSERT_TRUE(contains(shown.second, "WM_CLASS(STRING) = \"")) << shown.second;
    const std::size_t classEnd = shown.second.rfind('"');
    const std::size_t classStart = shown.second.rfind('"', classEnd - 1) + 1;
    EXPECT_EQ(shown.second.substr(classStart, classEnd - classStart), startupClass) << shown.second;
}

using ProgramStart = WizardFixture;

TEST_F(ProgramStart, AUnitThatMayNotBeOpenedIsToldOnceInABox) {
    for (const bool denied : {false, true}) {
        std::vector<std::string> hints;
        std::size_t hintsAtStart = 0;
        platform::setDebugOutputSink([&hints](const std::string& text) {
            if (contains(text, ": the udev rule ")) {
                hints.push_back(text.substr(0, text.size() - 1));
            }
        });
        {
            NoAccessNotice notice;
            makeDesktop("brevik-kr600");
            desktop->unit()->setAccessDenied(denied);
            startDialog();
            processEvents(20);
            hintsAtStart = hints.size();
            dlg->DetectDevice();  // a second detection meets the unit again
            processEvents(20);
        }
        platform::setDebugOutputSink({});
        ASSERT_EQ(hints.empty(), !denied);
        EXPECT_EQ(hints.size() > hintsAtStart, denied);
        const auto shown = boxes->shown();
        ASSERT_EQ(shown.size(), denied ? 1u : 0u);
        if (denied) {
            EXPECT_EQ(shown[0].caption, "Quenlor Device Probe Guide");
            EXPECT_EQ(shown[0].text, NoAccessNotice::kLead + hints[0] + ".");
            EXPECT_TRUE(contains(shown[0].text, std::string(": ") + std::strerror(EACCES) +
                                                    ": the udev rule 70-quenlor-speakerphone.rules"));
            EXPECT_EQ(shown[0].style, platform::mb::kIconWarning);
        }
        TearDown();
        boxes->clear();
    }
}

}  // namespace
