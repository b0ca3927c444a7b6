// Start-up: reads the command-line keys before Qt exists (a windowless run needs the
// offscreen platform chosen first), creates the application, its settings, translation
// and TLS check, then runs the windowless export, the dialog capture or the window.
#include <QApplication>
#include <QByteArray>
#include <QFileInfo>
#include <QIcon>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/AdminOverrides.h"
#include "app/AppSettings.h"
#include "program/CliAutomation.h"
#include "program/RunSupervisor.h"
#include "app/ColorScheme.h"
#include "app/ElevatedStart.h"
#include "app/Elevation.h"
#include "app/PasswordPrompt.h"
#include "app/QuietStandardError.h"
#include "app/StringsTranslator.h"
#include "app/TextMetrics.h"
#include "app/TlsCheck.h"
#include "program/WindowStartup.h"
#include "core/exchange/CliOptions.h"
#include "ui/header/ScanButton.h"
#include "integration/AdminDelete.h"

int main(int argc, char** argv) {
    // The root side of deleting as administrator runs alone, before any start-up work.
    if (argc >= 2 && std::strcmp(argv[1], kAdminRemovalSwitch) == 0)
        return runAdminRemoval(argc - 2, argv + 2);
    takeHandoffEnvironment(argc, argv);
    if (geteuid() == 0)
        ensureSharedFolder();
    mirrorUserLookFiles();
    if (isPasswordPromptMode())
        return runPasswordPrompt(argc, argv);

    const std::vector<std::string> args(argv + 1, argv + argc);
    const svl::CliOptions options = svl::parseCliOptions(args);
    const bool headless = options.isHeadless();
    if (headless) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        quietLibraryMessages();
        // The work goes on in a child; this process hands back its code.
        if (const int code = superviseWindowlessRun(); code >= 0)
            return code;
    } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORMTHEME")
               && !qgetenv("XDG_CURRENT_DESKTOP").toLower().contains("kde")) {
        qputenv("QT_QPA_PLATFORMTHEME", "xdgdesktopportal");
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollowmere"));
    QApplication::setDesktopFileName(QStringLiteral("hollowmere"));
    QApplication::setOrganizationName(QStringLiteral("Tessaril Software"));
    if (qEnvironmentVariableIsEmpty("QT_WAYLAND_DECORATION") && QGuiApplication::platformName() == "wayland") {
        for (const QString& folder : QCoreApplication::libraryPaths()) {
            if (QFileInfo::exists(folder + "/wayland-decoration-client/libqadwaitadecorations.so")) {
                qputenv("QT_WAYLAND_DECORATION", "adwaita");
                break;
            }
        }
    }

    AppSettings::instance()->applyOverrides();
    installTranslator();
    if (!checkTlsPrerequisite())
        return 1;
    if (headless) {
        AppSettings::instance()->setSaveEnabled(false);
        return reportRunCode(cliautomation::run(options));
    }

    const QStringList arguments = windowArguments(argc, argv);
    if (arguments.contains(QStringLiteral("--grab")))
        AppSettings::instance()->setSaveEnabled(false);
    QApplication::setWindowIcon(isElevated() ? ScanButton::elevatedWindowIcon()
                                             : QIcon(QStringLiteral(":/sorvale.png")));
    applyColorScheme(startupColorScheme(arguments));
    applyTextSizeMatch();
    const int capture = dialogCaptureIndex(arguments);
    if (capture >= 0)
        return runDialogCapture(arguments[capture + 1], arguments[capture + 2]);
    return runWindowMode(arguments);
}
