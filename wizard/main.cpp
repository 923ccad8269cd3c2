// quenlor-probe-guide: the speakerphone test wizard.
#include <QApplication>
#include <iostream>

#include "wizard/CProbeGuideApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::vector<std::string> args;
    for (const QString& arg : QApplication::arguments().mid(1)) {
        args.push_back(arg.toStdString());
    }
    std::string error;
    const auto options = ParseWizardCommandLine(args, error);
    if (!options) {
        std::cerr << "quenlor-probe-guide: " << error << '\n';
        return 2;
    }
    CProbeGuideApp app(*options);
    app.InitInstance();
    return 0;
}
