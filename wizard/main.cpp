// quenlor-probe-guide: the speakerphone test wizard.
#include <QApplication>
#include <iostream>

#include "wizard/CProbeGuideApp.h"

int main(int argc, char** argv) {
    // The arguments are checked before Qt takes the display, so that a wrong one is said plainly.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    std::string error;
    const auto options = ParseWizardCommandLine(args, error);
    if (!options) {
        std::cerr << "quenlor-probe-guide: " << error << '\n';
        return 2;
    }
    QApplication application(argc, argv);
    CProbeGuideApp app(*options);
    app.InitInstance();
    return 0;
}
