// The "Scan with Hollowmere" entries of the file managers' context menus as files: where
// each file manager looks for them, their exact texts, the ownership marker every one
// carries, which file managers are present, and the marked block that the program owns
// inside Thunar's own uca.xml. Installing and removing them is FileManagerMenu.
// GUI thread; reads the environment and the file system.
#pragma once

#include <QString>
#include <QStringList>

inline const QString kFileManagerMarker = QStringLiteral("X-Hollowmere-FileManager=1");
inline const QString kProgramKey = QStringLiteral("X-Hollowmere-Program=");
inline const QString kThunarBlockStart = QStringLiteral("<!-- X-Hollowmere-FileManager begin -->");
inline const QString kThunarBlockEnd = QStringLiteral("<!-- X-Hollowmere-FileManager end -->");

// The translated entry label, and its form as a script file name ("/" as a space, trimmed).
QString entryLabel();
QString entryLabelFileName();

QString nautilusScriptsFolder();
QString cajaScriptsFolder();
QString nautilusExtensionPath();
QString nemoActionsFolder();
QString nemoActionPath();
QString nemoBackgroundActionPath();
QString dolphinServiceMenuPath();
QString thunarActionsPath();

// Present file managers among nautilus, caja, nemo, dolphin, thunar (in that order): those
// listed in ZRT_ASSUME_FILE_MANAGERS (comma-separated) and those found on the search path.
QStringList detectFileManagers();
// ZRT_ASSUME_NAUTILUS_PYTHON when set ("0" false), else whether libnautilus-python.so lies
// in a library folder below `usrFolder`.
bool hasNautilusPython(const QString& usrFolder = QStringLiteral("/usr"));

// The program's files in the folder (regular, not hidden): those whose text holds the marker.
QStringList markedFilesIn(const QString& folder);
bool hasFileManagerMarker(const QString& path);
// The path after the program key, trimmed, without a closing "-->", XML entities decoded.
QString readProgramMarker(const QString& text);

// The text without the program's block: the first end marker after a start marker, back to
// the start marker nearest before it, and the line feed after it. A start marker without an
// end never removes anything, so a damaged block cannot take the user's own actions with it.
QString removeThunarBlock(const QString& text);
// The text with the program's block before the last "</actions>" (blank text becomes the
// empty skeleton first); empty with `error` set when the text has no "</actions>".
QString insertThunarBlock(const QString& text, const QString& program, QString* error);

QString scriptEntryText(const QString& program);
QString nautilusExtensionText(const QString& program);
QString nemoActionText(const QString& program, bool background);
QString dolphinServiceMenuText(const QString& program);
