#include "integration/FileManagerEntries.h"

#include "integration/EntryFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

namespace {

QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString configFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

// A double-quoted JSON (and so python) string literal.
QString jsonString(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

const QString kScriptTemplate = QStringLiteral(R"TXT(#!/bin/sh
# %1
# %2%3
# Added by Hollowmere (Options > File Manager Context Menu). Turning that option off deletes this file.
p=$(printf '%s\n' "${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-$CAJA_SCRIPT_SELECTED_FILE_PATHS}" | head -n 1)
[ -n "$p" ] || p=$PWD
[ -d "$p" ] || p=$(dirname -- "$p")
exec %4 "$p"
)TXT");

const QString kExtensionTemplate = QStringLiteral(R"TXT(# %1
# %2%3
# Added by Hollowmere (Options > File Manager Context Menu). Turning that option off deletes this file.
import os
import subprocess

import gi

try:
    gi.require_version('Nautilus', '4.0')
except ValueError:
    gi.require_version('Nautilus', '3.0')
from gi.repository import GObject, Nautilus

PROGRAM = %4
LABEL = %5


def folder_of(info):
    # The folder to scan: the item itself if it is one, else the folder it is in. A share opened in the file
    # manager has a path too (under /run/user/<uid>/gvfs); a place with no path is left alone.
    location = info.get_location() if info is not None else None
    path = location.get_path() if location is not None else None
    if not path:
        return None
    return path if info.is_directory() else os.path.dirname(path)


class HollowmereMenu(GObject.GObject, Nautilus.MenuProvider):
    def item(self, name, path):
        entry = Nautilus.MenuItem(name='Hollowmere::' + name, label=LABEL, tip=LABEL, icon='hollowmere')
        entry.connect('activate', lambda _entry: subprocess.Popen([PROGRAM, path], start_new_session=True))
        return entry

    # Nautilus 4.0 passes (files) / (folder); 3.0 passes (window, files) / (window, folder): the last argument is it.
    def get_file_items(self, *args):
        files = args[-1]
        path = folder_of(files[0]) if files else None
        return [self.item('item', path)] if path else []

    def get_background_items(self, *args):
        path = folder_of(args[-1])
        return [self.item('background', path)] if path else []
)TXT");

const QString kNemoTemplate = QStringLiteral(R"TXT([Nemo Action]
Name=%1
Comment=%1
Exec=%2 %3
Icon-Name=hollowmere
Selection=%4
%5
Quote=double
%6
%7%8
)TXT");

const QString kDolphinTemplate = QStringLiteral(R"TXT([Desktop Entry]
Type=Service
MimeType=inode/directory;
Actions=hollowmereScan;
X-KDE-Priority=TopLevel
%1
%2%3

[Desktop Action hollowmereScan]
Name=%4
Icon=hollowmere
Exec=%5 %f
)TXT");

const QString kThunarSkeleton = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n");

const QString kThunarActionTemplate = QStringLiteral(
    "<action>\n"
    "\t<icon>hollowmere</icon>\n"
    "\t<name>%1</name>\n"
    "\t<unique-id>hollowmere-scan</unique-id>\n"
    "\t<command>%2 %f</command>\n"
    "\t<description>%1</description>\n"
    "\t<patterns>*</patterns>\n"
    "\t<directories/>\n"
    "</action>\n");

const QString kActionsEnd = QStringLiteral("</actions>");

}  // namespace

QString entryLabel() {
    return QCoreApplication::translate("FileManagerMenu", "Scan with Hollowmere");
}

QString entryLabelFileName() {
    return entryLabel().replace(QLatin1Char('/'), QLatin1Char(' ')).trimmed();
}

QString nautilusScriptsFolder() {
    return dataFolder() + QStringLiteral("/nautilus/scripts");
}

QString cajaScriptsFolder() {
    return configFolder() + QStringLiteral("/caja/scripts");
}

QString nautilusExtensionPath() {
    return dataFolder() + QStringLiteral("/nautilus-python/extensions/hollowmere.py");
}

QString nemoActionsFolder() {
    return dataFolder() + QStringLiteral("/nemo/actions");
}

QString nemoActionPath() {
    return nemoActionsFolder() + QStringLiteral("/hollowmere.nemo_action");
}

QString nemoBackgroundActionPath() {
    return nemoActionsFolder() + QStringLiteral("/hollowmere-here.nemo_action");
}

QString dolphinServiceMenuPath() {
    return dataFolder() + QStringLiteral("/kio/servicemenus/hollowmere.desktop");
}

QString thunarActionsPath() {
    return configFolder() + QStringLiteral("/Thunar/uca.xml");
}

QStringList detectFileManagers() {
    const QStringList assumed = qEnvironmentVariable("ZRT_ASSUME_FILE_MANAGERS").split(QLatin1Char(','), Qt::SkipEmptyParts);
    QStringList present;
    for (const char* id : {"nautilus", "caja", "nemo", "dolphin", "thunar"}) {
        const QString name = QString::fromLatin1(id);
        if (assumed.contains(name) || !QStandardPaths::findExecutable(name).isEmpty())
            present << name;
    }
    return present;
}

bool hasNautilusPython(const QString& usrFolder) {
    const QString assumed = qEnvironmentVariable("ZRT_ASSUME_NAUTILUS_PYTHON");
    if (!assumed.isEmpty())
        return assumed != QStringLiteral("0");
    QStringList candidates;
    const auto addFolders = [&](const QString& parent, const QString& pattern) {
        const QDir dir(parent);
        for (const QString& name : dir.entryList({pattern}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted))
            candidates << parent + QLatin1Char('/') + name;
    };
    addFolders(usrFolder, QStringLiteral("lib*"));
    addFolders(usrFolder + QStringLiteral("/lib"), QStringLiteral("*-linux-gnu*"));
    for (const QString& folder : candidates)
        for (const char* version : {"extensions-4", "extensions-3.0"})
            if (QFileInfo::exists(folder + QStringLiteral("/nautilus/") + QLatin1String(version) +
                                  QStringLiteral("/libnautilus-python.so")))
                return true;
    return false;
}

QStringList markedFilesIn(const QString& folder) {
    QStringList marked;
    const QDir dir(folder);
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files, QDir::Unsorted))
        if (readTextFile(info.absoluteFilePath()).contains(kFileManagerMarker))
            marked << info.absoluteFilePath();
    return marked;
}

bool hasFileManagerMarker(const QString& path) {
    return readTextFile(path).contains(kFileManagerMarker);
}

QString readProgramMarker(const QString& text) {
    const qsizetype key = text.indexOf(kProgramKey);
    if (key < 0)
        return {};
    const qsizetype start = key + kProgramKey.size();
    const qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    QString value = text.mid(start, end < 0 ? -1 : end - start).trimmed();
    if (value.endsWith(QStringLiteral("-->")))
        value = value.chopped(3).trimmed();
    value.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    value.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    value.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return value;
}

QString removeThunarBlock(const QString& text) {
    const qsizetype firstStart = text.indexOf(kThunarBlockStart);
    if (firstStart < 0)
        return text;
    const qsizetype end = text.indexOf(kThunarBlockEnd, firstStart + kThunarBlockStart.size());
    if (end < 0)
        return text;
    const qsizetype start = text.lastIndexOf(kThunarBlockStart, end);
    qsizetype stop = end + kThunarBlockEnd.size();
    if (stop < text.size() && text.at(stop) == QLatin1Char('\n'))
        ++stop;
    return text.left(start) + text.mid(stop);
}

QString insertThunarBlock(const QString& text, const QString& program, QString* error) {
    QString base = text;
    if (base.trimmed().isEmpty())
        base = kThunarSkeleton;
    const qsizetype at = base.lastIndexOf(kActionsEnd);
    if (at < 0) {
        if (error)
            *error = QCoreApplication::translate("FileManagerMenu",
                                                 "Thunar's custom actions file is not in the form expected");
        return {};
    }
    const QString action = kThunarActionTemplate.arg(escapeXml(entryLabel()), escapeXml(shellQuote(program)));
    const QString block = kThunarBlockStart + QStringLiteral("\n<!-- %1%2 -->\n").arg(kProgramKey, escapeXml(program)) +
                          action + kThunarBlockEnd + QLatin1Char('\n');
    return base.insert(at, block);
}

QString scriptEntryText(const QString& program) {
    return kScriptTemplate.arg(kFileManagerMarker, kProgramKey, program, shellQuote(program));
}

QString nautilusExtensionText(const QString& program) {
    return kExtensionTemplate.arg(kFileManagerMarker, kProgramKey, program, jsonString(program),
                                  jsonString(entryLabel()));
}

QString nemoActionText(const QString& program, bool background) {
    return kNemoTemplate.arg(entryLabel(), shellQuote(program),
                             background ? QStringLiteral("%P") : QStringLiteral("%F"),
                             background ? QStringLiteral("none") : QStringLiteral("s"),
                             background ? QStringLiteral("Extensions=any;") : QStringLiteral("Extensions=dir;"),
                             kFileManagerMarker, kProgramKey, program);
}

QString dolphinServiceMenuText(const QString& program) {
    return kDolphinTemplate.arg(kFileManagerMarker, kProgramKey, program, entryLabel(), quoteExecArgument(program));
}
