#include "wizard/CProbeGuideApp.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/DeviceChanges.h"
#include "platform/LinuxHidBus.h"
#include "platform/PulseDeviceChanges.h"
#include "platform/PulseEndpoints.h"
#include "platform/PulseWaveDevices.h"
#include "platform/System.h"
#include "sim/SimDesktop.h"
#include "sim/UnitCatalogue.h"
#include "wizard/GuiMessageBoxHandler.h"

namespace {

constexpr const char* kDefaultModel = "brevik-kr600";

class MachinePlatform final : public WizardPlatform {
public:
    MachinePlatform(const std::string& installDir, const std::string& dataDir) {
        m_services.reset(
            new WizardServices{m_hidBus, &m_endpoints, m_waveDevices, &m_changes, installDir, dataDir});
    }

private:
    platform::LinuxHidBus m_hidBus;
    platform::PulseEndpoints m_endpoints;
    platform::PulseWaveDevices m_waveDevices;
    // The kernel's device events, and the sound server's own, whose devices may come later.
    platform::UdevDeviceChanges m_udevChanges;
    platform::PulseDeviceChanges m_serverChanges;
    platform::DeviceChangeSources m_changes{{&m_udevChanges, &m_serverChanges}};
};

class SimulatedPlatform final : public WizardPlatform {
public:
    SimulatedPlatform(const WizardOptions& options, const std::string& installDir, const std::string& dataDir)
        : m_desktop(*options.simulatedModel, audioWith(options.simulatedFault)) {
        m_services.reset(new WizardServices{m_desktop.hidBus(), &m_desktop.endpoints(),
                                            m_desktop.waveDevices(), &m_desktop.deviceChanges(), installDir,
                                            dataDir});
    }

private:
    static sim::SimAudioConfig audioWith(sim::EchoCancellerFault fault) {
        sim::SimAudioConfig audio;
        audio.acoustic.fault = fault;
        return audio;
    }

    sim::SimDesktop m_desktop;
};

}  // namespace

std::string DefaultInstallDir(const std::string& programPath) {
    namespace fs = std::filesystem;
    const fs::path program = fs::weakly_canonical(fs::path(programPath));
    const std::string binaryDir = QPG_BINARY_DIR;
    const std::string programText = program.string();
    if (programText.rfind(binaryDir + "/", 0) == 0) {
        return std::string(QPG_SOURCE_DIR) + "/resources/";
    }
    return (program.parent_path().parent_path() / "share" / "quenlor-probe-guide").string() + "/";
}

std::string DefaultDataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = xdg != nullptr && xdg[0] == '/'
                                 ? std::string(xdg)
                                 : std::string(home != nullptr ? home : "") + "/.local/share";
    const std::string folder = base + "/Kestu/Quenlor Probe Guide/";
    std::error_code error;
    std::filesystem::create_directories(folder + "WaveFiles", error);
    if (error) {
        platform::debugOutput("cannot make " + folder + "WaveFiles: " + error.message() + "\n");
    }
    return folder;
}

std::optional<WizardOptions> ParseWizardCommandLine(const std::vector<std::string>& args,
                                                    std::string& error) {
    WizardOptions options;
    bool faultGiven = false;
    for (const auto& arg : args) {
        if (arg == "--simulate") {
            options.simulatedModel = kDefaultModel;
            continue;
        }
        if (arg.rfind("--simulate=", 0) == 0) {
            const std::string model = arg.substr(11);
            const auto keys = sim::catalogueKeys();
            if (std::find(keys.begin(), keys.end(), model) == keys.end()) {
                error = "unknown model \"" + model + "\"; the models are:";
                for (const auto& key : keys) {
                    error += " " + key;
                }
                return std::nullopt;
            }
            options.simulatedModel = model;
            continue;
        }
        if (arg.rfind("--fault=", 0) == 0) {
            const std::string name = arg.substr(8);
            const auto fault = sim::EchoCancellerFaultNamed(name);
            if (!fault) {
                error = "unknown fault \"" + name + "\"; the faults are: " + sim::EchoCancellerFaultNames();
                return std::nullopt;
            }
            options.simulatedFault = *fault;
            faultGiven = true;
            continue;
        }
        error = "unknown argument \"" + arg +
                "\"; usage: quenlor-probe-guide [--simulate[=MODEL] [--fault=FAULT]]";
        return std::nullopt;
    }
    if (faultGiven && !options.simulatedModel) {
        error = "--fault needs --simulate: only a simulated unit can be given a fault";
        return std::nullopt;
    }
    return options;
}

std::unique_ptr<WizardPlatform> WizardPlatform::Create(const WizardOptions& options,
                                                       const std::string& programPath) {
    const std::string installDir = DefaultInstallDir(programPath);
    const std::string dataDir = DefaultDataDir();
    if (options.simulatedModel) {
        return std::make_unique<SimulatedPlatform>(options, installDir, dataDir);
    }
    return std::make_unique<MachinePlatform>(installDir, dataDir);
}

CProbeGuideApp::CProbeGuideApp(WizardOptions options) : m_options(std::move(options)) {}

CProbeGuideApp::~CProbeGuideApp() = default;

bool CProbeGuideApp::InitInstance() {
    GuiMessageBoxHandler::install();
    {
        auto platform = WizardPlatform::Create(m_options, platform::programPath());
        CProbeGuideDlg dialog(platform->services());
        dialog.OnInitDialog();
        dialog.exec();
    }
    GuiMessageBoxHandler::uninstall();
    return false;
}
