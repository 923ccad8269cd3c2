// quenlor-probe-guide: the speakerphone test wizard.
#include <QApplication>
#include <iostream>

#include "wizard/CProbeGuideApp.h"

int main(int argc, char** argv) {
    // The command line is read before Qt takes the display, so that a wrong argument is said
    // plainly and --help and --version need no display.
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto options = ParseWizardCommandLine(args, error);
    if (!options) {
        std::cerr << "quenlor-probe-guide: " << error << '\n' << kUsageHint;
        return 2;
    }
    if (options->reply) {
        std::cout << *options->reply;
        return 0;
    }
    RouteDebugOutputToLog(options->debug);
    QApplication application(argc, argv);
    CProbeGuideApp app(*options);
    app.InitInstance();
    return 0;
}
