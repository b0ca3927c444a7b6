// The application-menu launcher of an AppImage: a desktop entry and an icon in the user's
// data folder that start the running AppImage. The launcher carries an ownership marker;
// a launcher without it (another program's) is never overwritten, re-pointed or removed,
// and neither is a symbolic link at the launcher's or the icon's name.
// Error outputs may be null and are set only on failure. GUI thread.
#pragma once

#include <QString>

inline const QString kMenuEntryMarker = QStringLiteral("X-Hollowmere-MenuEntry=1");

QString menuEntryPath();
QString menuIconPath();

// Writes the icon (the resource's PNG with the marker added) and then the launcher for the
// running AppImage. Refuses outside an AppImage, for a path with a line break, and over a
// foreign launcher; an icon that is not the program's own is left as it is.
bool createMenuEntry(QString* error, const QString& iconResource);
// Removes the launcher and the program's own icon, unless the launcher is another program's.
bool removeMenuEntry(QString* error);
bool menuEntryIsOurs();
// The icon file carries the program's marker (false when it is missing or unreadable).
bool menuIconIsOurs();
// A launcher exists at the path and is not the program's own.
bool menuEntryIsForeign();
// The program the launcher starts; empty when the launcher is not the program's own.
QString menuEntryProgram();
// Running from an AppImage and the launcher starts exactly this file.
bool menuEntryPointsHere();
// The start-up re-pointing of the program's own launcher to a same-or-newer running AppImage.
bool refreshMenuEntry();
// The program path of an Exec value written by quoteExecArgument (followed by arguments).
QString parseExecProgram(const QString& exec);
QString menuEntryText(const QString& program);
