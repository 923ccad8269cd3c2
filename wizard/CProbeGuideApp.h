#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimAcousticPath.h"
#include "wizard/CProbeGuideDlg.h"

// The folders the wizard uses when the settings name none; both end with '/'.
// Install folder: <prefix>/share/quenlor-probe-guide/ beside the program's bin/ folder, or the
// source tree's resources/ when the program runs from the build tree.
std::string DefaultInstallDir(const std::string& programPath);
// Data folder: $XDG_DATA_HOME/Kestu/Quenlor Probe Guide/ (~/.local/share without it), made with
// its WaveFiles/ folder when missing.
std::string DefaultDataDir();

// What the command line asks for.
struct WizardOptions {
    // Run on the simulated unit (HID and acoustic path, in real time) of this catalogue model.
    std::optional<std::string> simulatedModel;
    // The simulated unit's echo canceller (--fault=NAME with --simulate).
    sim::EchoCancellerFault simulatedFault = sim::EchoCancellerFault::None;
    // --debug: the debug output goes to the terminal.
    bool debug = false;
    // --help, --help-all or --version: the text printed on standard output instead of running.
    std::optional<std::string> reply;
};

// The line that follows a refused command line on standard error.
inline constexpr const char* kUsageHint =
    "Usage: quenlor-probe-guide [options]\nTry 'quenlor-probe-guide --help' for more information.\n";

// Reads the command line (without the program's name) with Qt's parser: --simulate,
// --simulate=MODEL or --simulate MODEL, with it --fault=NAME (none, stuck, diverging), --debug,
// --help (-h), --help-all, --version (-v), and Qt's own options, which are left to QApplication.
// Needs no QApplication. A bad argument gives nullopt and a message in `error`.
std::optional<WizardOptions> ParseWizardCommandLine(const std::vector<std::string>& args, std::string& error);

// The version line of --version: the About box's, from the running program's version block.
std::string WizardVersionText();

// The program's Qt logging category for the debug output, off unless QT_LOGGING_RULES or
// --debug turns it on.
inline constexpr const char* kDebugLogCategory = "quenlor.probeguide";

// Sends the platform layer's debug output to that category; `on` (--debug) turns it on.
void RouteDebugOutputToLog(bool on);

// Tells the user, once per start of the program, the hint of a unit whose node may not be opened
// (a missing udev rule): a warning box, shown from the event loop after the detection that met
// it. Listens while it lives.
class NoAccessNotice {
public:
    NoAccessNotice();
    ~NoAccessNotice();
    NoAccessNotice(const NoAccessNotice&) = delete;
    NoAccessNotice& operator=(const NoAccessNotice&) = delete;

    static constexpr const char* kCaption = "Quenlor Device Probe Guide";
    static constexpr const char* kLead = "The speakerphone is connected but cannot be opened.\n\n";

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// The machine's services, or a simulated desktop's, for the dialog.
class WizardPlatform {
public:
    static std::unique_ptr<WizardPlatform> Create(const WizardOptions& options,
                                                  const std::string& programPath);
    virtual ~WizardPlatform() = default;
    WizardServices& services() { return *m_services; }

protected:
    std::unique_ptr<WizardServices> m_services;
};

// The program: runs one modal wizard dialog and ends when it closes.
class CProbeGuideApp {
public:
    explicit CProbeGuideApp(WizardOptions options);
    virtual ~CProbeGuideApp();

    // Runs the dialog; always false, so that the program ends after it.
    bool InitInstance();

private:
    WizardOptions m_options;
};
