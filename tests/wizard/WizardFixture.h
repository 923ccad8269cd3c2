#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/MessageBox.h"
#include "sim/SimDesktop.h"
#include "tests/support/TestDesktop.h"
#include "wizard/CProbeGuideDlg.h"

// A folder for one test, removed afterwards.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Sets an environment variable for a scope and puts the old value back after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A full data folder while it lives, when `full`: files of this process may not grow past
// 200 kB (a write past that fails with EFBIG rather than raise SIGXFSZ). lift() ends it early.
class FullDataFolder {
public:
    explicit FullDataFolder(bool full);
    ~FullDataFolder() { lift(); }
    FullDataFolder(const FullDataFolder&) = delete;
    FullDataFolder& operator=(const FullDataFolder&) = delete;
    void lift();

private:
    bool m_full;
    rlimit m_limit{};
    void (*m_oldHandler)(int) = nullptr;
};

// Runs a shell command; its exit status (-1 when it did not exit) and standard output.
std::pair<int, std::string> runCommand(const std::string& command);

// The wizard dialog on a simulated desktop: a unit of a catalogue model (or none), an audio
// clock that runs faster than real time, private settings and data folders
// ($XDG_CONFIG_HOME, $XDG_DATA_HOME), a private desktop-message folder and recorded message
// boxes. start() builds the dialog and runs OnInitDialog, as the program does.
class WizardFixture : public ::testing::Test {
public:
    // Runs the event loop for `ms` milliseconds (timers, queued messages).
    static void processEvents(int ms = 0);
    // Runs the event loop until `done` holds or `timeoutMs` has passed; true when it holds.
    static bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
    // Expects no timer of the dialog to run, then handles what is posted already: whatever the
    // ended work's joined threads posted. Nothing more of that work can arrive after it.
    void drainWithNoTimerRunning();

protected:
    // The accelerated audio clock of the tests.
    static sim::SimAudioConfig fastAudio();

    // Builds the desktop with `model` plugged in (none for an empty text) and the dialog.
    void start(const std::string& model = "brevik-kr600", sim::SimAudioConfig audio = fastAudio());
    // Builds the desktop only; startDialog() then builds the dialog on it (for set-ups that
    // change the desktop first, such as a second unit or a unit that cannot be opened).
    void makeDesktop(const std::string& model, sim::SimAudioConfig audio = fastAudio());
    void startDialog();

    void TearDown() override;

    // The command words the first unit received, in order, and those since a mark.
    std::vector<std::uint16_t> commandWords() const;
    std::size_t mark() const { return commandWords().size(); }
    std::vector<std::uint16_t> commandWordsSince(std::size_t from) const;

    // Clicks a button as a user would (QTest).
    void click(QWidget* button);

    // The settings file of a key path in the private config folder.
    std::string settingsFile(const std::string& keyPath) const;

    ScopedTempDir configHome;
    ScopedTempDir dataHome;
    ScopedEnv configEnv{"XDG_CONFIG_HOME", configHome.path()};
    ScopedEnv dataEnv{"XDG_DATA_HOME", dataHome.path()};
    ScopedDesktopFolder desktopFolder;
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler boxScope{boxes};

    std::unique_ptr<sim::SimDesktop> desktop;
    std::unique_ptr<WizardServices> services;
    std::unique_ptr<CProbeGuideDlg> dlg;
};
