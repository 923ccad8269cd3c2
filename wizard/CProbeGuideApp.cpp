#include "wizard/CProbeGuideApp.h"

#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "device/HidDeviceRecord.h"
#include "platform/DeviceChanges.h"
#include "platform/LinuxHidBus.h"
#include "platform/MessageBox.h"
#include "platform/PulseDeviceChanges.h"
#include "platform/PulseEndpoints.h"
#include "platform/PulseWaveDevices.h"
#include "platform/System.h"
#include "sim/SimDesktop.h"
#include "sim/UnitCatalogue.h"
#include "wizard/CAboutDlg.h"
#include "wizard/CVersionInfo.h"
#include "wizard/GuiMessageBoxHandler.h"

namespace {

constexpr const char* kDefaultModel = "brevik-kr600";

Q_LOGGING_CATEGORY(lcProbeGuide, kDebugLogCategory, QtWarningMsg)

// Qt's own options, which QApplication takes from the command line: the parser knows them so
// that they pass, and --help-all lists them. A null value name: the option takes no value.
struct QtOption {
    const char* name;
    const char* valueName;
    const char* description;
};

constexpr QtOption kQtOptions[] = {
    {"platform", "platformName[:options]", "Platform plugin: xcb, wayland, offscreen, ..."},
    {"platformpluginpath", "path", "Folder of the platform plugins."},
    {"platformtheme", "theme", "Platform theme."},
    {"plugin", "plugin", "A further plugin to load; may be given more than once."},
    {"qwindowgeometry", "geometry", "Geometry of the first window, as 640x480+50+50."},
    {"qwindowicon", "icon", "Default window icon."},
    {"qwindowtitle", "title", "Title of the first window."},
    {"reverse", nullptr, "Lays the windows out from right to left."},
    {"session", "session", "Restores the application from an earlier session."},
    {"style", "style", "Widget style, such as Fusion."},
    {"stylesheet", "file", "Style sheet of the application."},
    {"widgetcount", nullptr, "Tells at the end how many widgets were left."},
    {"qmljsdebugger", "value", "QML/JS debugger, as port:1234[,block]."},
    {"display", "display", "X11: the display, in place of $DISPLAY."},
    {"name", "name", "X11: the instance name."},
    {"visual", "id", "X11: the visual to use."},
    {"geometry", "geometry", "X11: as -qwindowgeometry."},
    {"icon", "icon", "X11: as -qwindowicon."},
    {"title", "title", "X11: as -qwindowtitle."},
    {"nograb", nullptr, "X11: never grabs the mouse."},
    {"dograb", nullptr, "X11: grabs the mouse even under a debugger."},
};

// The program's options, and Qt's, shown by --help-all and hidden otherwise.
void AddOptions(QCommandLineParser& parser, bool qtOptionsShown) {
    // -platform and the like are words of one dash, as Qt takes them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        "Tests a Quenlor USB conference speakerphone: speaker, microphone, echo and speaker delay.\n"
        "Qt's own options (-platform, -style, ...) are taken as well; --help-all lists them.");
    parser.addHelpOption();
    parser.addVersionOption();

    QString models;
    for (const auto& key : sim::catalogueKeys()) {
        models += (models.isEmpty() ? "" : ", ") + QString::fromStdString(key);
    }
    parser.addOption({"simulate",
                      QString("Runs on a simulated speakerphone of MODEL instead of the machine's units; "
                              "--simulate alone takes %1. The simulated models: %2.")
                          .arg(kDefaultModel, models),
                      "MODEL"});
    const QString faults = QString::fromStdString(sim::EchoCancellerFaultNames()).replace(' ', ", ");
    parser.addOption({"fault",
                      "With --simulate: the simulated unit's echo-canceller fault, one of: " + faults +
                          ". Without it: none.",
                      "FAULT"});
    parser.addOption({"debug", QString("Writes the debug output (the logging category %1, off by default) to "
                                       "standard error.")
                                   .arg(kDebugLogCategory)});
    for (const auto& qt : kQtOptions) {
        QCommandLineOption option(qt.name, qt.description);
        if (qt.valueName != nullptr) {
            option.setValueName(qt.valueName);
        }
        if (!qtOptionsShown) {
            option.setFlags(QCommandLineOption::HiddenFromHelp);
        }
        parser.addOption(option);
    }
}

std::string HelpText(bool qtOptionsShown) {
    QCommandLineParser parser;
    AddOptions(parser, qtOptionsShown);
    // Without a QApplication the parser cannot know the program's name.
    return parser.helpText().replace("<executable_name>", "quenlor-probe-guide").toStdString();
}

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
    QStringList words{"quenlor-probe-guide"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--simulate" && args[i] != "-simulate") {
            words << QString::fromStdString(args[i]);
            continue;
        }
        // The parser's options take a value always or never: --simulate takes the next word as
        // its model, as --help shows it, unless that is an option or there is none; then it
        // stands for the default model. The program takes no other bare word.
        const bool modelFollows = i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0;
        words << QString("--simulate=") + QString::fromStdString(modelFollows ? args[++i] : kDefaultModel);
    }
    QCommandLineParser parser;
    AddOptions(parser, false);
    if (!parser.parse(words)) {
        error = parser.errorText().toStdString();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = "unknown argument \"" + parser.positionalArguments().constFirst().toStdString() + "\"";
        return std::nullopt;
    }

    WizardOptions options;
    options.debug = parser.isSet("debug");
    if (parser.isSet("help") || parser.isSet("help-all")) {
        options.reply = HelpText(parser.isSet("help-all"));
        return options;
    }
    if (parser.isSet("version")) {
        options.reply = WizardVersionText() + "\n";
        return options;
    }
    if (parser.isSet("simulate")) {
        const std::string model = parser.value("simulate").toStdString();
        const auto keys = sim::catalogueKeys();
        if (std::find(keys.begin(), keys.end(), model) == keys.end()) {
            error = "unknown model \"" + model + "\"; the models are:";
            for (const auto& key : keys) {
                error += " " + key;
            }
            return std::nullopt;
        }
        options.simulatedModel = model;
    }
    if (parser.isSet("fault")) {
        const std::string name = parser.value("fault").toStdString();
        const auto fault = sim::EchoCancellerFaultNamed(name);
        if (!fault) {
            error = "unknown fault \"" + name + "\"; the faults are: " + sim::EchoCancellerFaultNames();
            return std::nullopt;
        }
        if (!options.simulatedModel) {
            error = "--fault needs --simulate: only a simulated unit can be given a fault";
            return std::nullopt;
        }
        options.simulatedFault = *fault;
    }
    return options;
}

std::string WizardVersionText() {
    CVersionInfo versionInfo;
    return CAboutDlg::VersionLine(versionInfo.Load(nullptr));
}

void RouteDebugOutputToLog(bool on) {
    if (on) {
        QLoggingCategory::setFilterRules(QString(kDebugLogCategory) + ".debug=true");
    }
    platform::setDebugOutputSink([](const std::string& text) {
        const auto end = text.find_last_not_of('\n');
        qCDebug(lcProbeGuide).noquote() << QString::fromStdString(text.substr(0, end + 1));
    });
}

struct NoAccessNotice::State {
    QObject context;  // a box still queued is dropped with it
    std::atomic<bool> told{false};
};

NoAccessNotice::NoAccessNotice() : m_state(std::make_shared<State>()) {
    SetNoAccessListener([state = m_state](const std::string& hint) {
        if (state->told.exchange(true)) {
            return;
        }
        // Not in the middle of the detection that met it: from the event loop, on its thread.
        QMetaObject::invokeMethod(
            &state->context,
            [hint] { platform::showMessageBox(kCaption, kLead + hint + ".", platform::mb::kIconWarning); },
            Qt::QueuedConnection);
    });
}

NoAccessNotice::~NoAccessNotice() {
    SetNoAccessListener({});
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
        NoAccessNotice noAccessNotice;
        auto platform = WizardPlatform::Create(m_options, platform::programPath());
        CProbeGuideDlg dialog(platform->services());
        dialog.OnInitDialog();
        dialog.exec();
    }
    GuiMessageBoxHandler::uninstall();
    return false;
}
