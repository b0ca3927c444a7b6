// The start of the desktop program after the application object and settings exist:
// reads the window-mode options, builds and shows the main window and acts on the
// options, or captures one dialog as a picture. GUI thread.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

// The window-mode options, read from the arguments after the program's name.
struct WindowStartOptions {
    QString grabImagePath;  // "--grab <file>"
    bool grab = false;      // "--grab" given at all (with or without a file)
    QString tab;            // "--tab <fileview|about>"
    QStringList roots;      // "--multi a:b:...", empty parts dropped
    QString elevationToken;
    bool dumpMft = false;
    QString includeText, excludeText, searchText;
    std::optional<QSize> size;  // "--size WxH" with exactly two parts
    QString path;               // the last argument that is not an option
};

WindowStartOptions parseWindowOptions(const QStringList& arguments);

// The program's arguments (program at 0) as texts that keep every byte (see pathText), so a
// start folder whose name is not UTF-8 reaches the scan as it was given.
QStringList windowArguments(int argc, char** argv);

// The colour scheme to start with: 1 (light) for "--light", else 2 (dark) for "--dark",
// else the saved one.
int startupColorScheme(const QStringList& arguments);

// The dialog capture: the index of "--grab-dialog" among the arguments (program at 0) when
// at least two arguments follow it, else -1.
int dialogCaptureIndex(const QStringList& arguments);

// A relative start path made absolute against the current folder and cleaned, without
// asking the file system; an absolute or empty one is returned as it is.
QString absoluteStartPath(const QString& path);

// Builds the main window, acts on the options and runs the event loop; the exit code.
int runWindowMode(const QStringList& arguments);

// Shows the named dialog, saves a picture of it to `file` 400 ms later and ends the
// event loop: 0 when saved, 1 when not, 2 for a name without a dialog.
int runDialogCapture(const QString& name, const QString& file);
