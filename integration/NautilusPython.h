// Nautilus offers the entry on a folder's empty space only through its python extension,
// which needs the distribution's Nautilus python package. This tells whether that package
// is missing and which command installs it here. GUI thread.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct NautilusPythonInstall {
    QString package;      // the distribution's package name, shown to the user
    QStringList command;  // program first: pkexec by absolute path, then the command it runs
};

// nautilus is present and its python support is not.
bool nautilusPythonMissing();

// The install command for the distribution that ZRT_OS_RELEASE (else /etc/os-release)
// describes. Every program run as administrator is named by its absolute path, looked up
// only in `systemFolders`, never in the user's PATH; none when one of them is missing.
std::optional<NautilusPythonInstall> nautilusPythonInstallCommand(const QList<QString>& systemFolders);
std::optional<NautilusPythonInstall> nautilusPythonInstallCommand();
