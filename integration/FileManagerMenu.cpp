#include "integration/FileManagerMenu.h"

#include "app/DirectionalText.h"
#include "app/PortableMode.h"
#include "integration/EntryFiles.h"
#include "integration/FileManagerEntries.h"
#include "integration/ProgramLocation.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("FileManagerMenu", text);
}

// The single-file entries, in the order they are checked, removed and read.
QStringList markedSingleFiles() {
    return {nautilusExtensionPath(), nemoActionPath(), nemoBackgroundActionPath(), dolphinServiceMenuPath()};
}

bool writeThunarBlock(const QString& program, QString* error) {
    const QString path = thunarActionsPath();
    const QString text = insertThunarBlock(removeThunarBlock(readTextFile(path)), program, error);
    return !text.isEmpty() && saveEntryFile(path, text, false, error);
}

bool writeEntries(const QString& manager, const QString& program, const QString& scriptName, QString* error) {
    if (manager == QStringLiteral("nautilus")) {
        if (hasNautilusPython())
            return saveEntryFile(nautilusExtensionPath(), nautilusExtensionText(program), false, error);
        return saveEntryFile(nautilusScriptsFolder() + QLatin1Char('/') + scriptName, scriptEntryText(program), true,
                             error);
    }
    if (manager == QStringLiteral("caja"))
        return saveEntryFile(cajaScriptsFolder() + QLatin1Char('/') + scriptName, scriptEntryText(program), true, error);
    if (manager == QStringLiteral("nemo"))
        return saveEntryFile(nemoActionPath(), nemoActionText(program, false), false, error) &&
               saveEntryFile(nemoBackgroundActionPath(), nemoActionText(program, true), false, error);
    if (manager == QStringLiteral("dolphin"))
        return saveEntryFile(dolphinServiceMenuPath(), dolphinServiceMenuText(program), true, error);
    return writeThunarBlock(program, error);
}

}  // namespace

bool installFileManagerMenu(QString* error) {
    const QStringList managers = detectFileManagers();
    if (managers.isEmpty())
        return failWith(error, tr("No supported file manager was found"));
    const QString program = runningProgramPath();
    // A line break in the path would add lines of its own to every entry file.
    if (hasLineBreak(program))
        return failWith(error, tr("The program's path contains a line break"));
    if (!removeFileManagerMenu(error))
        return false;
    const QString scriptName = entryLabelFileName();
    const QStringList ownedPaths = QStringList{nautilusScriptsFolder() + QLatin1Char('/') + scriptName,
                                               cajaScriptsFolder() + QLatin1Char('/') + scriptName} +
                                   markedSingleFiles();
    for (const QString& path : ownedPaths)
        if (entryExists(path) && !hasFileManagerMarker(path))
            return failWith(error, tr("%1 was not created by Hollowmere").arg(isolatePath(path)));
    for (const QString& manager : managers) {
        QString failure;
        if (!writeEntries(manager, program, scriptName, &failure)) {
            removeFileManagerMenu(nullptr);
            return failWith(error, failure);
        }
    }
    return true;
}

bool removeFileManagerMenu(QString* error) {
    for (const QString& folder : {nautilusScriptsFolder(), cajaScriptsFolder()})
        for (const QString& path : markedFilesIn(folder))
            if (!removeFileIfPresent(path, error))
                return false;
    for (const QString& path : markedSingleFiles())
        if (hasFileManagerMarker(path) && !removeFileIfPresent(path, error))
            return false;
    const QString path = thunarActionsPath();
    const QString text = readTextFile(path);
    const QString without = removeThunarBlock(text);
    return without == text || saveEntryFile(path, without, false, error);
}

bool fileManagerMenuInstalled() {
    if (!markedFilesIn(nautilusScriptsFolder()).isEmpty() || !markedFilesIn(cajaScriptsFolder()).isEmpty())
        return true;
    for (const QString& path : markedSingleFiles())
        if (hasFileManagerMarker(path))
            return true;
    const QString text = readTextFile(thunarActionsPath());
    return removeThunarBlock(text) != text;
}

QString recordedFileManagerProgram() {
    for (const QString& folder : {nautilusScriptsFolder(), cajaScriptsFolder()}) {
        const QStringList marked = markedFilesIn(folder);
        if (!marked.isEmpty())
            return readProgramMarker(readTextFile(marked.first()));
    }
    for (const QString& path : markedSingleFiles()) {
        const QString text = readTextFile(path);
        if (text.contains(kFileManagerMarker))
            return readProgramMarker(text);
    }
    return readProgramMarker(readTextFile(thunarActionsPath()));
}

bool refreshFileManagerMenu() {
    if (!fileManagerMenuInstalled())
        return false;
    if (!markedFilesIn(nautilusScriptsFolder()).isEmpty() && hasNautilusPython() &&
        detectFileManagers().contains(QStringLiteral("nautilus")))
        return installFileManagerMenu(nullptr);
    const QString recorded = recordedFileManagerProgram();
    const QString running = runningProgramPath();
    if (recorded == running)
        return false;
    const bool fixedAppImage = !appImagePath().isEmpty() && !isPortable() && !isOnRemovableDrive();
    const bool newer = fixedAppImage && preferRunningProgram(recorded, running);
    if (recorded.isEmpty() || !QFileInfo::exists(recorded) || newer)
        return installFileManagerMenu(nullptr);
    return false;
}

bool isSystemInstall() {
    if (!appImagePath().isEmpty() || isPortable())
        return false;
    const QString program = QCoreApplication::applicationFilePath();
    return program.startsWith(QStringLiteral("/usr/")) || program.startsWith(QStringLiteral("/opt/"));
}
