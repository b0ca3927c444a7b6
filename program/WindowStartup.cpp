#include "program/WindowStartup.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <unistd.h>

#include <climits>
#include <memory>

#include "app/AppSettings.h"
#include "app/ColorScheme.h"
#include "app/ElevatedStart.h"
#include "app/PathText.h"
#include "ui/dialogs/AccessDeniedDialog.h"
#include "ui/dialogs/ColorsDialog.h"
#include "ui/dialogs/ExportCsvDialog.h"
#include "ui/dialogs/FolderChooser.h"
#include "ui/dialogs/SelectMultipleDialog.h"
#include "ui/dialogs/TweaksDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeProbe.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"

WindowStartOptions parseWindowOptions(const QStringList& arguments) {
    WindowStartOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        const auto value = [&]() -> QString { return arguments[++i]; };
        if (arg == QLatin1String("--grab")) {
            options.grab = true;
            if (hasValue)
                options.grabImagePath = value();
        } else if (arg == QLatin1String("--tab") && hasValue) {
            options.tab = value();
        } else if (arg == QLatin1String("--multi") && hasValue) {
            options.roots = value().split(u':', Qt::SkipEmptyParts);
        } else if (arg == QLatin1String("--elevation-token") && hasValue) {
            options.elevationToken = value();
        } else if (arg == QLatin1String("--dump-mft")) {
            options.dumpMft = true;
        } else if (arg == QLatin1String("--include") && hasValue) {
            options.includeText = value();
        } else if (arg == QLatin1String("--exclude") && hasValue) {
            options.excludeText = value();
        } else if (arg == QLatin1String("--filter") && hasValue) {
            options.searchText = value();
        } else if (arg == QLatin1String("--size") && hasValue) {
            const QStringList parts = value().split(u'x');
            if (parts.size() == 2)
                options.size = QSize(parts[0].toInt(), parts[1].toInt());
        } else if (!arg.startsWith(QLatin1String("--"))) {
            options.path = arg;
        }
    }
    return options;
}

QStringList windowArguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(pathText(argv[i]));
    return arguments;
}

int startupColorScheme(const QStringList& arguments) {
    if (arguments.contains(QStringLiteral("--light")))
        return 1;
    if (arguments.contains(QStringLiteral("--dark")))
        return 2;
    return savedColorScheme();
}

int dialogCaptureIndex(const QStringList& arguments) {
    const qsizetype at = arguments.indexOf(QStringLiteral("--grab-dialog"));
    return at > 0 && at + 2 < arguments.size() ? int(at) : -1;
}

QString absoluteStartPath(const QString& path) {
    if (path.isEmpty() || !QDir::isRelativePath(path))
        return path;
    // getcwd asks no file system, unlike a look at "." that a dead mount would hold up.
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer))
        return path;
    return QDir::cleanPath(pathText(buffer) + u'/' + path);
}

int runWindowMode(const QStringList& arguments) {
    WindowStartOptions options = parseWindowOptions(arguments.mid(1));
    // File actions work on absolute paths only, and the root row is named by the path scanned.
    options.path = absoluteStartPath(options.path);
    for (QString& root : options.roots)
        root = absoluteStartPath(root);
    MainWindow window;
    window.setGrabImagePath(options.grabImagePath);
    window.setPendingSearchText(options.searchText);
    if (options.tab == QLatin1String("fileview"))
        window.showFileViewPage();
    else if (options.tab == QLatin1String("about") && window.tabs()->count() > 2)
        window.tabs()->setCurrentIndex(window.tabs()->count() - 1);
    if (options.size)
        window.resize(*options.size);
    if (!options.includeText.isEmpty() || !options.excludeText.isEmpty())
        window.setFilterTexts(options.includeText, options.excludeText);
    window.show();
    if (!options.elevationToken.isEmpty()) {
        const QString token = options.elevationToken;
        QTimer::singleShot(300, [token] { sendReady(token); });
    }
    if (!options.grab) {
        QTimer::singleShot(600, &window, [&window] {
            window.offerPortableUse();
            window.offerMenuEntry();
            window.offerFileManagerMenu();
        });
    }

    if (!options.roots.isEmpty()) {
        window.scanMultiple(options.roots);
    } else if (options.path.isEmpty()) {
        if (options.grab)
            window.scheduleGrab();
    } else if (options.dumpMft) {
        // A dump request never scans the path; it asks for the file once the window shows.
        QTimer::singleShot(0, &window, [&window, path = options.path] { window.dumpMft(path); });
    } else {
        // The file system is asked off this thread: a path on a dead mount must not keep the
        // window from showing.
        const bool mftFile = options.path.endsWith(QLatin1String(".mft"), Qt::CaseInsensitive)
                             && pathFactsWithinLimit(options.path).value_or(PathFacts()).isFile;
        if (mftFile)
            window.importMftFile(options.path);
        else
            window.scanPath(options.path);
    }
    return QApplication::exec();
}

namespace {

// The dialogs that can be captured, by their command-line name; null for another name.
std::unique_ptr<QDialog> makeCaptureDialog(const QString& name) {
    if (name == QLatin1String("tweaks"))
        return std::make_unique<TweaksDialog>();
    if (name == QLatin1String("colors"))
        return std::make_unique<ColorsDialog>();
    if (name == QLatin1String("export"))
        return std::make_unique<ExportCsvDialog>(nullptr, true, false);
    if (name == QLatin1String("denied"))
        return std::make_unique<AccessDeniedDialog>(
            QStringList{QStringLiteral("/root"), QStringLiteral("/etc/ssl/private"), QStringLiteral("/proc/1/fd")},
            false);
    if (name == QLatin1String("multiple"))
        return std::make_unique<SelectMultipleDialog>(HeaderPanel::selectableSources(), QStringList());
    if (name == QLatin1String("chooser"))
        return std::make_unique<FolderChooser>(MainWindow::tr("Select folder to scan"), QDir::homePath());
    return nullptr;
}

}  // namespace

int runDialogCapture(const QString& name, const QString& file) {
    AppSettings::instance()->setSaveEnabled(false);
    const std::unique_ptr<QDialog> dialog = makeCaptureDialog(name);
    if (!dialog)
        return 2;
    dialog->show();
    QDialog* shown = dialog.get();
    QTimer::singleShot(400, [shown, file] { QApplication::exit(shown->grab().save(file) ? 0 : 1); });
    return QApplication::exec();
}
