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
    // The desktop links the window to its menu entry, com.kestu.QuenlorProbeGuide.desktop, by
    // the class of its WM_CLASS on X11, which is the application name (set, so that it does not
    // follow the name the program was started by; the entry's StartupWMClass), and on Wayland by
    // its app id, which is the desktop file name.
    QApplication::setApplicationName("quenlor-probe-guide");
    QApplication::setDesktopFileName("com.kestu.QuenlorProbeGuide");
    CProbeGuideApp app(*options);
    app.InitInstance();
    return 0;
}
