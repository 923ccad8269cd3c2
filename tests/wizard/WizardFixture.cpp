#include "tests/wizard/WizardFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/SettingsStore.h"
#include "wizard/CProbeGuideApp.h"

ScopedTempDir::ScopedTempDir() {
    char pattern[] = "/tmp/qpg-wizard-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    m_path = made != nullptr ? made : "";
}

ScopedTempDir::~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_old = old;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_old) {
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

sim::SimAudioConfig WizardFixture::fastAudio() {
    sim::SimAudioConfig config;
    config.speedFactor = 8.0;
    return config;
}

void WizardFixture::makeDesktop(const std::string& model, sim::SimAudioConfig audio) {
    desktop = std::make_unique<sim::SimDesktop>(model, std::move(audio));
}

void WizardFixture::startDialog() {
    const std::string source = std::getenv("QPG_SOURCE_DIR") != nullptr ? std::getenv("QPG_SOURCE_DIR") : ".";
    services.reset(new WizardServices{desktop->hidBus(), &desktop->endpoints(), desktop->waveDevices(),
                                      &desktop->deviceChanges(), source + "/resources/", DefaultDataDir()});
    dlg = std::make_unique<CProbeGuideDlg>(*services);
    dlg->OnInitDialog();
}

void WizardFixture::start(const std::string& model, sim::SimAudioConfig audio) {
    makeDesktop(model, std::move(audio));
    startDialog();
}

void WizardFixture::TearDown() {
    dlg.reset();
    services.reset();
    desktop.reset();
}

void WizardFixture::processEvents(int ms) {
    QElapsedTimer timer;
    timer.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        if (ms > 0) {
            QTest::qWait(1);
        }
    } while (timer.elapsed() < ms);
}

bool WizardFixture::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

void WizardFixture::drainWithNoTimerRunning() {
    for (const QTimer* timer : dlg->findChildren<QTimer*>()) {
        EXPECT_FALSE(timer->isActive()) << "a timer of " << timer->interval() << " ms runs";
    }
    processEvents();
}

std::vector<std::uint16_t> WizardFixture::commandWords() const {
    return desktop->commandWords();
}

std::vector<std::uint16_t> WizardFixture::commandWordsSince(std::size_t from) const {
    const auto all = commandWords();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}

void WizardFixture::click(QWidget* button) {
    // A dialog that is not shown gets no mouse events; a click of the button stands in.
    auto* asButton = qobject_cast<QAbstractButton*>(button);
    if (asButton != nullptr && !button->isVisible()) {
        asButton->click();
    } else {
        QTest::mouseClick(button, Qt::LeftButton);
    }
}

std::string WizardFixture::settingsFile(const std::string& keyPath) const {
    return platform::settingsFileForKey(keyPath);
}

std::pair<int, std::string> runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, output};
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

FullDataFolder::FullDataFolder(bool full) : m_full(full) {
    if (!m_full) {
        return;
    }
    ::getrlimit(RLIMIT_FSIZE, &m_limit);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = m_limit;
    small.rlim_cur = 200000;
    ::setrlimit(RLIMIT_FSIZE, &small);
}

void FullDataFolder::lift() {
    if (!m_full) {
        return;
    }
    m_full = false;
    ::setrlimit(RLIMIT_FSIZE, &m_limit);
    std::signal(SIGXFSZ, m_oldHandler);
}
