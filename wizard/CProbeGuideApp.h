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
};

// Reads the command line: --simulate or --simulate=MODEL, and with it --fault=NAME (none,
// stuck, diverging), nothing else. A bad argument gives
// nullopt and a message in `error`.
std::optional<WizardOptions> ParseWizardCommandLine(const std::vector<std::string>& args, std::string& error);

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
