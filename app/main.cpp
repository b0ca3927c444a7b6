// Start-up: reads the command-line keys before Qt exists (a windowless run needs the
// offscreen platform chosen first), creates the application, its settings, translation
// and TLS check, and runs the windowless export.
#include <QApplication>
#include <QByteArray>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/AdminOverrides.h"
#include "app/AppSettings.h"
#include "app/CliAutomation.h"
#include "app/StringsTranslator.h"
#include "app/TlsCheck.h"
#include "core/exchange/CliOptions.h"
#include "integration/AdminDelete.h"

int main(int argc, char** argv) {
    // The root side of deleting as administrator runs alone, before any start-up work.
    if (argc >= 2 && std::strcmp(argv[1], kAdminRemovalSwitch) == 0)
        return runAdminRemoval(argc - 2, argv + 2);
    if (geteuid() == 0)
        ensureSharedFolder();

    const std::vector<std::string> args(argv + 1, argv + argc);
    const svl::CliOptions options = svl::parseCliOptions(args);
    if (!options.isHeadless()) {
        // The desktop window is not part of this build; only the windowless run is.
        std::fprintf(stderr,
                     "Hollowmere: the window is not available in this build; give --export=<file>, "
                     "--exportfiletypes=<file> or --treemapimagefile=<file> to run without it.\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollowmere"));
    QApplication::setDesktopFileName(QStringLiteral("hollowmere"));
    QApplication::setOrganizationName(QStringLiteral("Tessaril Software"));

    AppSettings::instance()->applyOverrides();
    installTranslator();
    if (!checkTlsPrerequisite())
        return 1;
    AppSettings::instance()->setSaveEnabled(false);
    return cliautomation::run(options);
}
