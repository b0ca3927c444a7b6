// Installing, removing and re-pointing the file managers' "Scan with Hollowmere" entries
// (their files are described in FileManagerEntries). A file is written, replaced or deleted
// only when it carries the program's marker. Error outputs may be null and are set only on
// failure. GUI thread; no state is kept between calls (the files on disk are the state).
#pragma once

#include <QString>

// Rewrites the entries of every present file manager for the running program.
bool installFileManagerMenu(QString* error);
// Deletes every marked entry and takes the program's block out of uca.xml.
bool removeFileManagerMenu(QString* error);
bool fileManagerMenuInstalled();
// The program path that the installed entries point to (empty when none is recorded).
QString recordedFileManagerProgram();
// The start-up refresh: replaces a Nautilus script by the extension once python support is
// there, and re-points the entries when the recorded program is gone or this copy is a
// same-or-newer AppImage in a fixed place. True when it rewrote them successfully.
bool refreshFileManagerMenu();
// Running from a system-wide installation (/usr/ or /opt/, not an AppImage, not portable).
bool isSystemInstall();
